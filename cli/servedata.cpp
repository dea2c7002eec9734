#include "servedata.h"

#include "record.h"
#include "servetiming.h"

#include <QTimeZone>

namespace flash::serve {

namespace {

constexpr qint64 kHourMs = 3600 * 1000;

// The fields of a record line the page shows or filters by.
const RecordField kAttemptFields[] = {
    RecordField::Id,
    RecordField::Time,
    RecordField::Station,
    RecordField::Job,
    RecordField::JobFile,
    RecordField::Quantity,
    RecordField::Slot,
    RecordField::SlotPath,
    RecordField::Port,
    RecordField::AdapterSerial,
    RecordField::Product,
    RecordField::SerialNumber,
    RecordField::SerialNumberAfter,
    RecordField::VersionBefore,
    RecordField::VersionAfter,
    RecordField::Image,
    RecordField::ImageSha256,
    RecordField::Result,
    RecordField::Status,
    RecordField::Message,
    RecordField::DurationMs,
    RecordField::WaitingForFirmware,
};

// The report's figures that the summary shows as they are.
const char *const kReportFields[] = {"attempts",       "attemptsWithoutSerialNumber",
                                     "results",        "devices",
                                     "yieldDevices",   "firstPass",
                                     "firstPassYield", "onlySkipped",
                                     "ports",          "adapters",
                                     "first",          "last"};

} // namespace

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject attemptJson(const QJsonObject &line, const QString &id, const QString &station)
{
    QJsonObject o;
    for (const RecordField field : kAttemptFields) {
        const QJsonValue v = line.value(recordKey(field));
        if (!v.isUndefined())
            o.insert(recordKey(field), v);
    }
    o.insert(recordKey(RecordField::Id), id);
    if (!line.value(recordKey(RecordField::Station)).isString() && !station.isEmpty())
        o.insert(recordKey(RecordField::Station), station);
    return o;
}

int hourIndex(qint64 sinceMs, qint64 timeMs)
{
    const qint64 offset = timeMs - sinceMs;
    return offset < 0 ? -1 : int(offset / kHourMs);
}

int hourCount(qint64 sinceMs, qint64 lastMs)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return qBound(1, hourIndex(sinceMs, qMax(now, lastMs)) + 1, servetiming::kMaxChartHours);
}

QJsonObject figuresJson(const ShiftReport &report, const QDateTime &since,
                        const QVector<Hour> &hours, int neverPassedCount)
{
    if (neverPassedCount < 0)
        neverPassedCount = report.neverPassed.size();
    const QJsonObject all = reportJson(report);
    QJsonObject o;
    for (const char *key : kReportFields)
        o.insert(QLatin1String(key), all.value(QLatin1String(key)));
    const QJsonObject results = all.value(QLatin1String("results")).toObject();
    const int passed = results.value(resultName(Result::Success)).toInt();
    const int skipped = results.value(resultName(Result::Skipped)).toInt();
    o.insert(QStringLiteral("passed"), passed);
    o.insert(QStringLiteral("failed"), report.attempts - passed - skipped);
    o.insert(QStringLiteral("neverPassed"),
             QJsonArray::fromStringList(report.neverPassed.mid(0, servetiming::kNeverPassedShown)));
    o.insert(QStringLiteral("neverPassedCount"), neverPassedCount);
    // Devices that passed, per hour of the span of their attempts (at least an hour).
    const int devicesPassed = report.yieldDevices - neverPassedCount;
    const double spanHours = report.first.isValid()
                                 ? qMax(1.0, report.first.msecsTo(report.last) / double(kHourMs))
                                 : 1.0;
    o.insert(QStringLiteral("devicesPerHour"), devicesPassed / spanHours);
    QJsonArray chart;
    for (int h = 0; h < hours.size(); ++h) {
        chart.append(
            QJsonObject{{QStringLiteral("start"), since.addMSecs(h * kHourMs)
                                                      .toOffsetFromUtc(since.offsetFromUtc())
                                                      .toString(Qt::ISODate)},
                        {QStringLiteral("attempts"), hours.at(h).attempts},
                        {QStringLiteral("passed"), hours.at(h).passed},
                        {QStringLiteral("failed"), hours.at(h).failed}});
    }
    o.insert(QStringLiteral("hours"), chart);
    return o;
}

void addTimes(QJsonObject *station, const StationTimes &t)
{
    const auto time = [](qint64 ms) { return ms < 0 ? QJsonValue() : QJsonValue(isoTime(ms)); };
    station->insert(QStringLiteral("lastAttempt"), time(t.lastMs));
    station->insert(QStringLiteral("lastLineWritten"), time(t.lastEndMs));
    station->insert(QStringLiteral("lastShipped"), time(t.shippedMs));
    station->insert(QStringLiteral("shipperSeen"), time(t.shipperSeenMs));
    // How long the shipper took to store the station's last line.
    station->insert(QStringLiteral("shipLagMs"), t.shippedMs < 0 || t.lastEndMs < 0
                                                     ? QJsonValue()
                                                     : QJsonValue(t.shippedMs - t.lastEndMs));
}

QJsonObject summaryJson(const QDateTime &since, const QString &source, const QJsonObject &line,
                        const QJsonArray &stations, const QJsonArray &jobs)
{
    const QDateTime now = QDateTime::currentDateTime();
    return QJsonObject{
        {QStringLiteral("source"), source},
        {QStringLiteral("since"),
         since.toOffsetFromUtc(since.offsetFromUtc()).toString(Qt::ISODate)},
        {QStringLiteral("generatedAt"),
         now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate)},
        {QStringLiteral("timeZone"), QString::fromUtf8(QTimeZone::systemTimeZoneId())},
        {QStringLiteral("flagRule"), QString::fromLatin1(kFlagRule)},
        {QStringLiteral("line"), line},
        {QStringLiteral("stations"), stations},
        {QStringLiteral("jobs"), jobs}};
}

} // namespace flash::serve
