#include "record.h"

#include "posixio.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <climits>
#include <cmath>
#include <variant>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

#ifdef Q_OS_UNIX
QString notRegularText()
{
    return QStringLiteral("not a regular file (a FIFO, device or socket cannot keep the record)");
}

// A line cut short by an earlier failure (of an older program, or a crash) must not swallow
// the next one: it is ended first.
bool endsWithLineEnd(int fd, off_t size)
{
    char last = '\n';
    return size == 0 || ::pread(fd, &last, 1, size - 1) != 1 || last == '\n';
}
#endif

} // namespace

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

namespace {

// How a field is written and read.
enum class Kind {
    Text,         // always written
    TextOrNull,   // null when empty: not known
    OptionalText, // left out when empty: does not apply
    Number,
    NumberOrNull,   // null when negative: none
    OptionalNumber, // left out when negative: does not apply; 0 is null: none given
    Flag,
    Time,     // ISO 8601 in UTC with milliseconds
    EndReply, // hex of endReply with endByteSent, else null
    Result,   // the class's name
    Status,   // the class's exit status
};

using Member =
    std::variant<std::monostate, QString AttemptRecord::*, int AttemptRecord::*,
                 qint64 AttemptRecord::*, bool AttemptRecord::*, QDateTime AttemptRecord::*>;

struct FieldDefinition
{
    RecordField field;
    const char *key;
    Kind kind;
    Member member;
};

using R = AttemptRecord;
const FieldDefinition kFields[] = {
    {RecordField::Id, "id", Kind::OptionalText, &R::id},
    {RecordField::Time, "time", Kind::Time, &R::time},
    {RecordField::Station, "station", Kind::OptionalText, &R::station},
    {RecordField::Job, "job", Kind::OptionalText, &R::job},
    {RecordField::JobFile, "jobFile", Kind::OptionalText, &R::jobFile},
    {RecordField::JobSha256, "jobSha256", Kind::OptionalText, &R::jobSha256},
    {RecordField::Quantity, "quantity", Kind::OptionalNumber, &R::quantity},
    {RecordField::Slot, "slot", Kind::OptionalText, &R::slot},
    {RecordField::SlotPath, "slotPath", Kind::OptionalText, &R::slotPath},
    {RecordField::Port, "port", Kind::Text, &R::port},
    {RecordField::AdapterSerial, "adapterSerial", Kind::TextOrNull, &R::adapterSerial},
    {RecordField::AdapterLatencyMsFound, "adapterLatencyMsFound", Kind::NumberOrNull,
     &R::adapterLatencyMsFound},
    {RecordField::AdapterLatencyMs, "adapterLatencyMs", Kind::NumberOrNull, &R::adapterLatencyMs},
    {RecordField::Baud, "baud", Kind::Number, &R::baud},
    {RecordField::Product, "product", Kind::TextOrNull, &R::product},
    {RecordField::SerialNumber, "serialNumber", Kind::TextOrNull, &R::serialNumber},
    {RecordField::VersionBefore, "versionBefore", Kind::TextOrNull, &R::versionBefore},
    {RecordField::VersionAfter, "versionAfter", Kind::TextOrNull, &R::versionAfter},
    {RecordField::SerialNumberAfter, "serialNumberAfter", Kind::TextOrNull, &R::serialNumberAfter},
    {RecordField::Image, "image", Kind::Text, &R::image},
    {RecordField::ImageSize, "imageSize", Kind::Number, &R::imageSize},
    {RecordField::ImageSha256, "imageSha256", Kind::Text, &R::imageSha256},
    {RecordField::Frames, "frames", Kind::Number, &R::frames},
    {RecordField::TotalFrames, "totalFrames", Kind::Number, &R::totalFrames},
    {RecordField::Resends, "resends", Kind::Number, &R::resends},
    {RecordField::WaitingForFirmware, "waitingForFirmware", Kind::Flag, &R::waitingForFirmware},
    {RecordField::EndConfirmed, "endConfirmed", Kind::Flag, &R::endConfirmed},
    {RecordField::EndReply, "endReply", Kind::EndReply, {}},
    {RecordField::DurationMs, "durationMs", Kind::Number, &R::durationMs},
    {RecordField::Result, "result", Kind::Result, {}},
    {RecordField::Status, "status", Kind::Status, {}},
    {RecordField::Message, "message", Kind::Text, &R::message},
};

// Bounded so that a hostile number cannot overflow the conversion.
constexpr double kMaxNumber = 1e15;

template <typename T> T AttemptRecord::*memberOf(const FieldDefinition &f)
{
    return std::get<T AttemptRecord::*>(f.member);
}

qint64 numberOf(const AttemptRecord &r, const FieldDefinition &f)
{
    if (std::holds_alternative<int AttemptRecord::*>(f.member))
        return r.*memberOf<int>(f);
    return r.*memberOf<qint64>(f);
}

void setNumber(AttemptRecord &r, const FieldDefinition &f, qint64 value)
{
    if (std::holds_alternative<int AttemptRecord::*>(f.member))
        r.*memberOf<int>(f) = int(value);
    else
        r.*memberOf<qint64>(f) = value;
}

QJsonValue written(const AttemptRecord &r, const FieldDefinition &f)
{
    switch (f.kind) {
    case Kind::Text:
    case Kind::OptionalText:
        return r.*memberOf<QString>(f);
    case Kind::TextOrNull:
        return orNull(r.*memberOf<QString>(f));
    case Kind::Number:
        return numberOf(r, f);
    case Kind::OptionalNumber:
        return numberOf(r, f) == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(numberOf(r, f));
    case Kind::NumberOrNull:
        return numberOf(r, f) < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(numberOf(r, f));
    case Kind::Flag:
        return r.*memberOf<bool>(f);
    case Kind::Time:
        return isoTime(r.*memberOf<QDateTime>(f));
    case Kind::EndReply:
        return r.endByteSent ? QJsonValue(QString::fromLatin1(r.endReply.toHex()))
                             : QJsonValue(QJsonValue::Null);
    case Kind::Result:
        return resultName(r.result);
    case Kind::Status:
        return exitStatus(r.result);
    }
    return QJsonValue();
}

qint64 wholeNumber(const QJsonValue &v)
{
    const double d = v.toDouble(-1);
    return std::isfinite(d) && d >= 0 && d < kMaxNumber ? qint64(d) : -1;
}

// The class a result name stands for, where this version knows it.
void readResult(ReadRecord &out, const QString &text)
{
    out.result = text;
    for (int i = 0; i <= int(Result::Cancelled); ++i) {
        if (resultName(Result(i)) == text)
            out.record.result = Result(i);
    }
}

void read(ReadRecord &out, const FieldDefinition &f, const QJsonValue &v)
{
    AttemptRecord &r = out.record;
    const QString text = v.isString() ? v.toString().trimmed() : QString();
    switch (f.kind) {
    case Kind::Text:
    case Kind::OptionalText:
    case Kind::TextOrNull:
        r.*memberOf<QString>(f) = text;
        break;
    case Kind::Number:
    case Kind::NumberOrNull:
    case Kind::OptionalNumber:
        setNumber(r, f, wholeNumber(v));
        break;
    case Kind::Flag:
        r.*memberOf<bool>(f) = v.toBool(false);
        break;
    case Kind::Time:
        r.*memberOf<QDateTime>(f) = QDateTime::fromString(text, Qt::ISODateWithMs);
        break;
    case Kind::EndReply:
        r.endByteSent = v.isString();
        r.endReply = QByteArray::fromHex(text.toLatin1());
        break;
    case Kind::Result:
        readResult(out, text);
        break;
    case Kind::Status:
        out.status = int(qBound<qint64>(-1, wholeNumber(v), INT_MAX));
        break;
    }
}

} // namespace

QLatin1String recordKey(RecordField field)
{
    for (const FieldDefinition &f : kFields) {
        if (f.field == field)
            return QLatin1String(f.key);
    }
    return QLatin1String();
}

QByteArray recordLine(const AttemptRecord &r)
{
    QJsonObject o;
    for (const FieldDefinition &f : kFields) {
        const QJsonValue v = written(r, f);
        const bool absent = (f.kind == Kind::OptionalText && v.toString().isEmpty()) ||
                            (f.kind == Kind::OptionalNumber && numberOf(r, f) < 0);
        if (!absent)
            o.insert(QLatin1String(f.key), v);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

ReadRecord readRecord(const QJsonObject &line)
{
    ReadRecord out;
    for (const FieldDefinition &f : kFields)
        read(out, f, line.value(QLatin1String(f.key)));
    return out;
}

RecordFile::~RecordFile()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

bool RecordFile::isOpen() const
{
    return m_fd >= 0 || m_file.isOpen();
}

#ifdef Q_OS_UNIX
namespace {

// A regular file opened for appending, or -1 with the reason.
int openRegular(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    // Opening a FIFO for writing would wait for a reader; a device would take the lines.
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = notRegularText();
        return -1;
    }
    // Read access only serves to look at the last byte; a file we may only write still works.
    const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(name.constData(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_WRONLY | flags, 0644);
    if (fd < 0) {
        *error = errnoText();
        return -1;
    }
    // Replaced between the look and the open.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = notRegularText();
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace
#endif

bool RecordFile::open(const QString &path, QString *error)
{
    m_path = path;
#ifdef Q_OS_UNIX
    m_fd = openRegular(path, error);
    return m_fd >= 0;
#else
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = m_file.errorString();
        return false;
    }
    return true;
#endif
}

bool RecordFile::pathNamesFile() const
{
#ifdef Q_OS_UNIX
    struct stat byPath
    {
    };
    struct stat open
    {
    };
    if (::fstat(m_fd, &open) != 0)
        return true; // nothing to compare with: the write tells what is wrong
    if (::stat(QFile::encodeName(m_path).constData(), &byPath) != 0)
        return errno != ENOENT && errno != ENOTDIR; // a share that does not answer is not gone
    return byPath.st_dev == open.st_dev && byPath.st_ino == open.st_ino;
#else
    return true;
#endif
}

bool RecordFile::reopen(QString *error)
{
#ifdef Q_OS_UNIX
    const int fd = openRegular(m_path, error);
    if (fd < 0)
        return false;
    ::close(m_fd);
    m_fd = fd;
    return true;
#else
    Q_UNUSED(error)
    return true;
#endif
}

LockResult RecordFile::tryLock(QString *error)
{
#ifdef Q_OS_UNIX
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return LockResult::Busy;
        if (errno != EINTR) {
            *error = errnoText();
            return LockResult::Failed;
        }
    }
#else
    Q_UNUSED(error)
#endif
    return LockResult::Locked;
}

bool RecordFile::append(const QByteArray &line, QString *error)
{
#ifdef Q_OS_UNIX
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = errnoText();
            return false;
        }
    }
#endif
    return appendLocked(line, error);
}

bool RecordFile::appendLocked(const QByteArray &line, QString *error)
{
    QByteArray bytes = line + '\n';
#ifdef Q_OS_UNIX
    // Under the lock no other writer moves the end: whatever this write leaves is undone by
    // cutting the file back to where the line began.
    const off_t begin = ::lseek(m_fd, 0, SEEK_END);
    bool ok = begin >= 0;
    if (!ok)
        *error = errnoText();
    if (ok && !endsWithLineEnd(m_fd, begin))
        bytes.prepend('\n');
    ok = ok && writeAll(m_fd, bytes, error);
    // A line the disk did not take for sure is as lost as one cut short.
    if (ok && ::fsync(m_fd) != 0) {
        *error = errnoText();
        ok = false;
    }
    if (!ok && begin >= 0 && ::ftruncate(m_fd, begin) != 0)
        *error += QStringLiteral("; the part written could not be removed: %1").arg(errnoText());
    ::flock(m_fd, LOCK_UN);
    return ok;
#else
    const qint64 begin = m_file.size();
    if (m_file.write(bytes) != bytes.size() || !m_file.flush()) {
        *error = m_file.errorString();
        m_file.resize(begin);
        return false;
    }
    return true;
#endif
}

} // namespace flash
