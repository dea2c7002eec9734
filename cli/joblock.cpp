#include "joblock.h"

#include "posixio.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

// Opened without O_CREAT first: in a sticky folder such as /tmp the system refuses O_CREAT on
// another user's file (protected_regular), though opening it to lock is allowed.
int openLockFile(const QByteArray &path)
{
    for (int tries = 0; tries < 3; ++tries) {
        int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644); // whatever the umask
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

} // namespace

QString JobLock::defaultFolder()
{
    const QString runLock = QStringLiteral("/run/lock");
    if (::access(QFile::encodeName(runLock).constData(), W_OK | X_OK) == 0)
        return runLock;
    return QStringLiteral("/tmp");
}

QString JobLock::fileName(const QString &jobName)
{
    return QStringLiteral("pelmar-job-%1.lock")
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(jobName.toUtf8(), QCryptographicHash::Sha256).toHex()));
}

JobLock::Outcome JobLock::acquire(const QString &jobName, const QString &folder, QString *error)
{
    release();
    const QString path = folder + QLatin1Char('/') + fileName(jobName);
    const int fd = openLockFile(QFile::encodeName(path));
    if (fd < 0) {
        *error = QStringLiteral("cannot lock the job: %1: %2").arg(path, errnoText());
        return Outcome::Failed;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = QStringLiteral("cannot lock the job: %1 is not a regular file").arg(path);
        ::close(fd);
        return Outcome::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        const bool busy = why == EWOULDBLOCK;
        *error = busy ? QStringLiteral("job already running: \"%1\" runs on this machine (its lock "
                                       "%2 is held by another pelmar-flash)")
                            .arg(jobName, path)
                      : QStringLiteral("cannot lock the job: %1: %2").arg(path, errnoText(why));
        ::close(fd);
        return busy ? Outcome::Busy : Outcome::Failed;
    }
    m_fd = fd;
    m_path = path;
    return Outcome::Locked;
}

void JobLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

} // namespace flash
