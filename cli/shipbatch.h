#pragma once

#include "pg.h"
#include "recordtail.h"

#include <QString>
#include <QVector>

// The lines of one record file as the plant database stores them (plantschema.h), and the
// transaction that stores them with the file's position.
namespace flash {

// A file as ship_progress and rejects know it.
struct ShipFile
{
    QString station; // the shipper's
    quint64 device = 0;
    quint64 inode = 0;
    QString firstId;
    QString path;
};

// The typed columns of attempts, in the order the statement lists them.
enum TypedText {
    kStation,
    kJob,
    kSlot,
    kSlotPath,
    kPort,
    kAdapterSerial,
    kProduct,
    kSerialNumber,
    kSerialNumberAfter,
    kVersionBefore,
    kVersionAfter,
    kResult,
    kImageSha256,
    kTypedTexts
};

struct ShipRow
{
    QString id;
    QByteArray json; // the object written compactly, as the database can hold it
    QString time;    // ISO 8601 in UTC, or null
    QString texts[kTypedTexts];
    QString status;     // a number as text, or null
    QString durationMs; // the same
    qint64 offset = 0;
};

struct ShipReject
{
    qint64 number = 0;
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray raw;
    QString reason;
};

struct ShipBatch
{
    QVector<ShipRow> rows;
    QVector<ShipReject> rejects;
    qint64 end = 0;         // the file's offset after the batch
    qint64 lineCount = 0;   // lines the batch covers, rejects included
    qint64 linesBefore = 0; // lines of the file before the batch
};

// A text as a typed column keeps it: trimmed, at most 200 characters, null when empty. The
// report's filters go through it too, so that they compare like with like.
QString plantText(const QString &text);

// `station` goes to lines that name none.
ShipBatch prepareBatch(const QVector<TailLine> &lines, qint64 end, const QString &station);
// A line the database refused as data: stored as a reject with its reason instead.
ShipBatch refusedBatch(const TailLine &line, qint64 end, const QString &why);

struct StoreOutcome
{
    bool ok = false;
    qint64 inserted = 0; // the others were there already
    pg::Failure failure = pg::Failure::Connection;
    QString error;
};

// One transaction: the attempts (each id once: ON CONFLICT DO NOTHING), the rejects (each once),
// and the file's position, which only ever moves forward.
StoreOutcome storeBatch(pg::Connection &db, const ShipFile &file, const ShipBatch &batch);

// The position stored for the file: false with `error` when the query failed; `found` false when
// the file was never shipped.
bool storedPosition(pg::Connection &db, const ShipFile &file, bool *found, qint64 *offset,
                    qint64 *lines, QString *error);

} // namespace flash
