#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class QFile;

namespace flash {

// A record line is under 1 KiB with a long image path; anything this long is not one.
constexpr qint64 kMaxLineBytes = 64 * 1024;
// An id a line carries is taken as it is up to this length: it is a key in the plant database.
constexpr int kMaxIdChars = 128;

// What every reader of a record (the report, the shipper) takes as an attempt: a JSON object with
// a non-empty `result`. Otherwise false, with why.
bool parseRecordLine(const QByteArray &line, QJsonObject *object, QString *reason);

// One line of a record file, without its end; false at the end of the file. A line over
// kMaxLineBytes is read to its end but kept only in part, with `tooLong`.
bool nextRecordLine(QFile &file, QByteArray *line, bool *tooLong);

// The serial number that tells the line's device apart: `serialNumber`, or, for a device found
// waiting for firmware (it tells none before its update), `serialNumberAfter`, read after its
// restart. Empty when the line has neither.
QString deviceSerial(const QJsonObject &object);

// The attempt's id, by which it is counted and stored once wherever it travels: the line's own
// `id` (a string of 1 to kMaxIdChars characters, none a control character), or, for lines from
// before ids, the SHA-256 (64 hex digits) of the object written compactly with its keys sorted.
// A copy re-serialised by another tool (spaces, key order, 1.50 for 1.5) keeps the id, since the
// object is written anew by one writer whatever the line looked like.
QString attemptId(const QJsonObject &object);

// The id of a line that is no attempt (a file's identity starts with its first line, whatever
// it is): the SHA-256 of its bytes.
QString rawLineId(const QByteArray &line);

} // namespace flash
