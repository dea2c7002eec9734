#include "servelive.h"

#include "results.h"
#include "servetiming.h"

#include <QJsonArray>

#include <tuple>

namespace flash::serve {

namespace {

bool isFailure(const QString &result)
{
    return result != resultName(Result::Success) && result != resultName(Result::Skipped);
}

} // namespace

void PartCounts::add(const QString &result, const QString &port, const QString &adapter, int count,
                     int withoutSerialNumber, qint64 first, qint64 last)
{
    attempts += count;
    withoutSerial += withoutSerialNumber;
    results[result] += count;
    const int failed = isFailure(result) ? count : 0;
    for (auto *groups : {&ports, &adapters}) {
        GroupStats &g = (*groups)[groups == &ports ? port : adapter];
        g.attempts += count;
        g.failed += failed;
    }
    firstMs = firstMs < 0 ? first : qMin(firstMs, first);
    lastMs = qMax(lastMs, last);
}

void PartCounts::addHour(int hour, const QString &result, int count)
{
    if (hour < 0)
        return;
    Hour &h = hours[hour];
    h.attempts += count;
    h.passed += result == resultName(Result::Success) ? count : 0;
    h.failed += isFailure(result) ? count : 0;
}

QJsonObject PartCounts::json(const QDateTime &since, int hourCount) const
{
    ShiftReport r;
    r.attempts = attempts;
    r.attemptsWithoutSerial = withoutSerial;
    QMap<QString, int> rest = results;
    for (int c = int(Result::Success); c <= int(Result::Cancelled); ++c)
        r.results.append({resultName(Result(c)), rest.take(resultName(Result(c)))});
    for (auto it = rest.cbegin(); it != rest.cend(); ++it)
        r.results.append({it.key(), it.value()});
    for (auto *groups : {&ports, &adapters}) {
        QVector<GroupStats> list;
        for (auto it = groups->cbegin(); it != groups->cend(); ++it) {
            list.append(*it);
            list.last().name = it.key();
        }
        flagGroups(&list);
        (groups == &ports ? r.ports : r.adapters) = list;
    }
    if (firstMs >= 0) {
        r.first = QDateTime::fromMSecsSinceEpoch(firstMs, Qt::UTC);
        r.last = QDateTime::fromMSecsSinceEpoch(lastMs, Qt::UTC);
    }
    r.devices = devices;
    r.yieldDevices = yieldDevices;
    r.onlySkipped = devices - yieldDevices;
    r.firstPass = firstPass;
    r.neverPassed = neverPassed;
    QVector<Hour> chart(hourCount);
    for (auto it = hours.cbegin(); it != hours.cend(); ++it) {
        if (it.key() < hourCount)
            chart[it.key()] = *it;
    }
    return figuresJson(r, since, chart, neverPassedCount);
}

bool LiveDay::Key::operator<(const Key &o) const
{
    return std::tie(timeMs, station, device, inode, offset) <
           std::tie(o.timeMs, o.station, o.device, o.inode, o.offset);
}

void LiveDay::count(Part &part, const LiveRow &row, const Key &key)
{
    part.counts.add(row.result, row.port, row.adapter, 1, row.device.isEmpty() ? 1 : 0, row.timeMs,
                    row.timeMs);
    if (row.device.isEmpty())
        return;
    // A device only ever skipped is still a device.
    Device &d = part.devices[row.device];
    if (row.result == resultName(Result::Skipped))
        return;
    const bool pass = row.result == resultName(Result::Success);
    if (pass && (!d.passed || key < d.pass)) {
        d.passed = true;
        d.pass = key;
    } else if (!pass && (!d.failed || key < d.fail)) {
        d.failed = true;
        d.fail = key;
    }
}

bool LiveDay::add(const LiveRow &row)
{
    if (row.timeMs < m_sinceMs || m_ids.contains(row.id))
        return false;
    m_ids.insert(row.id);
    const Key key{row.timeMs, row.sourceStation, row.sourceDevice, row.sourceInode,
                  row.sourceOffset};
    const int hour = hourIndex(m_sinceMs, row.timeMs);
    count(m_line, row, key);
    m_line.counts.addHour(hour, row.result, 1);
    Part &station = m_stations[row.station];
    count(station, row, key);
    station.counts.addHour(hour, row.result, 1);
    if (!row.job.isEmpty()) {
        Job &job = m_jobs[row.job];
        if (row.result == resultName(Result::Success) && !row.device.isEmpty())
            job.passed.insert(row.device);
        if (!row.quantity.isUndefined() && row.timeMs >= job.quantityTimeMs) {
            job.quantity = row.quantity;
            job.quantityTimeMs = row.timeMs;
        }
    }
    m_lastMs = qMax(m_lastMs, row.timeMs);
    ++m_version;
    return true;
}

void LiveDay::addPastPass(const QString &job, const QString &device)
{
    m_jobs[job].passed.insert(device);
    ++m_version;
}

QJsonObject LiveDay::partJson(const Part &part) const
{
    PartCounts counts = part.counts;
    for (auto it = part.devices.cbegin(); it != part.devices.cend(); ++it) {
        ++counts.devices;
        if (!it->passed && !it->failed)
            continue;
        ++counts.yieldDevices;
        counts.firstPass += it->passed && (!it->failed || it->pass < it->fail) ? 1 : 0;
        if (!it->passed)
            counts.neverPassed << it.key();
    }
    std::sort(counts.neverPassed.begin(), counts.neverPassed.end());
    counts.neverPassedCount = counts.neverPassed.size();
    counts.neverPassed = counts.neverPassed.mid(0, servetiming::kNeverPassedShown);
    return counts.json(m_since, hourCount(m_sinceMs, m_lastMs));
}

QJsonObject LiveDay::line() const
{
    return partJson(m_line);
}

QMap<QString, QJsonObject> LiveDay::stations() const
{
    QMap<QString, QJsonObject> list;
    for (auto it = m_stations.cbegin(); it != m_stations.cend(); ++it)
        list.insert(it.key(), partJson(*it));
    return list;
}

QJsonArray LiveDay::jobList() const
{
    QJsonArray list;
    for (auto it = m_jobs.cbegin(); it != m_jobs.cend(); ++it)
        list.append(QJsonObject{{QStringLiteral("job"), it.key()},
                                {QStringLiteral("passed"), int(it->passed.size())},
                                {QStringLiteral("quantity"),
                                 it->quantity.isUndefined() ? QJsonValue() : it->quantity}});
    return list;
}

} // namespace flash::serve
