#include "jobcount.h"

#include "record.h"
#include "recordline.h"
#include "results.h"

#include <QFile>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

// A FIFO or a device would hold the read; the record is a regular file or absent.
bool openRecord(QFile *file, const QString &path, bool *absent, QString *why)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *absent = errno == ENOENT;
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    return file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

} // namespace

JobPasses countJobPasses(const QString &recordPath, const QString &jobName,
                         const QString &imageSha256)
{
    JobPasses passes;
    QFile file;
    bool absent = false;
    QString why;
    if (!openRecord(&file, recordPath, &absent, &why)) {
        if (!absent)
            passes.error = QStringLiteral("cannot count the job's passes in the record %1: %2")
                               .arg(recordPath, why);
        return passes;
    }
    const QString success = resultName(Result::Success);
    QSet<QString> unnamed; // attempt ids of passes without a serial number: a line found twice
    QByteArray line;
    bool tooLong = false;
    while (nextRecordLine(file, &line, &tooLong)) {
        QJsonObject o;
        if (tooLong || !parseRecordLine(line, &o, &why))
            continue;
        // Read by the record's definition, as the report reads it; the job's name untrimmed, so
        // that "WO-1 " written by another tool is not this job.
        const ReadRecord r = readRecord(o);
        const QJsonValue job = o.value(recordKey(RecordField::Job));
        if (r.result != success || !job.isString() || job.toString() != jobName ||
            r.record.imageSha256.compare(imageSha256, Qt::CaseInsensitive) != 0)
            continue;
        const QString serial = deviceSerial(o);
        if (serial.isEmpty())
            unnamed.insert(attemptId(o));
        else
            passes.serials.insert(serial);
    }
    passes.withoutSerial = unnamed.size();
    if (file.error() != QFileDevice::NoError)
        passes.error = QStringLiteral("cannot count the job's passes in the record %1: %2")
                           .arg(recordPath, file.errorString());
    return passes;
}

} // namespace flash
