#include "flashrun.h"
#include "httpclient.h"
#include "pg.h"
#include "pgserver.h"
#include "tworecords.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

// pelmar-flash --serve through its HTTP side: the limits a hostile client meets, and the
// summary, the attempts and a unit's history over record files and over the plant database,
// figure for figure against --report --json.
class TestServe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void refused_data();
    void refused();
    void stalledClientsBlockNoOne();
    void sameFiguresAsTheReport_data();
    void sameFiguresAsTheReport();
    void databaseGoesAway();
    void recordReplacedOrCut();
    void usageErrors_data();
    void usageErrors();

private:
    int serve(const QStringList &arguments, FlashRun **started = nullptr);
    bool startDatabase(const QString &name);
    void checkLive(int port, EventStream &events, const QString &east);
    void compareWithReport(const QJsonObject &summary, const QString &east, const QString &west);
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    std::unique_ptr<PgServer> m_server;
    QString m_url;
    int m_filesPort = 0;
    std::unique_ptr<FlashRun> m_filesServer;
};

namespace {

constexpr int kWaitMs = 15000;
// Today's local midnight: the page's own default; the records are of today's early shift.
QDateTime midnight()
{
    return QDate::currentDate().startOfDay();
}

QByteArray iso(const QDateTime &t)
{
    return t.toUTC().toString(Qt::ISODateWithMs).toUtf8();
}

QDateTime sixOClock()
{
    return midnight().addSecs(6 * 3600);
}

QString at(int minutes)
{
    return QString::fromUtf8(iso(sixOClock().addSecs(minutes * 60)));
}

bool append(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::Append) && f.write(bytes) == bytes.size();
}

QJsonObject reportOf(const QStringList &arguments)
{
    FlashRun run(QStringList{"--report", "--json", "--since", iso(midnight())} + arguments);
    return run.finish() && run.jsonLines().size() == 1 ? run.jsonLines().first() : QJsonObject();
}

// The figures the page shows as the report counts them.
QString differences(const QJsonObject &page, const QJsonObject &report)
{
    QString found;
    for (const char *key : {"attempts", "results", "devices", "yieldDevices", "firstPass",
                            "firstPassYield", "onlySkipped", "neverPassed", "ports", "adapters",
                            "first", "last", "attemptsWithoutSerialNumber"}) {
        if (page.value(key) != report.value(key))
            found += QStringLiteral("%1: page %2, report %3\n")
                         .arg(key, QJsonDocument(QJsonArray{page.value(key)}).toJson(),
                              QJsonDocument(QJsonArray{report.value(key)}).toJson());
    }
    return found;
}

qint64 attemptsIn(const QString &url)
{
    flash::pg::Connection db;
    QString error;
    if (!db.open(url, &error))
        return -1;
    const flash::pg::Result r = db.exec("SELECT count(*) FROM attempts");
    return r.ok() ? r.number(0, 0) : -1;
}

} // namespace

void TestServe::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(append(path("east.jsonl"), eastRecord(sixOClock())) &&
            append(path("west.jsonl"), westRecord(sixOClock(), true)));
    QVERIFY(QFile::copy(path("east.jsonl"), path("limits.jsonl")));
    FlashRun *run = nullptr;
    m_filesPort = serve({path("limits.jsonl")}, &run);
    QVERIFY(m_filesPort > 0);
    run->setParent(nullptr);
    m_filesServer.reset(run);
}

void TestServe::cleanupTestCase()
{
    if (!m_filesServer)
        return;
    m_filesServer->sendSignal(SIGTERM);
    QVERIFY(m_filesServer->wait(kWaitMs));
    QVERIFY(m_filesServer->out().contains("stopped"));
}

// Every server and shipper of a test ends with it, as a supervisor stops them ends before the next
// test.
void TestServe::cleanup()
{
    for (FlashRun *run : findChildren<FlashRun *>(QString(), Qt::FindDirectChildrenOnly)) {
        run->sendSignal(SIGTERM);
        QVERIFY(run->wait(kWaitMs));
        QCOMPARE(run->exitCode(), 0);
        delete run;
    }
}

// Starts --serve on a free port; the port, or 0.
int TestServe::serve(const QStringList &arguments, FlashRun **started)
{
    auto *run = new FlashRun(QStringList{"--serve", "0"} + arguments, this);
    run->start();
    if (started)
        *started = run;
    const QRegularExpression served(QStringLiteral("serving http://127\\.0\\.0\\.1:(\\d+)/"));
    for (int waited = 0; waited < kWaitMs; waited += 50) {
        const QRegularExpressionMatch m = served.match(QString(run->out()));
        if (m.hasMatch())
            return m.captured(1).toInt();
        QTest::qWait(50);
    }
    return 0;
}

void TestServe::refused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray end = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    QTest::newRow("POST") << QByteArray("POST /api/summary" + end + "Content-Length: 2\r\n\r\nxy")
                          << 405;
    QTest::newRow("DELETE") << QByteArray("DELETE /api/attempts" + end + "\r\n") << 405;
    QTest::newRow("a URL of 5000 bytes")
        << QByteArray("GET /api/units/" + QByteArray(5000, 'a') + end + "\r\n") << 414;
    QTest::newRow("a header of 9000 bytes")
        << QByteArray("GET /" + end + "Cookie: " + QByteArray(9000, 'c') + "\r\n\r\n") << 431;
    QTest::newRow("70 header lines")
        << QByteArray("GET /" + end + QByteArray("X-A: b\r\n").repeated(70) + "\r\n") << 431;
    QTest::newRow("a page over the limit")
        << QByteArray("GET /api/attempts?limit=1001" + end + "\r\n") << 400;
    QTest::newRow("since no time, no id")
        << QByteArray("GET /api/attempts?since=yesterday" + end + "\r\n") << 400;
    QTest::newRow("nothing there") << QByteArray("GET /admin" + end + "\r\n") << 404;
    QTest::newRow("the page") << QByteArray("GET /" + end + "\r\n") << 200;
    QTest::newRow("HEAD") << QByteArray("HEAD /api/summary" + end + "\r\n") << 200;
}

// Refused or answered, every reply carries the page's protections.
void TestServe::refused()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const HttpReply reply = httpRaw(m_filesPort, request);
    QCOMPARE(reply.status, status);
    QVERIFY(reply.headers.value("content-security-policy").contains("script-src 'self'"));
    QCOMPARE(reply.headers.value("x-content-type-options"), QByteArray("nosniff"));
    if (status == 405)
        QCOMPARE(reply.headers.value("allow"), QByteArray("GET, HEAD"));
    if (request.startsWith("HEAD"))
        QVERIFY(reply.body.isEmpty());
    if (status == 200 && request.startsWith("GET / "))
        QVERIFY(reply.body.contains("<script src=\"page.js\""));
}

// Clients that send half a request and then nothing, and pages that never read their pushes,
// hold no one else up: the server still answers at once (the time is the benchmark's).
void TestServe::stalledClientsBlockNoOne()
{
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 10; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        stalled.back()->setProxy(QNetworkProxy::NoProxy);
        stalled.back()->connectToHost("127.0.0.1", quint16(m_filesPort));
        QVERIFY(stalled.back()->waitForConnected(5000));
        stalled.back()->write("GET /api/summary HTTP/1.1\r\nHost: 12");
        stalled.back()->flush();
    }
    std::vector<std::unique_ptr<EventStream>> pages;
    for (int i = 0; i < 30; ++i) {
        pages.push_back(std::make_unique<EventStream>());
        QVERIFY(pages.back()->open(m_filesPort));
    }
    const HttpReply reply = httpGet(m_filesPort, "/api/summary");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json().value("line").toObject().value("attempts").toInt(), 12);
}

bool TestServe::startDatabase(const QString &name)
{
    QString error;
    if (!m_server) {
        m_server = std::make_unique<PgServer>();
        if (!m_server->start(&error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
    }
    m_url = m_server->freshDatabase(name, &error);
    FlashRun init({"--init-db", "--to", m_url});
    return !m_url.isEmpty() && init.finish() && init.exitCode() == 0;
}

void TestServe::sameFiguresAsTheReport_data()
{
    QTest::addColumn<bool>("database");
    QTest::newRow("record files") << false;
    QTest::newRow("plant database") << true;
}

// Two stations: the page's figures for the line and for each station are the report's.
void TestServe::sameFiguresAsTheReport()
{
    QFETCH(bool, database);
    const QString east = path(database ? "db-east.jsonl" : "files-east.jsonl");
    const QString west = path(database ? "db-west.jsonl" : "files-west.jsonl");
    QVERIFY(append(east, eastRecord(sixOClock())) && append(west, westRecord(sixOClock(), true)));
    int port = 0;
    if (database) {
        REQUIRE_POSTGRESQL();
        QVERIFY(startDatabase("figures"));
        for (const char *station : {"east", "west"})
            (new FlashRun({"--ship", path(QStringLiteral("db-%1.jsonl").arg(station)), "--to",
                           m_url, "--station", station},
                          this))
                ->start();
        QTRY_COMPARE_WITH_TIMEOUT(attemptsIn(m_url), 19, kWaitMs);
        port = serve({"--db", m_url});
    } else {
        port = serve({east, west});
    }
    QVERIFY(port > 0);
    EventStream events;
    QVERIFY(events.open(port));
    // Today's figures as the page asks for them, and from a moment before midnight: over the
    // database the first are kept in memory as attempts come, the others computed in SQL.
    for (const QByteArray &query : {QByteArray(), "?since=" + iso(midnight().addMSecs(-1))})
        compareWithReport(httpGet(port, "/api/summary" + query).json(), east, west);
    if (!QTest::currentTestFailed())
        checkLive(port, events, east);
}

void TestServe::compareWithReport(const QJsonObject &summary, const QString &east,
                                  const QString &west)
{
    const QJsonObject line = summary.value("line").toObject();
    QCOMPARE(line.value("attempts").toInt(), 19);
    QCOMPARE(line.value("firstPass").toInt(), 4); // E-2, W-0, W-1, W-3
    QCOMPARE(line.value("ports").toArray().at(1).toObject().value("flagged"), true); // ttyE1
    QString diff = differences(line, reportOf({east, west}));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    const QJsonArray stations = summary.value("stations").toArray();
    QCOMPARE(stations.size(), 2);
    for (const QJsonValue &s : stations) {
        const QString name = s.toObject().value("station").toString();
        diff = differences(s.toObject(), reportOf({"--station", name, east, west}));
        QVERIFY2(diff.isEmpty(), qPrintable(name + ": " + diff));
    }
    const QJsonArray jobs{QJsonObject{{"job", "WO-1"}, {"passed", 6}, {"quantity", 10}}};
    QCOMPARE(summary.value("jobs").toArray(), jobs);
}

// A new line is pushed to open pages; the API pages through every attempt once; a unit's
// history has its attempts at every station.
void TestServe::checkLive(int port, EventStream &events, const QString &east)
{
    QVERIFY(append(east, QStringLiteral(R"({"id":"east-live","station":"east","time":"%1",)"
                                        R"("port":"/dev/ttyE0","serialNumber":"E-0",)"
                                        R"("result":"success"})"
                                        "\n")
                             .arg(at(60))
                             .toUtf8()));
    QVERIFY(events.waitFor("attempt", "\"id\":\"east-live\"", kWaitMs));
    QStringList ids;
    QByteArray since = iso(midnight());
    for (int page = 0; page < 10; ++page) {
        const QJsonObject o = httpGet(port, "/api/attempts?limit=6&since=" + since).json();
        for (const QJsonValue &a : o.value("attempts").toArray())
            ids << a.toObject().value("id").toString();
        if (!o.value("more").toBool())
            break;
        since = o.value("next").toString().toUtf8();
    }
    QCOMPARE(ids.size(), 20);
    QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), 20);
    QCOMPARE(ids.last(), QStringLiteral("east-live"));
    const QJsonArray unit = httpGet(port, "/api/units/E-0").json().value("attempts").toArray();
    QCOMPARE(unit.size(), 3);
    QCOMPARE(unit.at(2).toObject().value("id").toString(), QStringLiteral("east-live"));
}

// The page stays up while the database is gone, says so, and comes back with it.
void TestServe::databaseGoesAway()
{
    REQUIRE_POSTGRESQL();
    QVERIFY(startDatabase("away"));
    const int port = serve({"--db", m_url});
    QVERIFY(port > 0);
    EventStream events;
    QVERIFY(events.open(port));
    QCOMPARE(httpGet(port, "/api/summary").status, 200);
    QVERIFY(m_server->stop());
    QVERIFY(events.waitFor("status", "\"down\"", kWaitMs));
    const HttpReply gone = httpGet(port, "/api/summary?since=2026-12-07");
    QCOMPARE(gone.status, 503);
    QVERIFY(gone.json().value("error").toString().contains("cannot be used"));
    QCOMPARE(httpGet(port, "/").status, 200);
    QString error;
    QVERIFY2(m_server->start(&error), qPrintable(error));
    QVERIFY(events.waitFor("status", "\"up\"", 3 * kWaitMs));
    QCOMPARE(httpGet(port, "/api/summary?since=2026-12-06").status, 200);
}

namespace {

QByteArray attemptLine(const QString &id)
{
    return QStringLiteral(R"({"id":"%1","time":"%2","serialNumber":"%1","result":"success"})")
               .arg(id, at(0))
               .toUtf8() +
           '\n';
}

QStringList shownIds(int port)
{
    QStringList ids;
    for (const QJsonValue &a :
         httpGet(port, "/api/attempts?limit=1000").json().value("attempts").toArray())
        ids << a.toObject().value("id").toString();
    ids.sort();
    return ids;
}

} // namespace

// Over a record file: a file renamed away is still read (its writer may add a last line) while
// the new one at the path is followed; a file cut and written anew is read from its start; a
// fragment is never counted.
void TestServe::recordReplacedOrCut()
{
    const QString record = path("rotated.jsonl");
    QVERIFY(append(record, attemptLine("a1") + attemptLine("a2")));
    const int port = serve({record});
    QVERIFY(port > 0);
    QVERIFY(QFile::rename(record, record + ".1"));
    // The server has looked again (a watch, and every second) before the writer's last line.
    QTest::qWait(1500);
    QVERIFY(append(record + ".1", attemptLine("a3")));
    QVERIFY(append(record, attemptLine("b1")));
    QTRY_COMPARE_WITH_TIMEOUT(shownIds(port), QStringList({"a1", "a2", "a3", "b1"}), kWaitMs);
    QVERIFY(QFile::resize(record, 0));
    const QByteArray fragment = "{\"id\":\"c2\",\"result\":\"succ";
    QVERIFY(append(record, attemptLine("c1") + fragment));
    QTRY_COMPARE_WITH_TIMEOUT(shownIds(port), QStringList({"a1", "a2", "a3", "b1", "c1"}), kWaitMs);
}

void TestServe::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("port out of range")
        << QStringList{"--serve", "65536", "r.jsonl"} << "[ADDR:]PORT";
    QTest::newRow("IPv6 without brackets")
        << QStringList{"--serve", "::1:8080", "r.jsonl"} << "[ADDR:]PORT";
    QTest::newRow("nothing to show") << QStringList{"--serve", "8080"} << "--db postgresql";
    QTest::newRow("both") << QStringList{"--serve", "8080", "--db", "postgresql://h/d", "r.jsonl"}
                          << "either";
    QTest::newRow("URL as a file") << QStringList{"--serve", "8080", "postgresql://h/d"} << "--db";
    QTest::newRow("with --image") << QStringList{"--serve", "8080", "--image", "x.bin", "r.jsonl"}
                                  << "does not go with --serve";
    QTest::newRow("--db alone") << QStringList{"--report", "--db", "postgresql://h/d", "r.jsonl"}
                                << "--db goes with --serve";
    QTest::newRow("a folder as the record") << QStringList{"--serve", "0", "/tmp"} << "a folder";
    QTest::newRow("an address not here")
        << QStringList{"--serve", "192.0.2.1:0", "r.jsonl"} << "cannot listen";
}

void TestServe::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    FlashRun run(arguments);
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 2);
    QVERIFY2(QString(run.err()).contains(message), run.err().constData());
}

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
