#include "portpath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace ports {

namespace {

// Symbolic links followed as the kernel does, then no further.
constexpr int kMaxLinkHops = 40;

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
#endif

// Where a path leads, also when nothing is there yet: links followed, made absolute and clean,
// its directory canonical. Two names of one place give the same text.
QString placeOf(const QString &path)
{
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        const QFileInfo link(current);
        const QString target = link.isSymLink() ? link.symLinkTarget() : QString();
        if (target.isEmpty())
            break;
        current = QDir::cleanPath(target);
    }
    const QFileInfo info(current);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString directory = QFileInfo(info.absolutePath()).canonicalFilePath();
    return directory.isEmpty() ? current : directory + QLatin1Char('/') + info.fileName();
}

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

bool samePlace(const QString &a, const QString &b)
{
    return sameNode(a, b) || placeOf(a) == placeOf(b);
}

} // namespace ports
