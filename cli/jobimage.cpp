#include "jobimage.h"

#include "posixio.h"
#include "imagefile.h"

#include <QAtomicInt>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QThreadPool>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

// Read in pieces so that a watcher torn down mid-hash stops within one of them.
constexpr int kHashChunkBytes = 1024 * 1024;

FileStamp stampOf(const struct stat &st)
{
    FileStamp s;
    s.exists = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

const QString kStillFlashed =
    QStringLiteral("the image read at the start is still the one flashed");

} // namespace

bool FileStamp::operator==(const FileStamp &o) const
{
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           modifiedNs == o.modifiedNs && changedNs == o.changedNs;
}

FileStamp fileStamp(const QString &path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return FileStamp();
    return stampOf(st);
}

ImagePin pinImage(const QString &path, const QString &expectedSha256)
{
    ImagePin pin;
    PinnedImage &image = pin.image;
    image.path = QFileInfo(path).absoluteFilePath();
    image.stamp = fileStamp(path);
    const FirmwareImage loaded = loadFirmwareImage(path);
    if (!loaded.ok) {
        pin.error = QStringLiteral("cannot use the image %1: %2").arg(path, loaded.error);
        return pin;
    }
    image.sha256 = sha256Hex(loaded.bytes);
    if (image.sha256 != expectedSha256.toLower()) {
        pin.error = QStringLiteral("the image %1 does not match the job: its SHA-256 is %2, the "
                                   "job's imageSha256 is %3 (the file was changed, or the job "
                                   "names another image)")
                        .arg(path, image.sha256, expectedSha256.toLower());
        return pin;
    }
    image.bytes = loaded.bytes;
    return pin;
}

// The worker's way back: cleared when the watcher goes, so that no result is posted to it after.
struct ImageWatcher::Shared
{
    QMutex mutex;
    ImageWatcher *owner = nullptr;
    QAtomicInt stop{0};
};

struct ImageHashRun
{
    FileStamp stamp; // of the file read
    QString sha256;  // empty: it could not be read, see `why`
    QString why;
    bool settled = false; // the file did not change while it was read
};

namespace {

bool hashOpen(int fd, const QAtomicInt &stop, ImageHashRun *run)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(kHashChunkBytes, Qt::Uninitialized);
    for (;;) {
        if (stop.loadRelaxed())
            return false;
        const ssize_t n = ::read(fd, chunk.data(), size_t(chunk.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            run->why = errnoText();
            return false;
        }
        if (n == 0)
            break;
        hash.addData(chunk.constData(), int(n));
    }
    run->sha256 = QString::fromLatin1(hash.result().toHex());
    return true;
}

// On the worker thread. Settled when the file held still while it was read.
ImageHashRun hashFile(const QString &path, const QAtomicInt &stop)
{
    ImageHashRun run;
    // O_NONBLOCK: a FIFO put in its place must not hold the worker.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    run.settled = true;
    if (fd < 0) {
        run.why = errnoText();
        run.stamp = fileStamp(path);
        return run;
    }
    struct stat before
    {
    };
    struct stat after
    {
    };
    if (::fstat(fd, &before) == 0 && S_ISREG(before.st_mode)) {
        run.stamp = stampOf(before);
        if (hashOpen(fd, stop, &run))
            run.settled = ::fstat(fd, &after) == 0 && stampOf(after) == run.stamp;
    } else {
        run.why = QStringLiteral("not a regular file any more");
    }
    ::close(fd);
    return run;
}

} // namespace

ImageWatcher::ImageWatcher(const PinnedImage &image, int intervalMs, QObject *parent)
    : QObject(parent), m_path(image.path), m_sha256(image.sha256), m_size(image.bytes.size()),
      m_base(image.stamp), m_shared(std::make_shared<Shared>())
{
    m_shared->owner = this;
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ImageWatcher::check);
}

ImageWatcher::~ImageWatcher()
{
    Shared *shared = m_shared.get();
    if (!shared) // never: it quiets a false -Wstringop-overflow of GCC 12
        return;
    QMutexLocker lock(&shared->mutex);
    shared->owner = nullptr;
    shared->stop.storeRelaxed(1);
}

void ImageWatcher::check()
{
    if (m_told || m_busy)
        return;
    const FileStamp now = fileStamp(m_path);
    if (now == m_base) {
        m_seenValid = false;
        return;
    }
    if (!m_seenValid || now != m_seen) {
        m_seen = now;
        m_seenValid = true;
        return;
    }
    if (!now.exists)
        tell(QStringLiteral("is gone"));
    else if (now.size != m_size)
        tell(QStringLiteral("was changed on disk"));
    else
        startHash();
}

void ImageWatcher::startHash()
{
    m_busy = true;
    ++m_hashes;
    const std::shared_ptr<Shared> shared = m_shared;
    const QString path = m_path;
    QThreadPool::globalInstance()->start([shared, path] {
        const ImageHashRun run = hashFile(path, shared->stop);
        QMutexLocker lock(&shared->mutex);
        ImageWatcher *owner = shared->owner;
        if (!owner)
            return;
        // Posted to the watcher's thread; dropped with the watcher if it goes first.
        QMetaObject::invokeMethod(
            owner, [owner, run] { owner->hashed(run); }, Qt::QueuedConnection);
    });
}

void ImageWatcher::hashed(const ImageHashRun &result)
{
    m_busy = false;
    m_seenValid = false;
    if (!result.settled)
        return; // it changed while it was read: looked at again
    if (result.sha256 == m_sha256) {
        m_base = result.stamp;
        return;
    }
    tell(result.sha256.isEmpty()
             ? QStringLiteral("cannot be read any more (%1) to be checked").arg(result.why)
             : QStringLiteral("was changed on disk"));
}

void ImageWatcher::tell(const QString &what)
{
    m_told = true;
    m_timer.stop();
    emit imageChanged(QStringLiteral("the image file %1 %2: it no longer matches the job (%3)")
                          .arg(m_path, what, kStillFlashed));
}

} // namespace flash
