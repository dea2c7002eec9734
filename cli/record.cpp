#include "record.h"

#include <QJsonDocument>
#include <QJsonObject>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

#ifdef Q_OS_UNIX
QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString notRegularText()
{
    return QStringLiteral("not a regular file (a FIFO, device or socket cannot keep the record)");
}

bool writeAll(int fd, const QByteArray &bytes, QString *error)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A full disk takes part of a write and refuses the rest with ENOSPC; a file-size
            // limit does the same with EFBIG.
            *error = n < 0 ? errnoText() : QStringLiteral("nothing written");
            return false;
        }
        done += n;
    }
    return true;
}

// A line cut short by an earlier failure (of an older program, or a crash) must not swallow
// the next one: it is ended first.
bool endsWithLineEnd(int fd, off_t size)
{
    char last = '\n';
    return size == 0 || ::pread(fd, &last, 1, size - 1) != 1 || last == '\n';
}
#endif

} // namespace

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QByteArray recordLine(const AttemptRecord &r)
{
    QJsonObject o;
    if (!r.id.isEmpty())
        o.insert(QStringLiteral("id"), r.id);
    o.insert(QStringLiteral("time"), isoTime(r.time));
    o.insert(QStringLiteral("port"), r.port);
    o.insert(QStringLiteral("adapterSerial"), orNull(r.adapterSerial));
    const auto msOrNull = [](int ms) { return ms < 0 ? QJsonValue(QJsonValue::Null) : ms; };
    o.insert(QStringLiteral("adapterLatencyMsFound"), msOrNull(r.adapterLatencyMsFound));
    o.insert(QStringLiteral("adapterLatencyMs"), msOrNull(r.adapterLatencyMs));
    o.insert(QStringLiteral("baud"), r.baud);
    o.insert(QStringLiteral("product"), orNull(r.product));
    o.insert(QStringLiteral("serialNumber"), orNull(r.serialNumber));
    o.insert(QStringLiteral("versionBefore"), orNull(r.versionBefore));
    o.insert(QStringLiteral("versionAfter"), orNull(r.versionAfter));
    o.insert(QStringLiteral("serialNumberAfter"), orNull(r.serialNumberAfter));
    o.insert(QStringLiteral("image"), r.image);
    o.insert(QStringLiteral("imageSize"), r.imageSize);
    o.insert(QStringLiteral("imageSha256"), r.imageSha256);
    o.insert(QStringLiteral("frames"), r.frames);
    o.insert(QStringLiteral("totalFrames"), r.totalFrames);
    o.insert(QStringLiteral("resends"), r.resends);
    o.insert(QStringLiteral("waitingForFirmware"), r.waitingForFirmware);
    o.insert(QStringLiteral("endConfirmed"), r.endConfirmed);
    o.insert(QStringLiteral("endReply"), r.endByteSent
                                             ? QJsonValue(QString::fromLatin1(r.endReply.toHex()))
                                             : QJsonValue(QJsonValue::Null));
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

#ifdef Q_OS_UNIX
namespace {

// A regular file opened for appending, or -1 with the reason.
int openRegular(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    // Opening a FIFO for writing would wait for a reader; a device would take the lines.
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = notRegularText();
        return -1;
    }
    // Read access only serves to look at the last byte; a file we may only write still works.
    const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(name.constData(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_WRONLY | flags, 0644);
    if (fd < 0) {
        *error = errnoText();
        return -1;
    }
    // Replaced between the look and the open.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = notRegularText();
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace
#endif

bool RecordFile::open(const QString &path, QString *error)
{
    m_path = path;
#ifdef Q_OS_UNIX
    m_fd = openRegular(path, error);
    return m_fd >= 0;
#else
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = m_file.errorString();
        return false;
    }
    return true;
#endif
}

bool RecordFile::pathNamesFile() const
{
#ifdef Q_OS_UNIX
    struct stat byPath
    {
    };
    struct stat open
    {
    };
    if (::fstat(m_fd, &open) != 0)
        return true; // nothing to compare with: the write tells what is wrong
    if (::stat(QFile::encodeName(m_path).constData(), &byPath) != 0)
        return errno != ENOENT && errno != ENOTDIR; // a share that does not answer is not gone
    return byPath.st_dev == open.st_dev && byPath.st_ino == open.st_ino;
#else
    return true;
#endif
}

bool RecordFile::reopen(QString *error)
{
#ifdef Q_OS_UNIX
    const int fd = openRegular(m_path, error);
    if (fd < 0)
        return false;
    ::close(m_fd);
    m_fd = fd;
    return true;
#else
    Q_UNUSED(error)
    return true;
#endif
}

LockResult RecordFile::tryLock(QString *error)
{
#ifdef Q_OS_UNIX
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return LockResult::Busy;
        if (errno != EINTR) {
            *error = errnoText();
            return LockResult::Failed;
        }
    }
#else
    Q_UNUSED(error)
#endif
    return LockResult::Locked;
}

bool RecordFile::append(const QByteArray &line, QString *error)
{
#ifdef Q_OS_UNIX
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = errnoText();
            return false;
        }
    }
#endif
    return appendLocked(line, error);
}

bool RecordFile::appendLocked(const QByteArray &line, QString *error)
{
    QByteArray bytes = line + '\n';
#ifdef Q_OS_UNIX
    // Under the lock no other writer moves the end: whatever this write leaves is undone by
    // cutting the file back to where the line began.
    const off_t begin = ::lseek(m_fd, 0, SEEK_END);
    bool ok = begin >= 0;
    if (!ok)
        *error = errnoText();
    if (ok && !endsWithLineEnd(m_fd, begin))
        bytes.prepend('\n');
    ok = ok && writeAll(m_fd, bytes, error);
    // A line the disk did not take for sure is as lost as one cut short.
    if (ok && ::fsync(m_fd) != 0) {
        *error = errnoText();
        ok = false;
    }
    if (!ok && begin >= 0 && ::ftruncate(m_fd, begin) != 0)
        *error += QStringLiteral("; the part written could not be removed: %1").arg(errnoText());
    ::flock(m_fd, LOCK_UN);
    return ok;
#else
    const qint64 begin = m_file.size();
    if (m_file.write(bytes) != bytes.size() || !m_file.flush()) {
        *error = m_file.errorString();
        m_file.resize(begin);
        return false;
    }
    return true;
#endif
}

} // namespace flash
