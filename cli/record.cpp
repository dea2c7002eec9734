#include "record.h"

#include <QJsonDocument>
#include <QJsonObject>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

#ifdef Q_OS_UNIX
QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
#endif

} // namespace

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QByteArray recordLine(const AttemptRecord &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), isoTime(r.time));
    o.insert(QStringLiteral("port"), r.port);
    o.insert(QStringLiteral("adapterSerial"), textOrNull(r.adapterSerial));
    o.insert(QStringLiteral("baud"), r.baud);
    o.insert(QStringLiteral("product"), textOrNull(r.product));
    o.insert(QStringLiteral("serialNumber"), textOrNull(r.serialNumber));
    o.insert(QStringLiteral("versionBefore"), textOrNull(r.versionBefore));
    o.insert(QStringLiteral("versionAfter"), textOrNull(r.versionAfter));
    o.insert(QStringLiteral("image"), r.image);
    o.insert(QStringLiteral("imageSize"), r.imageSize);
    o.insert(QStringLiteral("imageSha256"), r.imageSha256);
    o.insert(QStringLiteral("frames"), r.frames);
    o.insert(QStringLiteral("totalFrames"), r.totalFrames);
    o.insert(QStringLiteral("resends"), r.resends);
    o.insert(QStringLiteral("durationMs"), r.durationMs);
    o.insert(QStringLiteral("result"), resultName(r.result));
    o.insert(QStringLiteral("status"), exitStatus(r.result));
    o.insert(QStringLiteral("message"), r.message);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

RecordFile::~RecordFile()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

bool RecordFile::isOpen() const
{
    return m_fd >= 0 || m_file.isOpen();
}

bool RecordFile::open(const QString &path, QString *error)
{
#ifdef Q_OS_UNIX
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0644);
    if (m_fd < 0) {
        *error = errnoText();
        return false;
    }
    return true;
#else
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = m_file.errorString();
        return false;
    }
    return true;
#endif
}

bool RecordFile::append(const QByteArray &line, QString *error)
{
    const QByteArray bytes = line + '\n';
#ifdef Q_OS_UNIX
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = errnoText();
            return false;
        }
    }
    qsizetype done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = errnoText();
            ok = false;
            break;
        }
        done += n;
    }
    if (ok && ::fsync(m_fd) != 0 && errno != EINVAL) {
        *error = errnoText();
        ok = false;
    }
    ::flock(m_fd, LOCK_UN);
    return ok;
#else
    if (m_file.write(bytes) != bytes.size() || !m_file.flush()) {
        *error = m_file.errorString();
        return false;
    }
    return true;
#endif
}

} // namespace flash
