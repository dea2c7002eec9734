#include "portlock.h"

#include "portpath.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ports {

namespace {

#ifdef Q_OS_UNIX
QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

LockOutcome inUse()
{
    return {LockOutcome::Kind::InUse, QStringLiteral("in use by another program")};
}
#endif

} // namespace

PortLock::~PortLock()
{
    release();
}

LockOutcome PortLock::acquire(const QString &port)
{
#ifdef Q_OS_UNIX
    const QString path = systemPath(port);
    if (m_fd >= 0 && stillCurrent(path))
        return {};
    release();
    // O_NONBLOCK: a tty waiting for carrier would block the open; O_NOCTTY: never become our
    // controlling terminal. Neither changes the line.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another program set TIOCEXCL and we are not root.
        return errno == EBUSY ? inUse() : LockOutcome{LockOutcome::Kind::Failed, errnoText(errno)};
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? inUse()
                                    : LockOutcome{LockOutcome::Kind::Failed, errnoText(error)};
    }
    m_fd = fd;
    return {};
#else
    // A COM port opens for one process only.
    Q_UNUSED(port)
    return {};
#endif
}

bool PortLock::holds(const QString &port) const
{
    return m_fd >= 0 && stillCurrent(systemPath(port));
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
    return ::stat(QFile::encodeName(path).constData(), &now) == 0 && ::fstat(m_fd, &held) == 0 &&
           now.st_dev == held.st_dev && now.st_ino == held.st_ino && now.st_rdev == held.st_rdev;
#else
    Q_UNUSED(path)
    return true;
#endif
}

} // namespace ports
