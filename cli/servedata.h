#pragma once

#include "shiftreport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

// The JSON the page's API answers with, made the same way whatever holds the records.
namespace flash::serve {

// An attempt as the API shows it: the record line's own values, as they are (they come from
// the device and the station: untrusted, shown as text), `station` the one given where the line
// names none.
QJsonObject attemptJson(const QJsonObject &line, const QString &id, const QString &station);

// Attempts, passed and failed of one hour since the summary's start.
struct Hour
{
    int attempts = 0;
    int passed = 0;
    int failed = 0;
};

// One part of the summary (the line, or a station): the report's figures for its attempts,
// named and computed as `--report --json` does, plus passed, failed, devices per hour and the
// hours for the chart.
// `neverPassedCount` -1: the report's list is whole.
QJsonObject figuresJson(const ShiftReport &report, const QDateTime &since,
                        const QVector<Hour> &hours, int neverPassedCount = -1);

// The hour of `time` since `since` (0 for the first), -1 before it. In milliseconds since the
// epoch: a local QDateTime asks the system's time zone rules at every use.
int hourIndex(qint64 sinceMs, qint64 timeMs);
// The hours from `since` to now (or to the last attempt when later), at least one.
int hourCount(qint64 sinceMs, qint64 lastMs);

struct StationTimes
{
    QString station;
    qint64 lastMs = -1;        // the start of its last attempt
    qint64 lastEndMs = -1;     // when that line was written (start + duration)
    qint64 shippedMs = -1;     // when the shipper stored it (database only)
    qint64 shipperSeenMs = -1; // when its shipper last stored anything (database only)
};
void addTimes(QJsonObject *station, const StationTimes &times);

// The whole summary: `line` and `stations` (the stations' objects carry `station`), `jobs`.
QJsonObject summaryJson(const QDateTime &since, const QString &source, const QJsonObject &line,
                        const QJsonArray &stations, const QJsonArray &jobs);

QString isoTime(qint64 ms);

} // namespace flash::serve
