// The plant: 20 stations' records shipped into an empty PostgreSQL by the real shipper, the lag
// from a line written to its row visible and to the page's push, the database's size, and the
// page (--serve) over 1 000 000 attempts: its summary, its first load, its memory, and a new
// page with 50 live pages and 10 stalled connections open. Not a test; run it by hand:
//   bench_plant [--quick]
//   bench_plant --sample FILE [--live]     a sample record for the page, today's shift so far
#include "benchutil.h"
#include "httpclient.h"
#include "pg.h"
#include "pgserver.h"
#include "plantgen.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTimeZone>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>

#include <poll.h>
#include <sys/wait.h>

namespace {

// A summary counted over a long period, or over many records in memory, may take this long.
constexpr int kLongMs = 120000;

struct Config
{
    int stations = 20;
    int perStation = 10000; // 200 000 attempts shipped
    int grownTo = 1000000;  // attempts for the page's figures
    int lagSeconds = 60;
    int linesPerSecond = 10; // 20 stations at one attempt each every 2 s
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[size_t(std::max<double>(0, std::ceil(p * double(v.size())) - 1))];
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(' ', 0, 2)
                                       : QStringLiteral("?");
}

// Peak and current resident memory of a process, in MB.
QPair<double, double> memoryOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    double peak = -1, now = -1;
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            const double kb = line.simplified().split(' ').value(1).toDouble();
            if (line.startsWith("VmHWM:"))
                peak = kb / 1024;
            if (line.startsWith("VmRSS:"))
                now = kb / 1024;
        }
    }
    return {peak, now};
}

qint64 scalar(flash::pg::Connection &db, const char *sql)
{
    const flash::pg::Result r = db.exec(sql);
    return r.ok() ? r.number(0, 0) : -1;
}

// The records of today's shift so far: every station's slots one attempt after another.
void writeRecords(const QStringList &files, int perStation, qint64 endMs, PlantGenerator &gen)
{
    const qint64 stepMs = 2500; // 8 slots, about 20 s an attempt each
    for (int s = 0; s < files.size(); ++s) {
        QFile f(files.at(s));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        QByteArray chunk;
        for (int i = 0; i < perStation; ++i) {
            chunk += gen.line(s, endMs - qint64(perStation - i) * stepMs + s * 97);
            if (chunk.size() > (1 << 20)) {
                f.write(chunk);
                chunk.clear();
            }
        }
        f.write(chunk);
    }
}

} // namespace

namespace {

// A sample for the page: three stations' shift so far today (at least the last 8 hours).
int writeSample(const QString &path, bool live)
{
    constexpr int kStations = 3;
    constexpr qint64 kStepMs = 20000; // 8 slots of about 20 s each: one attempt per 2.5 s
    PlantGenerator gen(11);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 start = qMin(QDate::currentDate().startOfDay().toMSecsSinceEpoch() + 6 * 3600000LL,
                              now - 8 * 3600000LL);
    // Written aside and renamed into place: a reader never sees half of it.
    QFile f(path + QStringLiteral(".part"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        out() << "cannot write " << path << ": " << f.errorString() << '\n';
        return 2;
    }
    for (qint64 t = start; t < now; t += kStepMs / 8)
        f.write(gen.line(int((t / (kStepMs / 8)) % kStations), t));
    f.close();
    QFile::remove(path);
    if (!f.rename(path)) {
        out() << "cannot write " << path << ": " << f.errorString() << '\n';
        return 2;
    }
    out() << "wrote " << path << '\n';
    out().flush();
    for (int n = 0; live; ++n) {
        QThread::msleep(3000);
        f.open(QIODevice::Append);
        f.write(gen.line(n % kStations, QDateTime::currentMSecsSinceEpoch()));
        f.close();
    }
    return 0;
}

class Bench
{
public:
    explicit Bench(const Config &c) : m_c(c) {}
    int run();

private:
    bool startDatabase();
    void catchUp();
    void lag();
    void stopShippers();
    void databaseSize();
    void grow();
    void page();
    void summaries(int port);
    void crowd(int port);
    void filesPage();
    qint64 startServe(const QStringList &arguments, int *port);
    void stopServe(qint64 pid);
    double timedGet(int port, const QByteArray &path, int *status = nullptr, int timeoutMs = 10000);
    double pageLoad(int port);
    void row(const QString &what, const QString &figure)
    {
        out() << "| " << what << " | " << figure << " |\n";
        out().flush();
    }

    Config m_c;
    QTemporaryDir m_dir;
    PgServer m_server;
    QString m_url;
    QStringList m_files;
    std::vector<pid_t> m_shippers;
    PlantGenerator m_gen{7};
    qint64 m_total = 0;
};

bool Bench::startDatabase()
{
    QString error;
    if (!PgServer::unavailable().isEmpty() || !m_server.start(&error)) {
        out() << "no PostgreSQL: " << PgServer::unavailable() << error << '\n';
        return false;
    }
    m_url = m_server.freshDatabase(QStringLiteral("plant"), &error);
    QProcess init;
    init.start(QStringLiteral(PELMAR_FLASH_PATH), {"--init-db", "--to", m_url});
    return !m_url.isEmpty() && init.waitForFinished(60000) && init.exitCode() == 0;
}

int Bench::run()
{
    out() << "bench_plant: " << m_c.stations << " stations, " << m_c.stations * m_c.perStation
          << " attempts shipped, the page over " << m_c.grownTo << "; load " << loadAverage()
          << "\n\n| What | Figure |\n|---|---|\n";
    if (!m_dir.isValid() || !startDatabase())
        return 1;
    for (int s = 0; s < m_c.stations; ++s)
        m_files << m_dir.filePath(stationName(s) + QStringLiteral(".jsonl"));
    writeRecords(m_files, m_c.perStation, QDateTime::currentMSecsSinceEpoch(), m_gen);
    catchUp();
    lag();
    stopShippers();
    databaseSize();
    grow();
    page();
    filesPage();
    out() << "\nload at the end " << loadAverage() << '\n';
    return 0;
}

void Bench::catchUp()
{
    flash::pg::Connection db;
    QString error;
    db.open(m_url, &error);
    m_total = qint64(m_c.stations) * m_c.perStation;
    QElapsedTimer clock;
    clock.start();
    for (int s = 0; s < m_c.stations; ++s)
        m_shippers.push_back(spawnFlash(
            {"--ship", m_files.at(s), "--to", m_url, "--station", stationName(s), "--json"},
            m_files.at(s) + ".ship", m_files.at(s) + ".err"));
    qint64 stored = 0;
    while ((stored = scalar(db, "SELECT count(*) FROM attempts")) < m_total &&
           clock.elapsed() < 20 * 60 * 1000)
        QThread::msleep(50);
    const double seconds = clock.elapsed() / 1000.0;
    row(QStringLiteral("catch-up: %1 attempts by %2 shippers at once into an empty database")
            .arg(m_total)
            .arg(m_c.stations),
        QStringLiteral("%1 s, %2 attempts/s%3")
            .arg(seconds, 0, 'f', 1)
            .arg(qRound(double(stored) / seconds))
            .arg(stored < m_total ? QStringLiteral(" (only %1 stored)").arg(stored) : QString()));
}

// When each line appended to a record is visible in the database (its NOTIFY, sent at commit) and
// when the page's push carries it.
struct LagWatch
{
    flash::pg::Connection listen;
    EventStream page;
    std::map<QString, qint64> written, database, pushed;
    QElapsedTimer clock;
    int seenEvents = 0;

    void look()
    {
        pollfd p{listen.socket(), POLLIN, 0};
        QStringList ids;
        if (::poll(&p, 1, 2) > 0 && listen.takeNotifications(&ids))
            for (const QString &id : ids)
                database.emplace(id, clock.elapsed());
        page.poll(2);
        const QList<ServerEvent> events = page.events();
        for (; seenEvents < events.size(); ++seenEvents) {
            const QJsonObject o = QJsonDocument::fromJson(events.at(seenEvents).data).object();
            pushed.emplace(o.value("id").toString(), clock.elapsed());
        }
    }

    QString stats(std::map<QString, qint64> &seen)
    {
        std::vector<double> v;
        for (const auto &w : written) {
            if (seen.count(w.first))
                v.push_back(double(seen[w.first] - w.second));
        }
        return QStringLiteral("median %1 ms, p99 %2 ms, max %3 ms (%4 of %5 seen)")
            .arg(percentile(v, 0.5))
            .arg(percentile(v, 0.99))
            .arg(percentile(v, 1.0))
            .arg(v.size())
            .arg(written.size());
    }
};

// Lines appended to the stations' records at a steady pace while the shippers run.
void Bench::lag()
{
    LagWatch watch;
    QString error;
    watch.listen.open(m_url, &error);
    watch.listen.exec("LISTEN pelmar_attempts");
    int port = 0;
    const qint64 serve = startServe({"--db", m_url}, &port);
    watch.page.open(port);
    watch.clock.start();
    const int lines = m_c.lagSeconds * m_c.linesPerSecond;
    for (int n = 0; n < lines; ++n) {
        while (watch.clock.elapsed() < qint64(n) * 1000 / m_c.linesPerSecond)
            watch.look();
        const int s = n % m_c.stations;
        const QString id = QStringLiteral("lag-%1").arg(n);
        QFile f(m_files.at(s));
        f.open(QIODevice::Append);
        f.write(m_gen.line(s, QDateTime::currentMSecsSinceEpoch(), id));
        f.close();
        watch.written.emplace(id, watch.clock.elapsed());
    }
    const qint64 end = watch.clock.elapsed() + 5000;
    while (watch.clock.elapsed() < end)
        watch.look();
    stopServe(serve);
    row(QStringLiteral("steady state, %1 lines/s over %2 stations for %3 s: line written → row "
                       "visible (its NOTIFY)")
            .arg(m_c.linesPerSecond)
            .arg(m_c.stations)
            .arg(m_c.lagSeconds),
        watch.stats(watch.database));
    row(QStringLiteral("the same lines: written → shown on an open page (its push)"),
        watch.stats(watch.pushed));
    m_total += lines;
}

void Bench::stopShippers()
{
    double cpu = 0, peakMb = 0;
    for (pid_t pid : m_shippers) {
        ::kill(pid, SIGTERM);
        int status = 0;
        rusage usage{};
        if (::wait4(pid, &status, 0, &usage) == pid) {
            cpu += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
            peakMb = std::max(peakMb, usage.ru_maxrss / 1024.0);
        }
    }
    row(QStringLiteral("the %1 shippers: processor time in all, peak memory of one")
            .arg(m_shippers.size()),
        QStringLiteral("%1 s, %2 MB").arg(cpu, 0, 'f', 1).arg(peakMb, 0, 'f', 1));
    m_shippers.clear();
}

void Bench::databaseSize()
{
    flash::pg::Connection db;
    QString error;
    db.open(m_url, &error);
    const qint64 rows = scalar(db, "SELECT count(*) FROM attempts");
    const qint64 bytes = scalar(db, "SELECT pg_total_relation_size('attempts')");
    row(QStringLiteral("database size per 100 000 attempts (table, its indexes and TOAST)"),
        QStringLiteral("%1 MB").arg(double(bytes) / double(rows) * 100000 / 1e6, 0, 'f', 0));
}

// The shipped attempts again on the days before (new ids, serial numbers and jobs: a work order
// lasts about a day), made in SQL: the page's figures over a database of m_c.grownTo attempts.
void Bench::grow()
{
    flash::pg::Connection db;
    QString error;
    db.open(m_url, &error);
    const qint64 rows = scalar(db, "SELECT count(*) FROM attempts");
    const qint64 copies = (m_c.grownTo + rows - 1) / rows - 1;
    db.exec("ALTER TABLE attempts DISABLE TRIGGER attempts_notify");
    const flash::pg::Result r = db.exec(
        "INSERT INTO attempts SELECT a.id || '~' || d, a.line, a.time - d * interval '1 day', "
        "a.station, a.job || '~' || d, a.slot, a.slot_path, a.port, a.adapter_serial, a.product, "
        "a.serial_number || '~' || d, a.serial_number_after || '~' || d, a.version_before, "
        "a.version_after, a.result, a.status, a.duration_ms, a.image_sha256, a.shipped_at, "
        "a.source_station, a.source_device, a.source_inode, a.source_first_id, a.source_path, "
        "a.source_offset FROM attempts a, generate_series(1, $1::int) d",
        flash::pg::Params().number(copies));
    db.exec("ALTER TABLE attempts ENABLE TRIGGER attempts_notify");
    db.exec("VACUUM ANALYZE attempts");
    m_total = scalar(db, "SELECT count(*) FROM attempts");
    out() << "\n(" << m_total << " attempts now, " << rows << " of them today's shift"
          << (r.ok() ? QString() : QStringLiteral("; the copy failed: ") + r.error()) << ")\n\n";
}

qint64 Bench::startServe(const QStringList &arguments, int *port)
{
    const QString log = m_dir.filePath(QStringLiteral("serve.out"));
    const pid_t pid = spawnFlash(QStringList{"--serve", "0"} + arguments, log,
                                 m_dir.filePath(QStringLiteral("serve.err")));
    const QRegularExpression served(QStringLiteral("serving http://127\\.0\\.0\\.1:(\\d+)/"));
    for (int waited = 0; waited < 20000 && *port == 0; waited += 20) {
        QThread::msleep(20);
        QFile f(log);
        f.open(QIODevice::ReadOnly);
        *port = served.match(QString::fromUtf8(f.readAll())).captured(1).toInt();
    }
    return pid;
}

void Bench::stopServe(qint64 pid)
{
    ::kill(pid_t(pid), SIGTERM);
    int status = 0;
    ::waitpid(pid_t(pid), &status, 0);
}

double Bench::timedGet(int port, const QByteArray &path, int *status, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const HttpReply reply =
        httpRaw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                timeoutMs);
    if (status)
        *status = reply.status;
    return clock.nsecsElapsed() / 1e6;
}

// What a browser fetches to show the page, one after another.
double Bench::pageLoad(int port)
{
    double ms = 0;
    for (const char *path :
         {"/", "/page.css", "/page.js", "/api/summary", "/api/attempts?limit=50"})
        ms += timedGet(port, path);
    return ms;
}

QString msText(std::vector<double> v)
{
    return QStringLiteral("median %1 ms, max %2 ms (of %3)")
        .arg(percentile(v, 0.5), 0, 'f', 1)
        .arg(percentile(v, 1.0), 0, 'f', 1)
        .arg(v.size());
}

QByteArray sinceParam(const QDateTime &t)
{
    return t.toUTC().toString(Qt::ISODateWithMs).toUtf8();
}

// A new attempt stored (the trigger notifies the page), then a second for the summary's cache:
// the next summary is counted afresh.
void touch(const QString &url, int n)
{
    flash::pg::Connection db;
    QString error;
    db.open(url, &error);
    db.exec("INSERT INTO attempts SELECT id || '-touch' || $1, line, now(), station, job, slot, "
            "slot_path, port, adapter_serial, product, serial_number, serial_number_after, "
            "version_before, version_after, result, status, duration_ms, image_sha256, now(), "
            "source_station, source_device, source_inode, source_first_id, source_path, "
            "source_offset FROM attempts WHERE time >= current_date LIMIT 1",
            flash::pg::Params().number(n));
    QThread::msleep(1100);
}

// Today's summary as pages get it (counted in memory, only the stations' last lines asked of
// the database), and another period's (counted in SQL).
void Bench::summaries(int port)
{
    std::vector<double> today, week, attempts, unit;
    for (int i = 1; i <= 7; ++i) {
        touch(m_url, i);
        today.push_back(timedGet(port, "/api/summary"));
        attempts.push_back(timedGet(port, "/api/attempts?limit=50"));
        unit.push_back(timedGet(port, "/api/units/PM1-03-00" + QByteArray::number(100 + i)));
    }
    const QDateTime from = QDate::currentDate().startOfDay().addDays(-6);
    int status = 0;
    for (int i = 1; i <= 3; ++i)
        week.push_back(
            timedGet(port, "/api/summary?since=" + sinceParam(from.addMSecs(i)), &status, kLongMs));
    row(QStringLiteral("/api/summary of today, after a new attempt (what the pages get)"),
        msText(today));
    row(QStringLiteral("/api/summary?since= a week ago (in SQL, %1 attempts; status %2)")
            .arg(m_total)
            .arg(status),
        msText(week));
    row(QStringLiteral("/api/attempts?limit=50"), msText(attempts));
    row(QStringLiteral("/api/units/SERIAL"), msText(unit));
}

void Bench::page()
{
    int port = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 pid = startServe({"--db", m_url}, &port);
    const double load = pageLoad(port);
    QFile log(m_dir.filePath(QStringLiteral("serve.out")));
    log.open(QIODevice::ReadOnly);
    const QString said = QString::fromUtf8(log.readAll()).section('\n', 1, 1);
    row(QStringLiteral("--serve --db started: today's attempts read; then the page's first load "
                       "(/, CSS, script, summary, 50 attempts)"),
        QStringLiteral("%1 (%2 s after the start); %3 ms")
            .arg(said)
            .arg(clock.elapsed() / 1000.0 - load / 1000, 0, 'f', 1)
            .arg(load, 0, 'f', 1));
    summaries(port);
    row(QStringLiteral("memory of --serve --db after these"),
        QStringLiteral("%1 MB peak resident").arg(memoryOf(pid).first, 0, 'f', 1));
    crowd(port);
    row(QStringLiteral("memory of --serve --db with them open"),
        QStringLiteral("%1 MB resident").arg(memoryOf(pid).second, 0, 'f', 1));
    stopServe(pid);
}

// 50 live pages (push connections) and 10 connections that sent half a request and stalled:
// a new page still loads.
void Bench::crowd(int port)
{
    std::vector<std::unique_ptr<EventStream>> pages;
    for (int i = 0; i < 50; ++i) {
        pages.push_back(std::make_unique<EventStream>());
        pages.back()->open(port);
    }
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 10; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        stalled.back()->setProxy(QNetworkProxy::NoProxy);
        stalled.back()->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        stalled.back()->waitForConnected(5000);
        stalled.back()->write("GET /api/summary HTTP/1.1\r\nHo");
        stalled.back()->flush();
    }
    std::vector<double> loads;
    for (int i = 0; i < 5; ++i)
        loads.push_back(pageLoad(port));
    row(QStringLiteral("a new page's load with 50 live pages and 10 stalled connections open"),
        msText(loads));
}

// --serve over record files: the report's reader in memory.
void Bench::filesPage()
{
    const QList<QStringList> sets{m_files.mid(0, 1), m_files};
    for (const QStringList &files : sets) {
        int port = 0;
        QElapsedTimer clock;
        clock.start();
        const qint64 pid = startServe(files, &port);
        int status = 0;
        for (int waited = 0; waited < 60000; waited += 50) {
            if (httpGet(port, "/api/attempts?limit=1").json().value("attempts").toArray().size())
                break;
            QThread::msleep(50);
        }
        const double readMs = clock.elapsed();
        std::vector<double> summary;
        for (int i = 1; i <= 5; ++i)
            summary.push_back(
                timedGet(port,
                         "/api/summary?since=" +
                             sinceParam(QDate::currentDate().startOfDay().addDays(-1).addMSecs(i)),
                         &status, kLongMs));
        row(QStringLiteral("--serve over %1 record file(s), %2 lines: read at start; /api/summary; "
                           "memory")
                .arg(files.size())
                .arg(files.size() *
                     (m_c.perStation + m_c.lagSeconds * m_c.linesPerSecond / m_c.stations)),
            QStringLiteral("%1 s; %2; %3 MB peak resident")
                .arg(readMs / 1000, 0, 'f', 1)
                .arg(msText(summary))
                .arg(memoryOf(pid).first, 0, 'f', 0));
        stopServe(pid);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int sample = int(args.indexOf(QStringLiteral("--sample")));
    if (sample > 0)
        return writeSample(args.value(sample + 1), args.contains(QStringLiteral("--live")));
    Config c;
    if (args.contains(QStringLiteral("--quick"))) {
        c.perStation = 1000;
        c.grownTo = 100000;
        c.lagSeconds = 15;
    }
    return Bench(c).run();
}
