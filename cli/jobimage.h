#pragma once

#include "timing.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace flash {

// What stat() tells of a file, enough to see that it changed: replaced (device, inode), edited
// (size, modification time), or touched in a way that sets the time back (the status change
// time, which nobody can set).
struct FileStamp
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    bool operator==(const FileStamp &o) const;
    bool operator!=(const FileStamp &o) const { return !(*this == o); }
};

// Follows links: a link pointed at another file is a change.
FileStamp fileStamp(const QString &path);

// The image a job flashes, read once at its start: the bytes read then are sent all shift,
// whatever happens to the file afterwards.
struct PinnedImage
{
    QString path; // absolute
    QByteArray bytes;
    QString sha256;  // lower-case hex
    FileStamp stamp; // taken before the read: a change from then on is seen by the watcher
};

struct ImagePin
{
    PinnedImage image;
    QString error; // a usage error; with a mismatch both hashes are in it
};

// Reads the image (the limits of loadFirmwareImage) and compares its SHA-256 with the job's.
// The name field's checks are the image loader's; they apply to image.bytes.
ImagePin pinImage(const QString &path, const QString &expectedSha256);

struct ImageHashRun; // one reading of the file on the worker thread

// Tells once, with imageChanged(), that the image file on disk no longer matches the pinned
// hash: removed, edited, or replaced by other bytes. It costs one stat() a tick and never reads
// the file while the stat stays the same. A changed stat is looked at again on the next tick (a
// copy in progress is no verdict); then a missing file or another size tells at once, and a file
// of the same size is hashed on a worker thread (an image may be 64 MiB) and compared. A file
// put back with the same bytes (a copy, an editor's save) is no change.
class ImageWatcher : public QObject
{
    Q_OBJECT

public:
    explicit ImageWatcher(const PinnedImage &image, int intervalMs = timing::kImageWatchMs,
                          QObject *parent = nullptr);
    ~ImageWatcher() override;

    void start() { m_timer.start(); }
    // One look, as each tick of the timer takes it.
    void check();

    bool told() const { return m_told; }
    int hashesStarted() const { return m_hashes; } // how often the file was read
    bool hashing() const { return m_busy; }

signals:
    void imageChanged(const QString &text);

private:
    struct Shared;

    void startHash();
    void hashed(const ImageHashRun &run);
    void tell(const QString &what);

    QString m_path;
    QString m_sha256;
    qint64 m_size = 0;
    FileStamp m_base; // the stamp of a file known to match
    FileStamp m_seen; // a stamp other than m_base, seen on the last look
    bool m_seenValid = false;
    bool m_busy = false;
    bool m_told = false;
    int m_hashes = 0;
    QTimer m_timer;
    std::shared_ptr<Shared> m_shared;
};

} // namespace flash
