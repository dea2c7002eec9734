#pragma once

#include "results.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>

namespace flash {

// The record's fields. One definition (record.cpp: each field's key, its kind and where it lives
// in AttemptRecord) serves the writer, the station, the shift report and the plant database's
// typed columns.
enum class RecordField {
    Id,
    Time,
    Station, // where a line names its station (the report and the plant database read it)
    Job,     // likewise the job it was flashed under
    JobFile,
    JobSha256, // of the job file's bytes: an edited job shows
    Quantity,  // the job's quantity (null: none given)
    Slot,      // --station: the slot the device was in
    SlotPath,
    Port,
    AdapterSerial,
    AdapterLatencyMsFound,
    AdapterLatencyMs,
    Baud,
    Product,
    SerialNumber,
    VersionBefore,
    VersionAfter,
    SerialNumberAfter,
    Image,
    ImageSize,
    ImageSha256,
    Frames,
    TotalFrames,
    Resends,
    WaitingForFirmware,
    EndConfirmed,
    EndReply,
    DurationMs,
    Result,
    Status,
    Message,
};

// The field's key in a record line, e.g. "serialNumberAfter".
QLatin1String recordKey(RecordField field);

// One line of the record: what was done to one device, however the attempt ended. Texts that are
// not known are written as null (a pty has no USB serial, a waiting device tells no version);
// those that do not apply (a slot outside a station) are left out.
struct AttemptRecord
{
    QString id;     // a UUID, made with the attempt: it is stored once by it wherever it travels
    QDateTime time; // when the attempt started
    QString station;
    QString job;
    QString jobFile;
    QString jobSha256;
    int quantity = -1; // left out when negative (no job); 0 is null (a job without one)
    QString slot;
    QString slotPath;
    QString port;
    QString adapterSerial;
    // The adapter's latency timer as found and as the attempt ran with it; -1 (null): none.
    int adapterLatencyMsFound = -1;
    int adapterLatencyMs = -1;
    qint32 baud = 0;
    QString product;
    QString serialNumber;
    QString versionBefore;
    QString versionAfter;
    QString serialNumberAfter; // with --verify: as the device reported it after the restart
    QString image;
    qint64 imageSize = 0;
    QString imageSha256;
    int frames = 0;
    int totalFrames = 0;
    int resends = 0;
    bool waitingForFirmware = false; // detected as waiting: its product was unknown
    bool endByteSent = false;
    bool endConfirmed = false;
    QByteArray endReply; // with endByteSent: what the device sent around the end byte
    qint64 durationMs = 0;
    Result result = Result::Success;
    QString message;
};

// One compact JSON object, without the line end.
QByteArray recordLine(const AttemptRecord &record);

// A line read back by the same definition. Every field is optional: a text absent or not a text
// reads as empty (a text is trimmed), a number absent or not a sane whole number as -1, a flag as
// false, the time as invalid.
struct ReadRecord
{
    AttemptRecord record; // its result the class named, where this version knows it
    QString result;       // as written: also a class this version does not know
    int status = -1;
};

ReadRecord readRecord(const QJsonObject &line);

// ISO 8601 in UTC with milliseconds, as every time the program writes.
QString isoTime(const QDateTime &time);

// An empty text as JSON null (not known), as every JSON object the program writes has it.
QJsonValue orNull(const QString &text);

// The status of a run whose devices all succeeded or were skipped but whose record lost a line.
constexpr int kRecordNotWrittenStatus = 12;

enum class LockResult { Locked, Busy, Failed };

// The record file, a regular file opened for appending. Each line goes out under an exclusive lock
// and is flushed to the disk before the lock is released, so lines of several processes appending
// to the same file never interleave. A line is whole or absent: a short or failed write, or a
// failed flush, is cut back off before the lock is released, and the append returns false.
class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    bool open(const QString &path, QString *error);
    bool isOpen() const;
    QString path() const { return m_path; }
    // Waits for the lock as long as it takes: for a writer that may block.
    bool append(const QByteArray &line, QString *error);

    // False when the path names another file than the one open (removed, renamed, replaced).
    bool pathNamesFile() const;
    // The path opened again, created if absent, with the checks of open(); the old file is kept
    // when it fails.
    bool reopen(QString *error);
    // Never waits: Busy while another process holds the lock.
    LockResult tryLock(QString *error);
    // After tryLock() gave Locked: the line written whole or not at all, flushed, then unlocked.
    bool appendLocked(const QByteArray &line, QString *error);

private:
    int m_fd = -1;
    QString m_path;
    QFile m_file; // where there is no POSIX file API
};

} // namespace flash
