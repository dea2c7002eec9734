#include "shipbatch.h"

#include "record.h"
#include "recordline.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace flash {

namespace {

// A btree index row holds about 2.7 kB: 200 characters of four bytes fit.
constexpr int kMaxTypedChars = 200;
constexpr int kCommonParams = 5;
constexpr int kRejectParams = 5;

// The record's fields behind the typed columns, in the order of TypedText.
const RecordField kTypedFields[kTypedTexts] = {
    RecordField::Station,       RecordField::Job,          RecordField::Slot,
    RecordField::SlotPath,      RecordField::Port,         RecordField::AdapterSerial,
    RecordField::Product,       RecordField::SerialNumber, RecordField::SerialNumberAfter,
    RecordField::VersionBefore, RecordField::VersionAfter, RecordField::Result,
    RecordField::ImageSha256};

// PostgreSQL holds no U+0000, and no half of a surrogate pair.
QString storableText(QString text, bool *changed)
{
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool pairStart =
            c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        if (pairStart) {
            ++i;
        } else if (c.isNull() || c.isSurrogate()) {
            text[i] = QChar(QChar::ReplacementCharacter);
            *changed = true;
        }
    }
    return text;
}

QJsonValue storable(const QJsonValue &v, bool *changed);

QJsonObject storableObject(const QJsonObject &o, bool *changed)
{
    QJsonObject out;
    for (auto it = o.begin(); it != o.end(); ++it)
        out.insert(storableText(it.key(), changed), storable(it.value(), changed));
    return out;
}

QJsonValue storable(const QJsonValue &v, bool *changed)
{
    if (v.isString())
        return storableText(v.toString(), changed);
    if (v.isObject())
        return storableObject(v.toObject(), changed);
    if (v.isArray()) {
        QJsonArray out;
        for (const QJsonValue &item : v.toArray())
            out.append(storable(item, changed));
        return out;
    }
    return v;
}

QString typed(const QJsonValue &v)
{
    if (v.isString())
        return plantText(v.toString());
    if (v.isDouble())
        return plantText(v.toVariant().toString());
    return QString();
}

// A whole number in range, as text; null otherwise.
QString wholeNumber(const QJsonValue &v, double max)
{
    const double d = v.toDouble(std::nan(""));
    if (!std::isfinite(d) || d < -max || d > max)
        return QString();
    return QString::number(qint64(d));
}

ShipRow rowOf(const QJsonObject &object, const TailLine &line, const QString &station)
{
    ShipRow row;
    row.id = attemptId(object);
    bool changed = false;
    const QJsonObject stored =
        line.bytes.contains("\\u") ? storableObject(object, &changed) : object;
    row.json = QJsonDocument(stored).toJson(QJsonDocument::Compact);
    const QDateTime time = QDateTime::fromString(
        stored.value(recordKey(RecordField::Time)).toString().trimmed(), Qt::ISODateWithMs);
    if (time.isValid())
        row.time = time.toUTC().toString(Qt::ISODateWithMs);
    for (int i = 0; i < kTypedTexts; ++i)
        row.texts[i] = typed(stored.value(recordKey(kTypedFields[i])));
    if (row.texts[kStation].isNull())
        row.texts[kStation] = plantText(station);
    row.texts[kImageSha256] = row.texts[kImageSha256].toLower();
    row.status = wholeNumber(stored.value(recordKey(RecordField::Status)), 2147483647.0);
    // As the report takes it: a hostile number cannot overflow.
    const double ms = stored.value(recordKey(RecordField::DurationMs)).toDouble(-1);
    if (std::isfinite(ms) && ms >= 0 && ms < 1e15)
        row.durationMs = QString::number(qint64(ms));
    row.offset = line.offset;
    return row;
}

QByteArray placeholders(int first, const QVector<const char *> &casts)
{
    QByteArray text = "(";
    for (int i = 0; i < casts.size(); ++i) {
        if (i > 0)
            text += ',';
        text += '$' + QByteArray::number(first + i) + casts.at(i);
    }
    return text + ')';
}

// The batch's attempts go in by COPY, which is fast and needs no statement per row, into a table
// of this session's own that empties at the end of each transaction; from there to attempts with
// the types. Columns as in attempts, all text; n keeps the file's order.
const char kStagingSql[] =
    "CREATE TEMPORARY TABLE IF NOT EXISTS pelmar_staging (n integer, id text, line text, "
    "time text, station text, job text, slot text, slot_path text, port text, "
    "adapter_serial text, product text, serial_number text, serial_number_after text, "
    "version_before text, version_after text, result text, image_sha256 text, status text, "
    "duration_ms text, source_offset text) ON COMMIT DELETE ROWS";

const char kCopySql[] = "COPY pelmar_staging FROM STDIN";

const char kAttemptsSql[] =
    "INSERT INTO attempts (source_station, source_device, source_inode, source_first_id, "
    "source_path, id, line, time, station, job, slot, slot_path, port, adapter_serial, product, "
    "serial_number, serial_number_after, version_before, version_after, result, image_sha256, "
    "status, duration_ms, source_offset) "
    "SELECT $1, $2::bigint, $3::bigint, $4, $5, id, line::jsonb, time::timestamptz, station, job, "
    "slot, slot_path, port, adapter_serial, product, serial_number, serial_number_after, "
    "version_before, version_after, result, image_sha256, status::integer, duration_ms::bigint, "
    "source_offset::bigint FROM pelmar_staging ORDER BY n ON CONFLICT (id) DO NOTHING";

QByteArray copyData(const QVector<ShipRow> &rows)
{
    QByteArray data;
    for (int n = 0; n < rows.size(); ++n) {
        const ShipRow &r = rows.at(n);
        data += QByteArray::number(n) + '\t' + pg::copyField(r.id) + '\t' +
                pg::copyField(QString::fromUtf8(r.json)) + '\t' + pg::copyField(r.time);
        for (const QString &t : r.texts)
            data += '\t' + pg::copyField(t);
        data += '\t' + pg::copyField(r.status) + '\t' + pg::copyField(r.durationMs) + '\t' +
                QByteArray::number(r.offset) + '\n';
    }
    return data;
}

QByteArray rejectsSql(int rows)
{
    QByteArray sql = "INSERT INTO rejects (station, device, inode, first_id, path, line_number, "
                     "byte_offset, length, raw, reason) VALUES ";
    const QVector<const char *> casts{"::bigint", "::bigint", "::bigint", "::bytea", "::text"};
    for (int r = 0; r < rows; ++r) {
        QByteArray row = placeholders(kCommonParams + 1 + r * kRejectParams, casts);
        sql += (r > 0 ? "," : "") + row.insert(1, "$1,$2::bigint,$3::bigint,$4,$5,");
    }
    return sql + " ON CONFLICT DO NOTHING";
}

const char kProgressSql[] =
    "INSERT INTO ship_progress (station, device, inode, first_id, path, byte_offset, lines) "
    "VALUES ($1, $2::bigint, $3::bigint, $4, $5, $6::bigint, $7::bigint) "
    "ON CONFLICT (station, device, inode, first_id) DO UPDATE SET path = EXCLUDED.path, "
    "updated_at = now(), lines = CASE WHEN EXCLUDED.byte_offset > ship_progress.byte_offset "
    "THEN EXCLUDED.lines ELSE ship_progress.lines END, "
    "byte_offset = GREATEST(ship_progress.byte_offset, EXCLUDED.byte_offset)";

pg::Params fileParams(const ShipFile &file)
{
    pg::Params p;
    p.text(file.station).number(qint64(file.device)).number(qint64(file.inode));
    p.text(file.firstId).text(file.path);
    return p;
}

pg::Params rejectParams(const ShipFile &file, const QVector<ShipReject> &rejects)
{
    pg::Params p = fileParams(file);
    for (const ShipReject &r : rejects)
        p.number(r.number).number(r.offset).number(r.length).bytes(r.raw).text(r.reason);
    return p;
}

StoreOutcome failed(pg::Connection &db, const pg::Result &r)
{
    StoreOutcome out;
    out.failure = pg::classify(db, r);
    out.error = r.error();
    if (db.isOpen())
        db.exec("ROLLBACK");
    return out;
}

} // namespace

QString plantText(const QString &text)
{
    QString t = text.trimmed();
    if (t.size() > kMaxTypedChars)
        t.truncate(t.at(kMaxTypedChars - 1).isHighSurrogate() ? kMaxTypedChars - 1
                                                              : kMaxTypedChars);
    bool changed = false;
    return t.isEmpty() ? QString() : storableText(t, &changed);
}

ShipBatch prepareBatch(const QVector<TailLine> &lines, qint64 end, const QString &station)
{
    ShipBatch batch;
    batch.end = end;
    batch.lineCount = lines.size();
    for (const TailLine &line : lines) {
        QJsonObject object;
        QString reason;
        if (line.tooLong())
            reason = QStringLiteral("longer than %1 bytes").arg(kMaxLineBytes);
        else if (line.bytes.trimmed().isEmpty())
            continue; // a blank line is nothing, as in the report
        else if (parseRecordLine(line.bytes, &object, &reason))
            batch.rows.append(rowOf(object, line, station));
        if (!reason.isEmpty())
            batch.rejects.append({line.number, line.offset, line.length, line.bytes, reason});
    }
    return batch;
}

ShipBatch refusedBatch(const TailLine &line, qint64 end, const QString &why)
{
    ShipBatch batch;
    batch.end = end;
    batch.lineCount = 1;
    batch.rejects.append({line.number, line.offset, line.length, line.bytes,
                          QStringLiteral("the database refused it: %1").arg(why)});
    return batch;
}

StoreOutcome storeBatch(pg::Connection &db, const ShipFile &file, const ShipBatch &batch)
{
    pg::Result r = db.exec("BEGIN");
    if (!r.ok())
        return failed(db, r);
    StoreOutcome out;
    if (!batch.rows.isEmpty()) {
        r = db.exec(kStagingSql);
        if (r.ok())
            r = db.copyIn(kCopySql, copyData(batch.rows));
        if (r.ok())
            r = db.exec(QByteArray(kAttemptsSql), fileParams(file));
        if (!r.ok())
            return failed(db, r);
        out.inserted = r.affected();
    }
    if (!batch.rejects.isEmpty()) {
        r = db.exec(rejectsSql(batch.rejects.size()), rejectParams(file, batch.rejects));
        if (!r.ok())
            return failed(db, r);
    }
    pg::Params progress = fileParams(file);
    progress.number(batch.end).number(batch.linesBefore + batch.lineCount);
    r = db.exec(QByteArray(kProgressSql), progress);
    if (r.ok())
        r = db.exec("COMMIT");
    if (!r.ok())
        return failed(db, r);
    out.ok = true;
    return out;
}

bool storedPosition(pg::Connection &db, const ShipFile &file, bool *found, qint64 *offset,
                    qint64 *lines, QString *error)
{
    const pg::Result r = db.exec(
        "SELECT byte_offset, lines FROM ship_progress WHERE station = $1 AND device = $2::bigint "
        "AND inode = $3::bigint AND first_id = $4",
        pg::Params()
            .text(file.station)
            .number(qint64(file.device))
            .number(qint64(file.inode))
            .text(file.firstId));
    if (!r.ok()) {
        *error = r.error();
        return false;
    }
    *found = r.rows() == 1;
    if (*found) {
        *offset = r.number(0, 0);
        *lines = r.number(0, 1);
    }
    return true;
}

} // namespace flash
