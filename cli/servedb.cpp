#include "servedb.h"

#include "pg.h"
#include "plantschema.h"
#include "planttiming.h"
#include "results.h"
#include "servedata.h"
#include "servelive.h"
#include "servetiming.h"
#include "shipbatch.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QSet>

#include <chrono>
#include <future>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include <poll.h>

namespace flash::serve {

namespace {

using namespace servetiming;

// Every connection of the page: a query ends within the time-out, nothing is ever written, and
// no query pays for just-in-time compilation (it costs more than it saves on these aggregates).
const char kSessionSql[] = "SET statement_timeout = 5000; SET default_transaction_read_only = on; "
                           "SET jit = off; SET work_mem = '64MB'";
static_assert(kStatementTimeoutMs == 5000, "kSessionSql says the same");

void say(const QString &text, FILE *to = stderr)
{
    std::fprintf(to, "%s%s\n", to == stderr ? "pelmar-flash: " : "",
                 text.toLocal8Bit().constData());
    std::fflush(to);
}

QString unreachable(const QString &name, const QString &why)
{
    return QStringLiteral("the plant database %1 cannot be used: %2").arg(name, why);
}

} // namespace

// A few connections for the request handlers, opened when first needed and dropped when lost.
class ConnectionPool
{
public:
    explicit ConnectionPool(const QString &target) : m_target(target) {}

    std::unique_ptr<pg::Connection> take(QString *error)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_free.wait_for(lock, std::chrono::milliseconds(kPoolWaitMs),
                             [this] { return !m_idle.empty() || m_open < kPoolSize; })) {
            *error = QStringLiteral("every connection to the database is busy");
            return nullptr;
        }
        if (!m_idle.empty()) {
            auto c = std::move(m_idle.back());
            m_idle.pop_back();
            return c;
        }
        ++m_open;
        lock.unlock();
        auto c = std::make_unique<pg::Connection>();
        if (c->open(m_target, error) && c->exec(kSessionSql).ok())
            return c;
        if (error->isEmpty())
            *error = QStringLiteral("the session could not be set up");
        give(nullptr);
        return nullptr;
    }

    void give(std::unique_ptr<pg::Connection> c)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (c && c->isOpen())
                m_idle.push_back(std::move(c));
            else
                --m_open;
        }
        m_free.notify_one();
    }

private:
    QString m_target;
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::vector<std::unique_ptr<pg::Connection>> m_idle;
    int m_open = 0;
};

namespace {

// A pooled connection for one request, given back at the end.
class Lease
{
public:
    Lease(ConnectionPool &pool, QString *error) : m_pool(pool), m_db(pool.take(error)) {}
    ~Lease() { m_pool.give(std::move(m_db)); }
    pg::Connection *operator->() { return m_db.get(); }
    pg::Connection &operator*() { return *m_db; }
    explicit operator bool() const { return m_db != nullptr; }

private:
    ConnectionPool &m_pool;
    std::unique_ptr<pg::Connection> m_db;
};

QJsonObject shown(const pg::Result &r, int row)
{
    const QJsonObject line = QJsonDocument::fromJson(r.value(row, 2)).object();
    return attemptJson(line, r.text(row, 0), r.text(row, 1));
}

QJsonArray shownRows(const pg::Result &r, int from, int to, bool reversed)
{
    QJsonArray list;
    for (int i = from; i < to; ++i)
        list.append(shown(r, reversed ? to - 1 - (i - from) : i));
    return list;
}

} // namespace

DbSource::DbSource(const QString &target, Hub &hub)
    : m_target(target), m_name(pg::displayName(target)), m_hub(hub),
      m_pool(std::make_unique<ConnectionPool>(target))
{
}

DbSource::~DbSource()
{
    stop();
}

int DbSource::check(QString *message)
{
    pg::Connection db;
    QString error;
    if (!db.open(m_target, &error)) {
        *message =
            unreachable(m_name, error) + QStringLiteral(" (the page says so and tries again)");
        return 0;
    }
    const SchemaState s = ensureSchema(db, m_name, false);
    if (s.outcome == SchemaState::Ready)
        return 0;
    *message = s.outcome == SchemaState::Failed ? unreachable(m_name, s.error) : s.message;
    return s.outcome == SchemaState::Newer ? kNewerSchemaStatus : kDatabaseStatus;
}

void DbSource::start()
{
    m_dayLoading = true; // the listener reads today's attempts first
    m_listener = std::thread([this] { listen(); });
}

void DbSource::stop()
{
    m_stop = true;
    if (m_listener.joinable())
        m_listener.join();
}

void DbSource::pause(int ms)
{
    constexpr int kStep = 100;
    for (int waited = 0; waited < ms && !m_stop; waited += kStep)
        std::this_thread::sleep_for(std::chrono::milliseconds(kStep));
}

// Reconnects with the shipper's back-off while the database is down; the pages hear of each
// change, and reload once it is back (attempts may have come meanwhile).
void DbSource::listen()
{
    bool down = false;
    bool lost = false;
    int retryMs = 0;
    while (!m_stop) {
        if (listenOnce(&down, &lost)) {
            retryMs = 0;
            continue;
        }
        pause(retryMs);
        retryMs =
            retryMs == 0 ? planttiming::kFirstRetryMs : qMin(2 * retryMs, planttiming::kMaxRetryMs);
    }
}

// One connection's life: false when it could not be made.
bool DbSource::listenOnce(bool *down, bool *lost)
{
    pg::Connection db;
    QString error;
    const bool ok = db.open(m_target, &error) && db.exec("LISTEN pelmar_attempts").ok();
    if (!ok) {
        if (!*down) {
            const QString why = error.isEmpty() ? QStringLiteral("LISTEN refused") : error;
            say(unreachable(m_name, why) + QStringLiteral(": trying again"));
            m_hub.publish("status",
                          QJsonDocument(QJsonObject{{"database", "down"}, {"reason", why}})
                              .toJson(QJsonDocument::Compact));
        }
        *down = true;
        setLoading(false);
        return false;
    }
    if (*down) {
        say(QStringLiteral("the plant database %1 is back").arg(m_name));
        m_hub.publish("status", R"({"database":"up"})");
    }
    if (*down || *lost)
        m_hub.publish("reload", "{}");
    *down = false;
    *lost = !follow(db);
    if (m_reading.valid()) {
        m_reading.get();
        setLoading(false);
    }
    m_pending.clear();
    // Attempts may come while no one listens: the day is counted anew on the next connection.
    std::lock_guard<std::mutex> lock(m_dayMutex);
    m_day.reset();
    return true;
}

// Notifications until the connection is lost (false) or the program stops. Today's attempts are
// read meanwhile on a connection of their own, so that pushes never wait for them; a new day
// starts its counts anew.
bool DbSource::follow(pg::Connection &db)
{
    while (!m_stop) {
        {
            std::lock_guard<std::mutex> lock(m_dayMutex);
            if (m_day && m_day->since() != QDate::currentDate().startOfDay())
                m_day.reset();
        }
        if (!m_day && !m_reading.valid() && std::chrono::steady_clock::now() >= m_readAgain) {
            setLoading(true);
            const QDateTime since = QDate::currentDate().startOfDay();
            m_reading = std::async(std::launch::async, [this, since] { return readDay(since); });
        }
        if (m_reading.valid() &&
            m_reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
            !takeDay(db))
            return false;
        pollfd p{db.socket(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        QStringList ids;
        if (!db.takeNotifications(&ids))
            return false;
        // A shipper catching up: the pages reload once instead of taking each attempt.
        for (int from = 0; from < ids.size(); from += kPushBurst) {
            if (!applyAttempts(db, ids.mid(from, kPushBurst), ids.size() <= kPushBurst))
                return false;
        }
        if (ids.size() > kPushBurst)
            m_hub.publish("reload", "{}");
    }
    return true;
}

namespace {

// An attempt's columns as the day counts it; column 2 is the line for the push (or NULL).
const char kRowColumns[] =
    "SELECT id, station, %1, result, port, adapter_serial, job, "
    "coalesce(serial_number, serial_number_after), (extract(epoch FROM time) * 1000)::bigint, "
    "source_station, source_device, source_inode, source_offset, (line->'quantity')::text "
    "FROM attempts ";

QByteArray rowsSql(const char *line, const char *where)
{
    return QString::fromLatin1(kRowColumns).arg(QLatin1String(line)).toUtf8() + where;
}

LiveRow liveRow(const pg::Result &r, int i)
{
    LiveRow row;
    row.id = r.text(i, 0);
    row.station = r.text(i, 1);
    row.result = r.text(i, 3);
    row.port = r.text(i, 4);
    row.adapter = r.text(i, 5);
    row.job = r.text(i, 6);
    row.device = r.text(i, 7);
    row.timeMs = r.isNull(i, 8) ? -1 : r.number(i, 8);
    row.sourceStation = r.text(i, 9);
    row.sourceDevice = r.number(i, 10);
    row.sourceInode = r.number(i, 11);
    row.sourceOffset = r.number(i, 12);
    if (!r.isNull(i, 13))
        row.quantity = QJsonDocument::fromJson("[" + r.value(i, 13) + "]").array().at(0);
    return row;
}

QString jsonList(const QStringList &texts)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(texts)).toJson(QJsonDocument::Compact));
}

} // namespace

// Today's attempts, counted one by one; null when they could not be read.
std::unique_ptr<LiveDay> DbSource::readDay(const QDateTime &since)
{
    auto day = std::make_unique<LiveDay>(since);
    pg::Connection db;
    QString error;
    QElapsedTimer clock;
    clock.start();
    // A busy day takes longer than the pages' queries may.
    const QByteArray timeout = "SET statement_timeout = " + QByteArray::number(kSummaryTimeoutMs);
    const bool ok = db.open(m_target, &error) && db.exec(kSessionSql).ok() &&
                    db.exec(timeout.constData()).ok() &&
                    db.forEachRow(
                        rowsSql("NULL::text", "WHERE time >= $1::timestamptz"),
                        pg::Params().text(since.toUTC().toString(Qt::ISODateWithMs)),
                        [&](const pg::Result &row) { day->add(liveRow(row, 0)); }, &error) &&
                    loadPastPasses(db, *day, day->jobs());
    if (!ok) {
        say(QStringLiteral("today's attempts cannot be read from %1: %2 (trying again)")
                .arg(m_name, error.isEmpty() ? QStringLiteral("the query failed") : error));
        return nullptr;
    }
    say(QStringLiteral("today so far: %1 attempts, read in %2 s")
            .arg(day->attempts())
            .arg(clock.elapsed() / 1000.0, 0, 'f', 1),
        stdout);
    return day;
}

// The day read: the attempts notified meanwhile are added to it (those it has already count
// once, by their ids).
bool DbSource::takeDay(pg::Connection &db)
{
    std::unique_ptr<LiveDay> day = m_reading.get();
    bool ok = true;
    if (day) {
        std::lock_guard<std::mutex> lock(m_dayMutex);
        m_day = std::move(day);
        ok = addRows(db, m_pending);
        m_pending.clear();
    } else {
        m_readAgain = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDayRetryMs);
    }
    setLoading(false);
    return ok;
}

void DbSource::setLoading(bool loading)
{
    {
        std::lock_guard<std::mutex> lock(m_dayMutex);
        m_dayLoading = loading;
    }
    m_dayChanged.notify_all();
}

// A job counts the devices passed under it before today too.
bool DbSource::loadPastPasses(pg::Connection &db, LiveDay &day, const QStringList &jobs)
{
    if (jobs.isEmpty())
        return true;
    const pg::Result r = db.exec(
        "SELECT DISTINCT job, coalesce(serial_number, serial_number_after) FROM attempts "
        "WHERE job IN (SELECT jsonb_array_elements_text($1::jsonb)) AND result = 'success' "
        "AND (time < $2::timestamptz OR time IS NULL) "
        "AND coalesce(serial_number, serial_number_after) IS NOT NULL",
        pg::Params().text(jsonList(jobs)).text(day.since().toUTC().toString(Qt::ISODateWithMs)));
    for (int i = 0; i < r.rows(); ++i)
        day.addPastPass(r.text(i, 0), r.text(i, 1));
    return r.ok();
}

// Called with m_dayMutex held and a day there.
bool DbSource::addRows(pg::Connection &db, const std::vector<LiveRow> &rows)
{
    QStringList newJobs;
    for (const LiveRow &row : rows) {
        if (!row.job.isEmpty() && !m_day->knowsJob(row.job) && !newJobs.contains(row.job))
            newJobs << row.job;
        m_day->add(row);
    }
    return loadPastPasses(db, *m_day, newJobs);
}

// New attempts: counted into the day (kept for it while it is read), and pushed to the pages.
bool DbSource::applyAttempts(pg::Connection &db, const QStringList &ids, bool push)
{
    const pg::Result r =
        db.exec(rowsSql("line::text", "WHERE id IN (SELECT jsonb_array_elements_text($1::jsonb)) "
                                      "ORDER BY time NULLS FIRST, id"),
                pg::Params().text(jsonList(ids)));
    if (!r.ok())
        return false;
    std::vector<LiveRow> rows;
    for (int i = 0; i < r.rows(); ++i)
        rows.push_back(liveRow(r, i));
    for (int i = 0; push && i < r.rows(); ++i)
        m_hub.publish("attempt", QJsonDocument(shown(r, i)).toJson(QJsonDocument::Compact));
    std::lock_guard<std::mutex> lock(m_dayMutex);
    if (!m_day) {
        m_pending.insert(m_pending.end(), rows.begin(), rows.end());
        return true;
    }
    return addRows(db, rows);
}

namespace {

// Attempts by (station, port, adapter, job, result), and by (station, hour, result): every
// count of the summary but the devices', in one pass over the attempts since $1.
const char kCountsSql[] = R"sql(
SELECT GROUPING(hour), station, result, hour, port, adapter_serial, job, count(*),
       count(*) FILTER (WHERE serial_number IS NULL AND serial_number_after IS NULL),
       (extract(epoch FROM min(time)) * 1000)::bigint, (extract(epoch FROM max(time)) * 1000)::bigint
FROM (SELECT station, result, port, adapter_serial, job, time, serial_number, serial_number_after,
             floor(extract(epoch FROM time - $1::timestamptz) / 3600)::int AS hour
      FROM attempts WHERE time >= $1::timestamptz) a
GROUP BY GROUPING SETS ((station, port, adapter_serial, job, result), (station, hour, result)))sql";

// Devices per station and for the line: a device's first pass and first failure (the report's
// first-pass rule compares them); where both fall on the same instant the order of the lines
// decides (kTiesSql).
const char kDevicesSql[] = R"sql(
WITH sd AS (
    SELECT station, coalesce(serial_number, serial_number_after) AS d,
           min(time) FILTER (WHERE result = 'success') AS p,
           min(time) FILTER (WHERE result <> 'success' AND result <> 'skipped') AS f
    FROM attempts
    WHERE time >= $1::timestamptz AND coalesce(serial_number, serial_number_after) IS NOT NULL
    GROUP BY 1, 2),
b AS (SELECT false AS line, station, d, p, f FROM sd
      UNION ALL SELECT true, NULL, d, min(p), min(f) FROM sd GROUP BY d)
SELECT line, station, count(*), count(*) FILTER (WHERE p IS NOT NULL OR f IS NOT NULL),
       count(*) FILTER (WHERE p < f OR (p IS NOT NULL AND f IS NULL)),
       count(*) FILTER (WHERE p IS NULL AND f IS NOT NULL),
       array_to_json((array_agg(d ORDER BY d COLLATE "C")
                      FILTER (WHERE p IS NULL AND f IS NOT NULL))[1:$2])::text,
       array_to_json(array_agg(d) FILTER (WHERE p = f))::text
FROM b GROUP BY line, station)sql";

// The first attempt that passed or failed of devices whose first pass and failure tie in time,
// in the order the report reads the lines.
const char kTiesSql[] = R"sql(
WITH a AS (SELECT station, coalesce(serial_number, serial_number_after) AS d, result, time,
                  source_station, source_device, source_inode, source_offset
           FROM attempts WHERE time >= $1::timestamptz AND result <> 'skipped'
           AND coalesce(serial_number, serial_number_after) IN
               (SELECT jsonb_array_elements_text($2::jsonb)))
(SELECT DISTINCT ON (station, d) false, station, result = 'success' FROM a
 ORDER BY station, d, time, source_station, source_device, source_inode, source_offset)
UNION ALL
(SELECT DISTINCT ON (d) true, NULL, result = 'success' FROM a
 ORDER BY d, time, source_station, source_device, source_inode, source_offset))sql";

// Every station (a loose scan of the (station, time) index), its last attempt, and when its
// shipper last stored a line.
const char kStationsSql[] = R"sql(
WITH RECURSIVE s(station) AS (
    (SELECT station FROM attempts WHERE station IS NOT NULL ORDER BY station LIMIT 1)
    UNION ALL
    SELECT (SELECT a.station FROM attempts a WHERE a.station > s.station ORDER BY a.station LIMIT 1)
    FROM s WHERE s.station IS NOT NULL)
SELECT s.station, (extract(epoch FROM l.time) * 1000)::bigint, l.duration_ms,
       (extract(epoch FROM l.shipped_at) * 1000)::bigint,
       (SELECT (extract(epoch FROM max(updated_at)) * 1000)::bigint FROM ship_progress p
        WHERE p.station = s.station)
FROM s LEFT JOIN LATERAL (SELECT time, duration_ms, shipped_at FROM attempts a
                          WHERE a.station = s.station AND a.time IS NOT NULL
                          ORDER BY a.time DESC LIMIT 1) l ON true
WHERE s.station IS NOT NULL)sql";

// Jobs: devices passed under the job over all time, and the quantity of its latest line that
// carries one.
const char kJobsSql[] = R"sql(
SELECT j, (SELECT count(DISTINCT coalesce(serial_number, serial_number_after)) FROM attempts
           WHERE job = j AND result = 'success'),
       (SELECT line->'quantity' FROM attempts WHERE job = j AND time IS NOT NULL
        AND line ? 'quantity' ORDER BY time DESC LIMIT 1)::text
FROM jsonb_array_elements_text($1::jsonb) AS j ORDER BY j)sql";

struct Parts
{
    PartCounts line;
    QMap<QString, PartCounts> stations;
    QStringList jobs;
    PartCounts &of(bool isLine, const QString &station)
    {
        return isLine ? line : stations[station];
    }
};

QStringList jsonTexts(const QByteArray &json)
{
    QStringList list;
    for (const QJsonValue &v : QJsonDocument::fromJson(json).array())
        list << v.toString();
    return list;
}

} // namespace

namespace {

QString sinceParam(const QDateTime &since)
{
    return since.toUTC().toString(Qt::ISODateWithMs);
}

bool countAttempts(pg::Connection &db, const QDateTime &since, Parts *parts, QString *error)
{
    const pg::Result r = db.exec(kCountsSql, pg::Params().text(sinceParam(since)));
    if (!r.ok()) {
        *error = r.error();
        return false;
    }
    QSet<QString> jobs;
    for (int i = 0; i < r.rows(); ++i) {
        if (r.number(i, 0) == 0)
            continue;
        for (PartCounts *p : {&parts->line, &parts->stations[r.text(i, 1)]})
            p->add(r.text(i, 2), r.text(i, 4), r.text(i, 5), int(r.number(i, 7)),
                   int(r.number(i, 8)), r.number(i, 9), r.number(i, 10));
        if (!r.isNull(i, 6))
            jobs.insert(r.text(i, 6));
    }
    parts->jobs = jobs.values();
    for (int i = 0; i < r.rows(); ++i) {
        if (r.number(i, 0) != 0)
            continue;
        for (PartCounts *p : {&parts->line, &parts->stations[r.text(i, 1)]})
            p->addHour(int(r.number(i, 3)), r.text(i, 2), int(r.number(i, 7)));
    }
    return true;
}

// Devices whose first pass and first failure fall on one instant: the line order decides.
bool settleTies(pg::Connection &db, const QDateTime &since, const QStringList &tied, Parts *parts,
                QString *error)
{
    const pg::Result r = db.exec(
        kTiesSql,
        pg::Params()
            .text(sinceParam(since))
            .text(QString::fromUtf8(
                QJsonDocument(QJsonArray::fromStringList(tied)).toJson(QJsonDocument::Compact))));
    if (!r.ok())
        *error = r.error();
    for (int i = 0; i < r.rows(); ++i) {
        if (r.value(i, 2) == "t")
            ++parts->of(r.value(i, 0) == "t", r.text(i, 1)).firstPass;
    }
    return r.ok();
}

bool countDevices(pg::Connection &db, const QDateTime &since, Parts *parts, QString *error)
{
    const pg::Result r = db.exec(kDevicesSql, pg::Params().text(sinceParam(since)).number(1000));
    if (!r.ok()) {
        *error = r.error();
        return false;
    }
    QSet<QString> tied;
    for (int i = 0; i < r.rows(); ++i) {
        PartCounts &part = parts->of(r.value(i, 0) == "t", r.text(i, 1));
        part.devices = int(r.number(i, 2));
        part.yieldDevices = int(r.number(i, 3));
        part.firstPass = int(r.number(i, 4));
        part.neverPassedCount = int(r.number(i, 5));
        part.neverPassed = jsonTexts(r.value(i, 6));
        std::sort(part.neverPassed.begin(), part.neverPassed.end());
        for (const QString &d : jsonTexts(r.value(i, 7)))
            tied.insert(d);
    }
    return tied.isEmpty() || settleTies(db, since, tied.values(), parts, error);
}

bool stationTimes(pg::Connection &db, QMap<QString, StationTimes> *times, QString *error)
{
    const pg::Result r = db.exec(kStationsSql);
    if (!r.ok()) {
        *error = r.error();
        return false;
    }
    const auto ms = [&](int row, int column) {
        return r.isNull(row, column) ? -1 : r.number(row, column);
    };
    for (int i = 0; i < r.rows(); ++i) {
        StationTimes t;
        t.station = r.text(i, 0);
        t.lastMs = ms(i, 1);
        t.lastEndMs = t.lastMs < 0 ? -1 : t.lastMs + qMax<qint64>(0, ms(i, 2));
        t.shippedMs = ms(i, 3);
        t.shipperSeenMs = ms(i, 4);
        times->insert(t.station, t);
    }
    return true;
}

bool jobList(pg::Connection &db, const QStringList &jobs, QJsonArray *list, QString *error)
{
    const pg::Result r = db.exec(
        kJobsSql,
        pg::Params().text(QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(jobs)).toJson(QJsonDocument::Compact))));
    if (!r.ok()) {
        *error = r.error();
        return false;
    }
    for (int i = 0; i < r.rows(); ++i) {
        const QJsonDocument quantity = QJsonDocument::fromJson("[" + r.value(i, 2) + "]");
        list->append(QJsonObject{
            {QStringLiteral("job"), r.text(i, 0)},
            {QStringLiteral("passed"), r.number(i, 1)},
            {QStringLiteral("quantity"), r.isNull(i, 2) ? QJsonValue() : quantity.array().at(0)}});
    }
    return true;
}

// Every station with a line, even none today, with its last line and its shipper's lag.
QJsonObject databaseSummary(const QDateTime &since, const QJsonObject &line,
                            QMap<QString, QJsonObject> stations,
                            const QMap<QString, StationTimes> &times, const QJsonArray &jobs)
{
    const QJsonObject none = PartCounts().json(since, hourCount(since.toMSecsSinceEpoch(), -1));
    for (const QString &station : times.keys()) {
        if (!stations.contains(station))
            stations.insert(station, none);
    }
    QJsonArray list;
    for (auto it = stations.begin(); it != stations.end(); ++it) {
        it->insert(QStringLiteral("station"), it.key());
        addTimes(&*it, times.value(it.key()));
        list.append(*it);
    }
    return summaryJson(since, QStringLiteral("database"), line, list, jobs);
}

bool makeSummary(pg::Connection &db, const QDateTime &since, QJsonObject *summary, QString *error)
{
    Parts parts;
    QMap<QString, StationTimes> times;
    QJsonArray jobs;
    // A long period takes longer than the pages' queries may.
    const QByteArray timeout =
        "SET LOCAL statement_timeout = " + QByteArray::number(kSummaryTimeoutMs);
    const bool ok = db.exec("BEGIN").ok() && db.exec(timeout.constData()).ok() &&
                    countAttempts(db, since, &parts, error) &&
                    countDevices(db, since, &parts, error) && stationTimes(db, &times, error) &&
                    jobList(db, parts.jobs, &jobs, error);
    db.exec(ok ? "COMMIT" : "ROLLBACK");
    if (!ok)
        return false;
    const int hours = hourCount(since.toMSecsSinceEpoch(), parts.line.lastMs);
    QMap<QString, QJsonObject> stations;
    for (auto it = parts.stations.cbegin(); it != parts.stations.cend(); ++it)
        stations.insert(it.key(), it->json(since, hours));
    *summary = databaseSummary(since, parts.line.json(since, hours), stations, times, jobs);
    return true;
}

} // namespace

quint64 DbSource::liveVersion(const QDateTime &since)
{
    std::unique_lock<std::mutex> lock(m_dayMutex);
    if (since != QDate::currentDate().startOfDay())
        return 0;
    m_dayChanged.wait_for(lock, std::chrono::milliseconds(kDayWaitMs),
                          [this] { return !m_dayLoading; });
    return m_day && m_day->since() == since ? m_day->version() + 1 : 0;
}

Answer DbSource::liveSummary()
{
    QJsonObject line;
    QMap<QString, QJsonObject> stations;
    QJsonArray jobs;
    QDateTime since;
    {
        std::lock_guard<std::mutex> lock(m_dayMutex);
        if (!m_day)
            return Answer::error(503,
                                 unreachable(m_name, QStringLiteral("reading today's attempts")));
        line = m_day->line();
        stations = m_day->stations();
        jobs = m_day->jobList();
        since = m_day->since();
    }
    QString error;
    QMap<QString, StationTimes> times;
    Lease db(*m_pool, &error);
    if (!db || !stationTimes(*db, &times, &error))
        return Answer::error(503, unreachable(m_name, error));
    return Answer{200, databaseSummary(since, line, stations, times, jobs)};
}

Answer DbSource::summary(const QDateTime &since)
{
    const quint64 version = liveVersion(since);
    Made &made = version != 0 ? m_today : m_other;
    std::lock_guard<std::mutex> once(made.mutex);
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - made.madeMs;
    // Without new attempts only the clock moves (the chart's hours, the ages).
    constexpr qint64 kIdleMs = 60 * 1000;
    if (!made.summary.isEmpty() && made.sinceMs == since.toMSecsSinceEpoch() &&
        (age < kSummaryCacheMs || (version != 0 && version == made.version && age < kIdleMs)))
        return Answer{200, made.summary};
    Answer answer;
    if (version != 0) {
        answer = liveSummary();
    } else {
        QString error;
        Lease db(*m_pool, &error);
        if (!db || !makeSummary(*db, since, &answer.body, &error))
            answer = Answer::error(503, unreachable(m_name, error));
    }
    if (answer.status == 200) {
        made.sinceMs = since.toMSecsSinceEpoch();
        made.madeMs = QDateTime::currentMSecsSinceEpoch();
        made.version = version;
        made.summary = answer.body;
    }
    return answer;
}

namespace {

// The attempts after a point in (time, id) order, or the latest ones.
const char kAfterSql[] = R"sql(
SELECT id, station, line::text FROM attempts
WHERE time IS NOT NULL AND ($1::text IS NULL OR station = $1::text)
  AND ($2::text IS NULL OR job = $2::text) AND (time, id) > ($3::timestamptz, $4::text)
ORDER BY time, id LIMIT $5)sql";

const char kSinceSql[] = R"sql(
SELECT id, station, line::text FROM attempts
WHERE time IS NOT NULL AND ($1::text IS NULL OR station = $1::text)
  AND ($2::text IS NULL OR job = $2::text) AND time >= $3::timestamptz
ORDER BY time, id LIMIT $4)sql";

const char kLatestSql[] = R"sql(
SELECT id, station, line::text FROM attempts
WHERE time IS NOT NULL AND ($1::text IS NULL OR station = $1::text)
  AND ($2::text IS NULL OR job = $2::text)
ORDER BY time DESC, id DESC LIMIT $3)sql";

const char kUnitSql[] = R"sql(
SELECT id, station, line::text FROM attempts WHERE serial_number = $1 OR serial_number_after = $1
ORDER BY time DESC NULLS LAST, source_station DESC, source_device DESC, source_inode DESC,
         source_offset DESC LIMIT $2)sql";

QString nullIfEmpty(const QString &text)
{
    return text.isEmpty() ? QString() : plantText(text);
}

} // namespace

Answer DbSource::attempts(const AttemptsQuery &q)
{
    QString error;
    Lease db(*m_pool, &error);
    if (!db)
        return Answer::error(503, unreachable(m_name, error));
    pg::Params p;
    p.text(nullIfEmpty(q.station)).text(nullIfEmpty(q.job));
    const char *sql = kLatestSql;
    if (!q.afterId.isEmpty()) {
        const pg::Result c =
            db->exec("SELECT time FROM attempts WHERE id = $1 AND time IS NOT NULL",
                     pg::Params().text(q.afterId));
        if (!c.ok())
            return Answer::error(503, unreachable(m_name, c.error()));
        if (c.rows() == 0)
            return Answer::error(400, QStringLiteral("since is neither an ISO 8601 time nor the "
                                                     "id of an attempt with a time"));
        p.text(c.text(0, 0)).text(q.afterId);
        sql = kAfterSql;
    } else if (q.since.isValid()) {
        p.text(sinceParam(q.since));
        sql = kSinceSql;
    }
    const bool latest = sql == kLatestSql;
    const pg::Result r = db->exec(sql, p.number(q.limit + 1));
    if (!r.ok())
        return Answer::error(503, unreachable(m_name, r.error()));
    const int n = qMin(r.rows(), q.limit);
    const QJsonArray list = shownRows(r, 0, n, latest);
    return Answer{200,
                  QJsonObject{{QStringLiteral("attempts"), list},
                              {QStringLiteral("next"),
                               list.isEmpty() ? QJsonValue() : list.last().toObject().value("id")},
                              {QStringLiteral("more"), !latest && r.rows() > q.limit}}};
}

Answer DbSource::unit(const QString &serial)
{
    QString error;
    Lease db(*m_pool, &error);
    if (!db)
        return Answer::error(503, unreachable(m_name, error));
    const pg::Result r =
        db->exec(kUnitSql, pg::Params().text(plantText(serial)).number(kUnitMax + 1));
    if (!r.ok())
        return Answer::error(503, unreachable(m_name, r.error()));
    const int n = qMin(r.rows(), kUnitMax);
    return Answer{200, QJsonObject{{QStringLiteral("serialNumber"), serial},
                                   {QStringLiteral("attempts"), shownRows(r, 0, n, true)},
                                   {QStringLiteral("truncated"), r.rows() > kUnitMax}}};
}

} // namespace flash::serve
