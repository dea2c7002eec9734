#include "adapterlatency.h"

#include "timing.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace ports {

namespace {

#ifdef Q_OS_LINUX
QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// The kernel's name of a device node: its path under /dev, with sysfs's '!' for a '/'.
QString kernelName(const QString &node)
{
    const QString canonical = QFileInfo(node).canonicalFilePath();
    const QString dev = QStringLiteral("/dev/");
    QString name =
        canonical.startsWith(dev) ? canonical.mid(dev.size()) : QFileInfo(canonical).fileName();
    return name.replace(QLatin1Char('/'), QLatin1Char('!'));
}

QString ttyFolder(const QString &port, const QString &root)
{
    struct stat st
    {
    };
    if (::stat(encoded(port).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return QString();
    const QString byNumber =
        QStringLiteral("%1/dev/char/%2:%3").arg(root).arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    if (QFileInfo(byNumber).isDir())
        return byNumber;
    return QStringLiteral("%1/class/tty/%2").arg(root, kernelName(port));
}

// 0 or the errno of the failed open or write (sysfs reports a refused value at the write).
int writeNumber(const QString &file, int value)
{
    const int fd = ::open(encoded(file).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno;
    const QByteArray text = QByteArray::number(value) + '\n';
    ssize_t n;
    do {
        n = ::write(fd, text.constData(), size_t(text.size()));
    } while (n < 0 && errno == EINTR);
    const int error = n == text.size() ? 0 : n < 0 ? errno : EIO;
    ::close(fd);
    return error;
}

bool nodeOf(const QString &file, quint64 *device, quint64 *inode)
{
    struct stat st
    {
    };
    if (::stat(encoded(file).constData(), &st) != 0)
        return false;
    *device = quint64(st.st_dev);
    *inode = quint64(st.st_ino);
    return true;
}

// True when the flag was off and is now on. A pseudo-terminal answers ENOTTY, a hung-up line EIO.
bool setLowLatencyFlag(int fd)
{
    serial_struct ss{};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY))
        return false;
    ss.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

void clearLowLatencyFlag(int fd)
{
    serial_struct ss{};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &ss) != 0 || !(ss.flags & ASYNC_LOW_LATENCY))
        return;
    ss.flags &= ~ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &ss);
}

LatencyRefusal refusalOf(int error)
{
    return error == EACCES || error == EPERM || error == EROFS ? LatencyRefusal::NotAllowed
                                                               : LatencyRefusal::Failed;
}
#endif

} // namespace

QString defaultSysfsRoot()
{
    return QStringLiteral("/sys");
}

QString latencyTimerFile(const QString &port, const QString &sysfsRoot)
{
#ifdef Q_OS_LINUX
    const QString folder = ttyFolder(port, sysfsRoot);
    if (folder.isEmpty())
        return QString();
    const QString file = folder + QStringLiteral("/device/latency_timer");
    return QFileInfo::exists(file) ? file : QString();
#else
    Q_UNUSED(port)
    Q_UNUSED(sysfsRoot)
    return QString();
#endif
}

int readLatencyTimer(const QString &file)
{
    QFile f(file);
    if (file.isEmpty() || !f.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    // sysfs gives its size as a page: read a line, not "all".
    const int value = f.readLine(32).trimmed().toInt(&ok);
    return ok && value >= 0 ? value : -1;
}

void AdapterLatency::lower(const QString &port, int fd)
{
    restore(fd);
    m_file.clear();
    m_foundMs = m_usedMs = -1;
    m_refusal = LatencyRefusal::None;
    m_refusalError = 0;
#ifdef Q_OS_LINUX
    m_file = latencyTimerFile(port, m_root);
    m_foundMs = readLatencyTimer(m_file);
    // The flag first: FTDI's timer then reads 1 and needs no write, which may not be allowed.
    m_flagSet = setLowLatencyFlag(fd);
    if (m_foundMs < 0)
        m_file.clear();
    else
        lowerTimer();
#else
    Q_UNUSED(port)
    Q_UNUSED(fd)
#endif
}

void AdapterLatency::lowerTimer()
{
#ifdef Q_OS_LINUX
    const int now = readLatencyTimer(m_file);
    m_usedMs = now >= 0 ? now : m_foundMs;
    if (m_usedMs <= timing::kAdapterLatencyMs)
        return;
    const int error = writeNumber(m_file, timing::kAdapterLatencyMs);
    if (error != 0) {
        m_refusal = refusalOf(error);
        m_refusalError = error;
        return;
    }
    m_timerWritten = nodeOf(m_file, &m_fileDevice, &m_fileInode);
    const int after = readLatencyTimer(m_file);
    m_usedMs = after >= 0 ? after : timing::kAdapterLatencyMs;
#endif
}

void AdapterLatency::restore(int fd)
{
#ifdef Q_OS_LINUX
    if (m_flagSet)
        clearLowLatencyFlag(fd);
    quint64 device = 0;
    quint64 inode = 0;
    // An adapter unplugged meanwhile took its file along; one plugged in since has a new one.
    if (m_timerWritten && nodeOf(m_file, &device, &inode) && device == m_fileDevice &&
        inode == m_fileInode)
        writeNumber(m_file, m_foundMs);
#else
    Q_UNUSED(fd)
#endif
    m_flagSet = false;
    m_timerWritten = false;
}

} // namespace ports
