#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

namespace flash {

// One line of a record file as the shipper reads it.
struct TailLine
{
    qint64 offset = 0; // of its first byte
    qint64 number = 0; // from 1
    qint64 length = 0; // in bytes, without the line end
    QByteArray bytes;  // without the line end; of a line over kMaxLineBytes only its start
    bool tooLong() const;
};

// A record file followed as it grows. The descriptor stays open when the file is renamed or
// removed, so that what was written to it can still be read; a file is known by its device, its
// inode and its first line's id, since inodes are reused. Only newline-terminated lines are read,
// each under a shared lock on the file: the station writes, flushes and, on a failure, cuts back
// its line under an exclusive one, so a line that the station will cut back is never seen.
class RecordTail
{
public:
    enum class Read { Lines, NoLine, Busy, Failed };

    // Null when `path` cannot be opened (it may not exist yet), with why; a folder, a FIFO or a
    // device is refused with `notRegular`.
    static std::unique_ptr<RecordTail> open(const QString &path, QString *error,
                                            bool *notRegular = nullptr);
    ~RecordTail();
    RecordTail(const RecordTail &) = delete;
    RecordTail &operator=(const RecordTail &) = delete;

    const QString &path() const { return m_path; }
    quint64 device() const { return m_device; }
    quint64 inode() const { return m_inode; }
    int descriptor() const { return m_fd; }
    // Empty while the file has no whole first line.
    const QString &firstId() const { return m_firstId; }
    qint64 size() const { return m_size; }
    qint64 offset() const { return m_offset; }
    qint64 nextLine() const { return m_nextLine; }
    void setPosition(qint64 offset, qint64 nextLine);
    // Whether a line ends exactly before `offset` (or it is 0): a stored position is usable.
    bool lineStartsAt(qint64 offset) const;

    // Looks at the file again. False when it was cut below the position or its first line
    // changed (truncated and written anew): it then counts as a new file, read from its start.
    bool refresh();

    // Whole lines from the position on, at most `maxLines` and about `maxBytes`, and the offset
    // after the last; the position moves only with advance(). Busy: a writer holds the lock.
    Read read(int maxLines, qint64 maxBytes, QVector<TailLine> *lines, qint64 *end, QString *error);
    void advance(qint64 end, qint64 lineCount);

private:
    RecordTail() = default;
    QString readFirstId() const;
    qint64 findLineEnd(qint64 from, qint64 limit) const;

    QString m_path;
    int m_fd = -1;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    QString m_firstId;
    qint64 m_size = 0;
    qint64 m_offset = 0;
    qint64 m_nextLine = 1;
    qint64 m_scannedTo = 0; // an over-long line's end was looked for up to here
};

} // namespace flash
