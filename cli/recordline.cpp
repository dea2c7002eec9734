#include "recordline.h"

#include "record.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace flash {

namespace {

bool usableId(const QString &id)
{
    if (id.isEmpty() || id.size() > kMaxIdChars)
        return false;
    for (const QChar c : id) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

bool parseRecordLine(const QByteArray &line, QJsonObject *object, QString *reason)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError) {
        *reason = QStringLiteral("not JSON: %1 at byte %2")
                      .arg(error.errorString())
                      .arg(error.offset + 1);
        return false;
    }
    if (!doc.isObject()) {
        *reason = QStringLiteral("not a JSON object");
        return false;
    }
    *object = doc.object();
    const QJsonValue result = object->value(recordKey(RecordField::Result));
    if (!result.isString() || result.toString().trimmed().isEmpty()) {
        *reason = QStringLiteral("no result");
        return false;
    }
    return true;
}

bool nextRecordLine(QFile &file, QByteArray *line, bool *tooLong)
{
    line->clear();
    for (;;) {
        const QByteArray chunk = file.readLine(kMaxLineBytes);
        if (line->size() <= kMaxLineBytes)
            line->append(chunk);
        if (!chunk.isEmpty() && !chunk.endsWith('\n'))
            continue;
        if (chunk.isEmpty() && line->isEmpty())
            return false;
        if (line->endsWith('\n'))
            line->chop(1);
        *tooLong = line->size() > kMaxLineBytes;
        return true;
    }
}

QString deviceSerial(const QJsonObject &object)
{
    for (const char *key : {"serialNumber", "serialNumberAfter"}) {
        const QJsonValue v = object.value(QLatin1String(key));
        if (v.isString() && !v.toString().trimmed().isEmpty())
            return v.toString().trimmed();
    }
    return QString();
}

QString attemptId(const QJsonObject &object)
{
    const QJsonValue id = object.value(recordKey(RecordField::Id));
    if (id.isString() && usableId(id.toString()))
        return id.toString();
    // QJsonObject keeps its keys sorted, and Compact writes no spaces.
    return sha256Hex(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString rawLineId(const QByteArray &line)
{
    return sha256Hex(line);
}

} // namespace flash
