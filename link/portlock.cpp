#include "portlock.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace portlock {

namespace {

#ifdef Q_OS_UNIX
bool statOf(const QString &path, struct stat *st)
{
    return ::stat(QFile::encodeName(path).constData(), st) == 0;
}

bool isDevice(const struct stat &st)
{
    return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
}

bool sameStat(const struct stat &a, const struct stat &b)
{
    if (isDevice(a) && isDevice(b))
        return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif

} // namespace

QString systemPath(const QString &port)
{
#ifdef Q_OS_UNIX
    if (port.startsWith(QLatin1Char('/')) || port.startsWith(QLatin1String("./")) ||
        port.startsWith(QLatin1String("../")))
        return port;
    return QStringLiteral("/dev/") + port;
#else
    return port;
#endif
}

QString portIdentity(const QString &port)
{
#ifdef Q_OS_UNIX
    const QString path = systemPath(port);
    struct stat st
    {
    };
    if (statOf(path, &st) && isDevice(st))
        return QStringLiteral("device %1").arg(quint64(st.st_rdev));
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
#else
    // COM ports have one name each, in any case.
    return port.toUpper();
#endif
}

bool sameNode(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    struct stat sa
    {
    };
    struct stat sb
    {
    };
    return statOf(a, &sa) && statOf(b, &sb) && sameStat(sa, sb);
#else
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca.compare(QFileInfo(b).canonicalFilePath(), Qt::CaseInsensitive) == 0;
#endif
}

QString inUseText()
{
    return QStringLiteral("in use by another program");
}

PortLock::~PortLock()
{
    release();
}

bool PortLock::acquire(const QString &port, QString *error)
{
#ifdef Q_OS_UNIX
    const QString path = systemPath(port);
    if (m_fd >= 0 && stillCurrent(path))
        return true;
    release();
    // O_NONBLOCK: a tty waiting for carrier would block the open; O_NOCTTY: never become our
    // controlling terminal. Neither changes the line.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another program set TIOCEXCL and we are not root.
        *error = errno == EBUSY ? inUseText() : errnoText(errno);
        return false;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        *error = errno == EWOULDBLOCK ? inUseText() : errnoText(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
#else
    // A COM port opens for one process only.
    Q_UNUSED(port)
    Q_UNUSED(error)
    return true;
#endif
}

void PortLock::release()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd); // the last descriptor of this open file: the lock goes with it
#endif
    m_fd = -1;
}

bool PortLock::lineHungUp() const
{
#ifdef Q_OS_UNIX
    if (m_fd < 0)
        return false;
    pollfd p{};
    p.fd = m_fd;
    p.events = 0; // hang-up and errors are reported whatever is asked for
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return false;
#endif
}

bool PortLock::stillCurrent(const QString &path) const
{
#ifdef Q_OS_UNIX
    struct stat now
    {
    };
    struct stat held
    {
    };
    return statOf(path, &now) && ::fstat(m_fd, &held) == 0 && now.st_dev == held.st_dev &&
           now.st_ino == held.st_ino && now.st_rdev == held.st_rdev;
#else
    Q_UNUSED(path)
    return true;
#endif
}

} // namespace portlock
