#include "recordtail.h"

#include "posixio.h"
#include "recordline.h"

#include <QFile>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

// Most first lines fit; a longer one is read again whole.
constexpr qint64 kFirstLook = 4096;

// A shared lock for one look at the file, never waited for.
class SharedLock
{
public:
    explicit SharedLock(int fd) : m_fd(fd)
    {
        for (;;) {
            m_held = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
            m_errno = errno;
            if (m_held || m_errno != EINTR)
                break;
        }
    }
    ~SharedLock()
    {
        if (m_held)
            ::flock(m_fd, LOCK_UN);
    }
    bool held() const { return m_held; }
    bool busy() const { return !m_held && m_errno == EWOULDBLOCK; }
    int error() const { return m_errno; }

private:
    int m_fd;
    bool m_held = false;
    int m_errno = 0;
};

QByteArray readAt(int fd, qint64 offset, qint64 length)
{
    QByteArray bytes(int(length), Qt::Uninitialized);
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(length - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    bytes.truncate(int(done));
    return bytes;
}

QString lineId(const QByteArray &line)
{
    QJsonObject object;
    QString reason;
    return parseRecordLine(line, &object, &reason) ? attemptId(object) : rawLineId(line);
}

} // namespace

bool TailLine::tooLong() const
{
    return length > kMaxLineBytes;
}

std::unique_ptr<RecordTail> RecordTail::open(const QString &path, QString *error, bool *notRegular)
{
    std::unique_ptr<RecordTail> tail(new RecordTail);
    tail->m_path = path;
    // Non-blocking: opening a FIFO must not wait for a writer.
    tail->m_fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (tail->m_fd < 0) {
        *error = errnoText();
        return nullptr;
    }
    struct stat st
    {
    };
    if (::fstat(tail->m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? QStringLiteral("a folder, not a record file")
                                     : QStringLiteral("not a regular file");
        if (notRegular)
            *notRegular = true;
        return nullptr;
    }
    tail->m_device = st.st_dev;
    tail->m_inode = st.st_ino;
    tail->m_size = st.st_size;
    tail->m_firstId = tail->readFirstId();
    return tail;
}

RecordTail::~RecordTail()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void RecordTail::setPosition(qint64 offset, qint64 nextLine)
{
    m_offset = offset;
    m_nextLine = nextLine;
    m_scannedTo = 0;
}

bool RecordTail::lineStartsAt(qint64 offset) const
{
    if (offset == 0)
        return true;
    return offset > 0 && offset <= m_size && readAt(m_fd, offset - 1, 1) == "\n";
}

// Empty while there is no whole first line, or while a writer holds the lock.
QString RecordTail::readFirstId() const
{
    const SharedLock lock(m_fd);
    if (!lock.held())
        return QString();
    QByteArray head = readAt(m_fd, 0, kFirstLook);
    int end = head.indexOf('\n');
    if (end < 0 && head.size() == kFirstLook) {
        head = readAt(m_fd, 0, kMaxLineBytes + 1);
        end = head.indexOf('\n');
    }
    if (end >= 0)
        return lineId(head.left(end));
    // An over-long first line is known by its start once it has ended.
    if (head.size() > kMaxLineBytes && findLineEnd(head.size(), m_size) >= 0)
        return rawLineId(head);
    return QString();
}

qint64 RecordTail::findLineEnd(qint64 from, qint64 limit) const
{
    constexpr qint64 kStep = 64 * 1024;
    for (qint64 at = from; at < limit; at += kStep) {
        const QByteArray chunk = readAt(m_fd, at, qMin(kStep, limit - at));
        if (chunk.isEmpty())
            return -1;
        const int i = chunk.indexOf('\n');
        if (i >= 0)
            return at + i;
    }
    return -1;
}

bool RecordTail::refresh()
{
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) != 0)
        return true;
    m_size = st.st_size;
    const QString id = readFirstId();
    const bool cut = m_size < m_offset;
    if (!cut && (id.isEmpty() || m_firstId.isEmpty() || id == m_firstId)) {
        if (m_firstId.isEmpty())
            m_firstId = id;
        return true;
    }
    m_firstId = id;
    setPosition(0, 1);
    return false;
}

RecordTail::Read RecordTail::read(int maxLines, qint64 maxBytes, QVector<TailLine> *lines,
                                  qint64 *end, QString *error)
{
    lines->clear();
    *end = m_offset;
    const SharedLock lock(m_fd);
    if (lock.busy())
        return Read::Busy;
    if (!lock.held()) {
        *error = QString::fromLocal8Bit(std::strerror(lock.error()));
        return Read::Failed;
    }
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) != 0) {
        *error = errnoText();
        return Read::Failed;
    }
    m_size = st.st_size;
    const qint64 want = qMin(m_size - m_offset, qMax(maxBytes, kMaxLineBytes + 1));
    if (want <= 0)
        return Read::NoLine;
    const QByteArray chunk = readAt(m_fd, m_offset, want);
    int from = 0;
    while (lines->size() < maxLines) {
        const int nl = chunk.indexOf('\n', from);
        if (nl < 0)
            break;
        const qint64 length = nl - from;
        lines->append({m_offset + from, m_nextLine + lines->size(), length,
                       chunk.mid(from, int(qMin(length, kMaxLineBytes)))});
        from = nl + 1;
    }
    *end = m_offset + from;
    if (!lines->isEmpty() || chunk.size() <= kMaxLineBytes)
        return lines->isEmpty() ? Read::NoLine : Read::Lines;
    // No line end in the first kMaxLineBytes + 1 bytes: an over-long line, whole once it ends.
    const qint64 nl = findLineEnd(qMax(m_scannedTo, m_offset + chunk.size()), m_size);
    if (nl < 0) {
        m_scannedTo = m_size;
        return Read::NoLine;
    }
    lines->append({m_offset, m_nextLine, nl - m_offset, chunk.left(int(kMaxLineBytes))});
    *end = nl + 1;
    return Read::Lines;
}

void RecordTail::advance(qint64 end, qint64 lineCount)
{
    setPosition(end, m_nextLine + lineCount);
}

} // namespace flash
