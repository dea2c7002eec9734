#include "jobfile.h"

#include "posixio.h"
#include "imagefile.h"
#include "portpath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash {

namespace {

struct Context
{
    QString folder; // the job file's, absolute: relative paths in the file start here
    QString file;   // the job file, absolute
};

// Reads one key's value into the settings; on error, what the value must be.
using KeyReader = QString (*)(const QJsonValue &value, const Context &c, JobSettings *s);
// The key's value as written; Undefined leaves an optional key at its default out.
using KeyWriter = QJsonValue (*)(const JobSettings &s, const Context &c);

struct JobKey
{
    const char *name;
    bool required;
    KeyReader read;
    KeyWriter write;
};

bool hasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// A name or version: a non-empty text on one line, spaces around it dropped.
bool plainText(const QJsonValue &v, QString *out)
{
    if (!v.isString() || v.toString().trimmed().isEmpty() || hasControl(v.toString()))
        return false;
    *out = v.toString().trimmed();
    return true;
}

// A path is taken as written, relative to the job file's folder.
bool pathText(const QJsonValue &v, const Context &c, QString *out)
{
    if (!v.isString() || v.toString().isEmpty() || hasControl(v.toString()))
        return false;
    *out = QDir::cleanPath(QDir(c.folder).absoluteFilePath(v.toString()));
    return true;
}

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

bool wholeNumber(const QJsonValue &v, int min, int max, int *out)
{
    const double d = v.toDouble();
    if (!v.isDouble() || d < min || d > max || d != std::floor(d))
        return false;
    *out = int(d);
    return true;
}

QJsonValue textOrNone(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Undefined) : QJsonValue(text);
}

// Inside the job file's folder a path is written relative to it, so the folder can move whole.
QJsonValue relativeIfInside(const QString &path, const Context &c)
{
    const QString relative = QDir(c.folder).relativeFilePath(path);
    if (path.isEmpty() || relative.startsWith(QLatin1String("../")) || relative == "..")
        return path;
    return relative;
}

const QString kOneLine = QStringLiteral("must be a text on one line");

QString readName(const QJsonValue &v, const Context &, JobSettings *s)
{
    return plainText(v, &s->name) ? QString() : kOneLine + QStringLiteral(", the work order");
}

QString readStation(const QJsonValue &v, const Context &, JobSettings *s)
{
    return plainText(v, &s->station) ? QString()
                                     : kOneLine + QStringLiteral(", the station's name");
}

QString readImage(const QJsonValue &v, const Context &c, JobSettings *s)
{
    return pathText(v, c, &s->image) ? QString() : QStringLiteral("must name the image file");
}

QString readImageSha256(const QJsonValue &v, const Context &, JobSettings *s)
{
    const QString text = v.toString();
    bool hex = v.isString() && text.size() == 64;
    for (int i = 0; hex && i < text.size(); ++i)
        hex = isHexDigit(text.at(i));
    if (!hex)
        return QStringLiteral("must be 64 hexadecimal digits: the image's SHA-256, as sha256sum "
                              "prints it");
    s->imageSha256 = text.toLower();
    return QString();
}

QString readBaud(const QJsonValue &v, const Context &, JobSettings *s)
{
    int rate = 0;
    if (!wholeNumber(v, protocol::kSlowBaud, protocol::kFastBaud, &rate) ||
        (rate != protocol::kSlowBaud && rate != protocol::kFastBaud))
        return QStringLiteral("must be %1 or %2: the rates the device speaks")
            .arg(protocol::kSlowBaud)
            .arg(protocol::kFastBaud);
    s->baud = rate;
    return QString();
}

QString readVerify(const QJsonValue &v, const Context &, JobSettings *s)
{
    s->verify = v.toBool();
    return v.isBool() ? QString() : QStringLiteral("must be true or false");
}

QString readExpectVersion(const QJsonValue &v, const Context &, JobSettings *s)
{
    return plainText(v, &s->expectVersion) ? QString() : kOneLine + QStringLiteral(", a version");
}

QString readSkipIfVersion(const QJsonValue &v, const Context &, JobSettings *s)
{
    return plainText(v, &s->skipIfVersion) ? QString() : kOneLine + QStringLiteral(", a version");
}

QString readPace(const QJsonValue &v, const Context &, JobSettings *s)
{
    return wholeNumber(v, 0, timing::kReplyTimeoutMs, &s->paceMs)
               ? QString()
               : QStringLiteral("must be a whole number of milliseconds from 0 to %1")
                     .arg(timing::kReplyTimeoutMs);
}

QString readAttempts(const QJsonValue &v, const Context &, JobSettings *s)
{
    return wholeNumber(v, 1, timing::kFastAttemptsAfterAbort, &s->attempts)
               ? QString()
               : QStringLiteral("must be a whole number from 1 to %1")
                     .arg(timing::kFastAttemptsAfterAbort);
}

QString readSlots(const QJsonValue &v, const Context &, JobSettings *s)
{
    if (!v.isArray())
        return QStringLiteral("must be a list of ports, such as [\"/dev/ttyUSB0\"]");
    const QJsonArray list = v.toArray();
    if (list.isEmpty())
        return QStringLiteral("must name at least one port");
    QHash<QString, QString> seen; // port identity -> the name it was first given as
    for (int i = 0; i < list.size(); ++i) {
        const QString port = list.at(i).toString();
        if (!list.at(i).isString() || port.isEmpty() || hasControl(port))
            return QStringLiteral("item %1 must name a port").arg(i + 1);
        // Under any of its names (a link under /dev/serial), as --port twice is refused.
        const QString key = ports::portIdentity(port);
        if (seen.contains(key))
            return seen.value(key) == port ? QStringLiteral("names %1 twice").arg(port)
                                           : QStringLiteral("names one port twice: %1 and %2")
                                                 .arg(seen.value(key), port);
        seen.insert(key, port);
        s->ports << port;
    }
    return QString();
}

QString readQuantity(const QJsonValue &v, const Context &, JobSettings *s)
{
    return wholeNumber(v, 1, kMaxJobQuantity, &s->quantity)
               ? QString()
               : QStringLiteral("must be a whole number from 1 to %1").arg(kMaxJobQuantity);
}

QString readRecord(const QJsonValue &v, const Context &c, JobSettings *s)
{
    return pathText(v, c, &s->record) ? QString() : QStringLiteral("must name the record file");
}

// In the order a job file is written.
const JobKey kJobKeys[] = {
    {"name", true, readName,
     [](const JobSettings &s, const Context &) { return QJsonValue(s.name); }},
    {"station", true, readStation,
     [](const JobSettings &s, const Context &) { return QJsonValue(s.station); }},
    {"image", true, readImage,
     [](const JobSettings &s, const Context &c) { return relativeIfInside(s.image, c); }},
    {"imageSha256", true, readImageSha256,
     [](const JobSettings &s, const Context &) { return QJsonValue(s.imageSha256); }},
    {"baud", false, readBaud,
     [](const JobSettings &s, const Context &) { return QJsonValue(s.baud); }},
    {"verify", false, readVerify,
     [](const JobSettings &s, const Context &) { return QJsonValue(s.verify); }},
    {"expectVersion", false, readExpectVersion,
     [](const JobSettings &s, const Context &) { return textOrNone(s.expectVersion); }},
    {"skipIfVersion", false, readSkipIfVersion,
     [](const JobSettings &s, const Context &) { return textOrNone(s.skipIfVersion); }},
    {"pace", false, readPace,
     [](const JobSettings &s, const Context &) {
         return s.paceMs == JobSettings().paceMs ? QJsonValue(QJsonValue::Undefined)
                                                 : QJsonValue(s.paceMs);
     }},
    {"attempts", false, readAttempts,
     [](const JobSettings &s, const Context &) {
         return s.attempts == JobSettings().attempts ? QJsonValue(QJsonValue::Undefined)
                                                     : QJsonValue(s.attempts);
     }},
    {"slots", true, readSlots,
     [](const JobSettings &s, const Context &) {
         return QJsonValue(QJsonArray::fromStringList(s.ports));
     }},
    {"quantity", false, readQuantity,
     [](const JobSettings &s, const Context &) {
         return s.quantity > 0 ? QJsonValue(s.quantity) : QJsonValue(QJsonValue::Undefined);
     }},
    {"record", true, readRecord,
     [](const JobSettings &s, const Context &c) { return relativeIfInside(s.record, c); }},
};

const JobKey *findKey(const QString &name)
{
    for (const JobKey &k : kJobKeys) {
        if (name == QLatin1String(k.name))
            return &k;
    }
    return nullptr;
}

QString keyList(bool requiredOnly)
{
    QStringList names;
    for (const JobKey &k : kJobKeys) {
        if (k.required || !requiredOnly)
            names << QString::fromLatin1(k.name);
    }
    return names.join(QLatin1String(", "));
}

// Each key read by its reader, then the rules between keys.
QString readKeys(const QJsonObject &object, const Context &c, JobSettings *s)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!findKey(it.key()))
            return QStringLiteral("\"%1\" is not a key of a job file (the keys: %2)")
                .arg(it.key(), keyList(false));
    }
    for (const JobKey &k : kJobKeys) {
        const QJsonValue value = object.value(QLatin1String(k.name));
        if (value.isUndefined()) {
            if (k.required)
                return QStringLiteral("\"%1\" is missing (a job file needs %2)")
                    .arg(QLatin1String(k.name), keyList(true));
            continue;
        }
        const QString error = k.read(value, c, s);
        if (!error.isEmpty())
            return QStringLiteral("\"%1\" %2").arg(QLatin1String(k.name), error);
    }
    if (!s->expectVersion.isEmpty() && !s->verify)
        return QStringLiteral("\"expectVersion\" needs \"verify\": true (the version is read "
                              "after the restart)");
    if (s->record == c.file || s->image == c.file)
        return QStringLiteral("\"%1\" names the job file itself")
            .arg(s->record == c.file ? QLatin1String("record") : QLatin1String("image"));
    return QString();
}

ParsedJob parseText(const QByteArray &bytes, const Context &c, const QString &shownPath)
{
    ParsedJob result;
    const auto fail = [&](const QString &why) {
        result.error = QStringLiteral("job file %1: %2").arg(shownPath, why);
        return result;
    };
    // An editor on Windows may start the file with a byte order mark.
    const QByteArray json = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    // Before the reader, which keeps the last of two equal keys (and loses memory when the first
    // held a list).
    const QString twice = firstDuplicateKey(json);
    if (!twice.isNull())
        return fail(QStringLiteral("\"%1\" is given twice; give each key once").arg(twice));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return fail(QStringLiteral("not JSON: %1 at byte %2")
                        .arg(error.errorString())
                        .arg(error.offset + 1));
    if (!doc.isObject())
        return fail(QStringLiteral("not a JSON object: a job file is one object, { \"name\": … }"));
    const QString why = readKeys(doc.object(), c, &result.job.settings);
    if (!why.isEmpty())
        return fail(why);
    result.job.file = c.file;
    result.job.fileSha256 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    return result;
}

// A FIFO or a device would block the read or never end: only a regular file is a job file.
bool readJobBytes(const QString &path, QByteArray *bytes, QString *why)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("cannot be read: %1").arg(errnoText());
        return false;
    }
    struct stat st
    {
    };
    QFile file;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? QStringLiteral("a folder, not a job file")
                                   : QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    *bytes = file.read(kMaxJobFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("cannot be read: %1").arg(file.errorString());
        return false;
    }
    if (bytes->size() > kMaxJobFileBytes) {
        *why = QStringLiteral("larger than %1 bytes: not a job file").arg(kMaxJobFileBytes);
        return false;
    }
    return true;
}

Context contextOf(const QString &path)
{
    const QFileInfo info(path);
    return Context{QDir::cleanPath(info.absolutePath()), QDir::cleanPath(info.absoluteFilePath())};
}

QByteArray valueText(const QJsonValue &v)
{
    if (v.isArray()) {
        QStringList items;
        for (const QJsonValue &item : v.toArray())
            items << QStringLiteral("        ") + QString::fromUtf8(valueText(item));
        return items.isEmpty() ? QByteArray("[]") : "[\n" + items.join(",\n").toUtf8() + "\n    ]";
    }
    const QByteArray wrapped = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

QByteArray jobText(const JobSettings &s, const Context &c)
{
    QByteArrayList lines;
    for (const JobKey &k : kJobKeys) {
        const QJsonValue v = k.write(s, c);
        if (!v.isUndefined())
            lines << "    \"" + QByteArray(k.name) + "\": " + valueText(v);
    }
    return "{\n" + lines.join(",\n") + "\n}\n";
}

// Gives the temporary file its name only while nothing has that name: never a replacement, also
// not of a dangling link. A file system without RENAME_NOREPLACE still has link(), which never
// replaces either.
bool placeWithoutReplacing(const QByteArray &temp, const QByteArray &path, QString *why)
{
    if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, path.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS) {
        if (::link(temp.constData(), path.constData()) == 0)
            return true;
    }
    *why = errno == EEXIST ? QStringLiteral("it exists already (a job file is never replaced)")
                           : errnoText();
    return false;
}

bool writeTempFile(int fd, const QByteArray &text, QString *why)
{
    bool ok = writeAll(fd, text, why);
    if (ok && ::fsync(fd) != 0) {
        *why = errnoText();
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        *why = errnoText();
        ok = false;
    }
    return ok;
}

// The whole text under a temporary name in the same folder, flushed, then the final name: a
// crash or a full disk leaves no half-written job file.
bool createJobFile(const Context &c, const QByteArray &text, QString *why)
{
    const QByteArray path = QFile::encodeName(c.file);
    QByteArray temp;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 16; ++tries) {
        temp = QFile::encodeName(
            QStringLiteral("%1/.%2.%3.tmp")
                .arg(c.folder, QFileInfo(c.file).fileName())
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            *why = errnoText();
            return false;
        }
    }
    if (fd < 0) {
        *why = QStringLiteral("no temporary name is free in %1").arg(c.folder);
        return false;
    }
    const bool ok = writeTempFile(fd, text, why) && placeWithoutReplacing(temp, path, why);
    ::unlink(temp.constData());
    // The new name itself reaches the disk with its folder.
    const int folder = ::open(QFile::encodeName(c.folder).constData(), O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return ok;
}

// Decoded by the reader itself, escapes and all.
bool decodedKey(const QByteArray &token, QString *key)
{
    const QJsonDocument doc = QJsonDocument::fromJson("[" + token + "]");
    if (!doc.isArray() || !doc.array().at(0).isString())
        return false;
    *key = doc.array().at(0).toString();
    return true;
}

QString absolutePath(const QString &path)
{
    return path.isEmpty() ? path : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

ParsedJob parseJob(const QString &path)
{
    QByteArray bytes;
    QString why;
    if (!readJobBytes(path, &bytes, &why)) {
        ParsedJob result;
        result.error = QStringLiteral("job file %1: %2").arg(path, why);
        return result;
    }
    return parseText(bytes, contextOf(path), path);
}

ParsedJob writeJob(const QString &path, const JobSettings &settings)
{
    ParsedJob result;
    const Context c = contextOf(path);
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0) {
        result.error = QStringLiteral("cannot write the job file %1: it exists already (a job "
                                      "file is never replaced; remove it or choose another name)")
                           .arg(path);
        return result;
    }
    JobSettings s = settings;
    s.image = absolutePath(settings.image);
    s.record = absolutePath(settings.record);
    if (!s.image.isEmpty()) {
        const FirmwareImage image = loadFirmwareImage(s.image);
        if (!image.ok) {
            result.error = QStringLiteral("cannot use the image %1: %2").arg(s.image, image.error);
            return result;
        }
        s.imageSha256 = QString::fromLatin1(
            QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256).toHex());
    }
    const QByteArray text = jobText(s, c);
    result = parseText(text, c, path);
    QString why;
    if (result.error.isEmpty() && !createJobFile(c, text, &why))
        result.error = QStringLiteral("cannot write the job file %1: %2").arg(path, why);
    return result;
}

QString firstDuplicateKey(const QByteArray &json)
{
    struct Level
    {
        bool object;
        bool keyNext;
        QSet<QString> keys;
    };
    std::vector<Level> levels;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '"') {
            int end = i + 1;
            while (end < json.size() && json.at(end) != '"')
                end += json.at(end) == '\\' ? 2 : 1;
            Level *level = levels.empty() ? nullptr : &levels.back();
            if (level && level->object && level->keyNext) {
                QString key;
                if (!decodedKey(json.mid(i, end + 1 - i), &key))
                    return QString(); // not JSON: the reader says where
                if (level->keys.contains(key))
                    return key.isNull() ? QStringLiteral("") : key;
                level->keys.insert(key);
                level->keyNext = false;
            }
            i = end;
        } else if (c == '{' || c == '[') {
            levels.push_back({c == '{', c == '{', {}});
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == ',' && !levels.empty() && levels.back().object) {
            levels.back().keyNext = true;
        }
    }
    return QString();
}

} // namespace flash
