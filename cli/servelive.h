#pragma once

#include "servedata.h"

#include <QHash>
#include <QJsonValue>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// The counts of the summary, kept as attempts come: one part (a station, or the line) and the
// day that the database page keeps in memory, so that its summary costs the same over ten
// attempts or a million.
namespace flash::serve {

// The counts of a station or of the line, however they were gathered (SQL aggregates, or one
// attempt at a time), turned into the report's figures.
struct PartCounts
{
    int attempts = 0;
    int withoutSerial = 0;
    QMap<QString, int> results;
    QMap<QString, GroupStats> ports;
    QMap<QString, GroupStats> adapters;
    QMap<int, Hour> hours;
    qint64 firstMs = -1;
    qint64 lastMs = -1;
    int devices = 0;
    int yieldDevices = 0;
    int firstPass = 0;
    QStringList neverPassed; // sorted; maybe only the first of them
    int neverPassedCount = 0;

    void add(const QString &result, const QString &port, const QString &adapter, int count,
             int withoutSerialNumber, qint64 firstMs, qint64 lastMs);
    void addHour(int hour, const QString &result, int count);
    QJsonObject json(const QDateTime &since, int hours) const;
};

// One attempt as the day counts it.
struct LiveRow
{
    QString id;
    QString station;
    QString result;
    QString port;
    QString adapter;
    QString job;
    QString device; // serial number, else the one after the update
    qint64 timeMs = -1;
    // The report's order among attempts of the same instant: the file and the place in it.
    QString sourceStation;
    qint64 sourceDevice = 0;
    qint64 sourceInode = 0;
    qint64 sourceOffset = 0;
    QJsonValue quantity;
};

// Today's attempts (since local midnight) counted one by one, each once by its id.
class LiveDay
{
public:
    explicit LiveDay(const QDateTime &since) : m_since(since), m_sinceMs(since.toMSecsSinceEpoch())
    {
    }
    const QDateTime &since() const { return m_since; }
    // False when the attempt was counted already, or is from before the day.
    bool add(const LiveRow &row);
    // A device that passed under the job before the day.
    void addPastPass(const QString &job, const QString &device);
    bool knowsJob(const QString &job) const { return m_jobs.contains(job); }
    QStringList jobs() const { return m_jobs.keys(); }
    quint64 version() const { return m_version; }
    int attempts() const { return m_line.counts.attempts; }
    // `line`, `stations` (keyed by name) and `jobs` as the summary shows them.
    QJsonObject line() const;
    QMap<QString, QJsonObject> stations() const;
    QJsonArray jobList() const;

private:
    struct Key
    {
        qint64 timeMs;
        QString station;
        qint64 device, inode, offset;
        bool operator<(const Key &o) const;
    };
    struct Device
    {
        bool passed = false, failed = false;
        Key pass{}, fail{};
    };
    struct Part
    {
        PartCounts counts;
        QHash<QString, Device> devices;
    };
    struct Job
    {
        QSet<QString> passed;
        QJsonValue quantity;
        qint64 quantityTimeMs = -1;
    };
    static void count(Part &part, const LiveRow &row, const Key &key);
    QJsonObject partJson(const Part &part) const;

    QDateTime m_since;
    qint64 m_sinceMs;
    QSet<QString> m_ids;
    Part m_line;
    QMap<QString, Part> m_stations;
    QMap<QString, Job> m_jobs;
    qint64 m_lastMs = -1;
    quint64 m_version = 0;
};

} // namespace flash::serve
