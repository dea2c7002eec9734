#include "flashrun.h"
#include "pg.h"
#include "pgserver.h"
#include "tworecords.h"

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The shipper and the report over a real PostgreSQL, through the real pelmar-flash.
class TestPlant : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void outage();
    void rotation_data();
    void rotation();
    void twoShippers();
    void malformedInTheMiddle();
    void restartResumes();
    void fileReportEqualsDatabase_data();
    void fileReportEqualsDatabase();
    void newerSchemaRefused();

private:
    QString database();
    FlashRun *ship(const QStringList &files, const QString &station = QStringLiteral("line3"));
    QString path(const QString &name) const { return m_dir.filePath(name); }

    PgServer m_server;
    QTemporaryDir m_dir;
    QString m_url;
};

namespace {

constexpr int kWaitMs = 15000;

QByteArray line(const QString &id, int n, const QString &result = QStringLiteral("success"))
{
    return QStringLiteral(R"({"id":"%1","time":"2026-12-07T06:%2:00.000Z","port":"/dev/ttyUSB0",)"
                          R"("serialNumber":"SN%3","result":"%4"})")
               .arg(id)
               .arg(n % 60, 2, 10, QLatin1Char('0'))
               .arg(n)
               .arg(result)
               .toUtf8() +
           '\n';
}

QByteArray lines(const QString &tag, int from, int count)
{
    QByteArray bytes;
    for (int n = from; n < from + count; ++n)
        bytes += line(QStringLiteral("%1-%2").arg(tag).arg(n), n);
    return bytes;
}

bool append(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::Append) && f.write(bytes) == bytes.size();
}

qint64 number(const QString &url, const char *sql)
{
    flash::pg::Connection db;
    QString error;
    if (!db.open(url, &error))
        return -1;
    const flash::pg::Result r = db.exec(sql);
    return r.ok() ? r.number(0, 0) : -1;
}

QList<QJsonObject> events(const FlashRun *run, const QString &name)
{
    QList<QJsonObject> found;
    for (const QJsonObject &o : run->jsonLines()) {
        if (o.value("event").toString() == name)
            found << o;
    }
    return found;
}

qint64 total(const FlashRun *run, const QString &name, const QString &key)
{
    qint64 sum = 0;
    for (const QJsonObject &o : events(run, name))
        sum += o.value(key).toVariant().toLongLong();
    return sum;
}

bool caughtUp(const FlashRun *run, const QString &file)
{
    const qint64 size = QFileInfo(file).size();
    for (const QJsonObject &o : events(run, QStringLiteral("caughtUp"))) {
        if (o.value("file").toString() == file &&
            o.value("offset").toVariant().toLongLong() == size)
            return true;
    }
    return false;
}

bool stopped(FlashRun *run)
{
    run->sendSignal(SIGTERM);
    return run->wait(kWaitMs) && run->exitCode() == 0 &&
           events(run, QStringLiteral("stopped")).size() == 1;
}

} // namespace

void TestPlant::initTestCase()
{
    REQUIRE_POSTGRESQL();
    QVERIFY(m_dir.isValid());
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
}

// A shipper a failed test left running ends before the next test, and before the server.
void TestPlant::cleanup()
{
    qDeleteAll(findChildren<FlashRun *>());
}

// Each test its own empty database, named after it.
QString TestPlant::database()
{
    QString error;
    m_url = m_server.freshDatabase(QString::fromLatin1(QTest::currentTestFunction()).toLower() +
                                       QString::fromLatin1(QTest::currentDataTag()).remove(' '),
                                   &error);
    return m_url;
}

FlashRun *TestPlant::ship(const QStringList &files, const QString &station)
{
    auto *run = new FlashRun(QStringList{"--ship"} + files +
                                 QStringList{"--to", m_url, "--station", station, "--json"},
                             this);
    run->start();
    return run;
}

// Lines written while the database is down arrive once it is back, each once.
void TestPlant::outage()
{
    QVERIFY(!database().isEmpty());
    const QString record = path("outage.jsonl");
    QVERIFY(append(record, lines("outage", 0, 30)));
    FlashRun *run = ship({record});
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    QVERIFY(m_server.stop());
    QVERIFY(append(record, lines("outage", 30, 30)));
    QTRY_VERIFY_WITH_TIMEOUT(!events(run, "databaseDown").isEmpty(), kWaitMs);
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), 2 * kWaitMs);
    QCOMPARE(number(m_url, "SELECT count(*) FROM attempts"), 60);
    QCOMPARE(total(run, "shipped", "inserted"), 60);
    QCOMPARE(QString(run->err()).count("cannot be used"), 1);
    QCOMPARE(QString(run->err()).count("is back"), 1);
    QVERIFY(stopped(run));
}

void TestPlant::rotation_data()
{
    QTest::addColumn<bool>("renamed");
    QTest::newRow("renamed, a new file at the path") << true;
    QTest::newRow("truncated and written anew") << false;
}

// The old file is finished first (what its writer still adds included), then the new one.
void TestPlant::rotation()
{
    QFETCH(bool, renamed);
    QVERIFY(!database().isEmpty());
    const QString record = path(QStringLiteral("rotation-%1.jsonl").arg(renamed));
    QVERIFY(append(record, lines("before", 0, 10)));
    FlashRun *run = ship({record});
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    if (renamed) {
        QVERIFY(QFile::rename(record, record + ".1"));
        QVERIFY(append(record + ".1", lines("late", 0, 5)));
    } else {
        QVERIFY(QFile::resize(record, 0));
    }
    QVERIFY(append(record, lines("after", 0, 7)));
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(number(m_url, "SELECT count(*) FROM attempts"), renamed ? 22 : 17,
                              kWaitMs);
    const QList<QJsonObject> replaced = events(run, "fileReplaced");
    QCOMPARE(replaced.size(), 1);
    // A rename seen before the new file is there is a removal, then a new file.
    const QStringList how = renamed ? QStringList{"replaced", "removed"} : QStringList{"truncated"};
    QVERIFY(how.contains(replaced.first().value("how").toString()));
    QVERIFY(stopped(run));
    QCOMPARE(total(run, "shipped", "duplicates"), 0);
}

// Two shippers on one record: every line stored, none twice, each inserted by one of them.
void TestPlant::twoShippers()
{
    QVERIFY(!database().isEmpty());
    const QString record = path("two.jsonl");
    QVERIFY(append(record, lines("two", 0, 100)));
    FlashRun *first = ship({record});
    FlashRun *second = ship({record});
    for (int chunk = 0; chunk < 10; ++chunk) {
        QVERIFY(append(record, lines("two", 100 + chunk * 10, 10)));
        QTest::qWait(30);
    }
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(first, record) && caughtUp(second, record), kWaitMs);
    QCOMPARE(number(m_url, "SELECT count(*) FROM attempts"), 200);
    QCOMPARE(total(first, "shipped", "inserted") + total(second, "shipped", "inserted"), 200);
    QVERIFY(stopped(first));
    QVERIFY(stopped(second));
}

// Bad lines are stored once in rejects, named, and the lines after them arrive; a line with
// hostile text is stored as it is, its NUL as U+FFFD.
void TestPlant::malformedInTheMiddle()
{
    QVERIFY(!database().isEmpty());
    const QString record = path("malformed.jsonl");
    const QByteArray hostile = R"({"id":"hostile","result":"success","serialNumber":)"
                               R"("a\"b\\c\u0000d<img src=x onerror=alert(1)>"})";
    const QByteArray longLine = R"({"result":"success","pad":")" + QByteArray(70000, 'x') + "\"}";
    QVERIFY(append(record, lines("m", 0, 3) + "{\"time\": \n" + lines("m", 3, 2) + longLine + '\n' +
                               hostile + '\n' + "[1,2]\n" + lines("m", 5, 1)));
    FlashRun *run = ship({record});
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    QCOMPARE(number(m_url, "SELECT count(*) FROM attempts"), 7);
    QCOMPARE(number(m_url, "SELECT count(*) FROM rejects"), 3);
    QCOMPARE(number(m_url, "SELECT sum(line_number) FROM rejects"), 4 + 7 + 9);
    QCOMPARE(number(m_url, "SELECT length FROM rejects WHERE line_number = 7"), longLine.size());
    QCOMPARE(number(m_url, "SELECT count(*) FROM attempts WHERE id = 'hostile' AND serial_number "
                           "= E'a\"b\\\\c\\uFFFDd<img src=x onerror=alert(1)>'"),
             1);
    QVERIFY(QString(run->err()).contains(record + ":7: longer than 65536 bytes"));
    QVERIFY(stopped(run));

    // Shipped again from the start: nothing stored twice.
    QCOMPARE(number(m_url, "WITH d AS (DELETE FROM ship_progress RETURNING 1) SELECT count(*) "
                           "FROM d"),
             1);
    run = ship({record});
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    QCOMPARE(total(run, "shipped", "duplicates"), 7);
    QCOMPARE(number(m_url, "SELECT count(*) FROM rejects"), 3);
    QVERIFY(stopped(run));
}

// A restarted shipper starts where the stored position is: it sends only the new lines.
void TestPlant::restartResumes()
{
    QVERIFY(!database().isEmpty());
    const QString record = path("resume.jsonl");
    QVERIFY(append(record, lines("resume", 0, 50)));
    const qint64 size = QFileInfo(record).size();
    FlashRun *run = ship({record});
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    // A fragment the station cuts back (a failed write) is never shipped.
    const QByteArray fragment = R"({"id":"cut","result":"succ)";
    QVERIFY(append(record, fragment));
    QTest::qWait(300);
    QVERIFY(QFile::resize(record, size));
    QVERIFY(stopped(run));
    QVERIFY(append(record, lines("resume", 50, 10)));
    run = ship({record});
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(run, record), kWaitMs);
    const QList<QJsonObject> resumed = events(run, "resumed");
    QCOMPARE(resumed.size(), 1);
    QCOMPARE(resumed.first().value("offset").toVariant().toLongLong(), size);
    QCOMPARE(resumed.first().value("line").toVariant().toLongLong(), 50);
    QCOMPARE(total(run, "shipped", "lines"), 10);
    QCOMPARE(total(run, "shipped", "duplicates"), 0);
    QCOMPARE(number(m_url, "SELECT count(*) FROM attempts"), 60);
    QCOMPARE(number(m_url, "SELECT count(*) FROM rejects"), 0);
    QVERIFY(stopped(run));
}

namespace {

const QDateTime kSixOClock(QDate(2026, 12, 7), QTime(6, 0), Qt::UTC);

QJsonObject reportOf(const QStringList &arguments)
{
    FlashRun run(QStringList{"--report", "--json"} + arguments);
    if (!run.finish() || run.exitCode() != 0 || run.jsonLines().size() != 1)
        return QJsonObject{{"failed", QString(run.err())}};
    QJsonObject report = run.jsonLines().first();
    // Where the lines came from, and how often a copy was met, are the sources' own.
    for (const char *key : {"files", "malformedLines", "duplicateLines"})
        report.remove(key);
    return report;
}

} // namespace

void TestPlant::fileReportEqualsDatabase_data()
{
    QTest::addColumn<QStringList>("filter");
    QTest::addColumn<int>("attempts");
    QTest::newRow("all") << QStringList{} << 19;
    QTest::newRow("one station") << QStringList{"--station", "east"} << 12;
    QTest::newRow("one device") << QStringList{"--serial", "W-0"} << 2;
    QTest::newRow("since") << QStringList{"--since", "2026-12-07T06:30:00Z"} << 7;
}

// The same records give the same figures from the files and from the database.
void TestPlant::fileReportEqualsDatabase()
{
    QFETCH(QStringList, filter);
    QFETCH(int, attempts);
    QVERIFY(!database().isEmpty());
    const QString east = path("east.jsonl");
    const QString west = path("west.jsonl");
    if (!QFile::exists(east))
        QVERIFY(append(east, eastRecord(kSixOClock)) &&
                append(west, westRecord(kSixOClock, false)));
    FlashRun *eastShipper = ship({east}, "east");
    FlashRun *westShipper = ship({west}, "west");
    QTRY_VERIFY_WITH_TIMEOUT(caughtUp(eastShipper, east) && caughtUp(westShipper, west), kWaitMs);
    QVERIFY(stopped(eastShipper) && stopped(westShipper));

    const QJsonObject fromFiles = reportOf(filter + QStringList{east, west});
    const QJsonObject fromDatabase = reportOf(filter + QStringList{m_url});
    QCOMPARE(fromFiles.value("attempts").toInt(), attempts);
    QCOMPARE(fromDatabase, fromFiles);
    if (filter.isEmpty()) {
        QCOMPARE(fromFiles.value("firstPass").toInt(), 4); // E-2, W-0, W-1, W-3
        QCOMPARE(fromFiles.value("ports").toArray().at(1).toObject().value("flagged"), true);
    }
}

// An older program refuses a newer schema, whatever it was asked to do.
void TestPlant::newerSchemaRefused()
{
    QVERIFY(!database().isEmpty());
    FlashRun init({"--init-db", "--to", m_url});
    QVERIFY(init.finish());
    QCOMPARE(init.exitCode(), 0);
    QCOMPARE(number(m_url, "WITH u AS (UPDATE pelmar_schema SET version = 99 RETURNING 1) "
                           "SELECT count(*) FROM u"),
             1);
    const QString record = path("newer.jsonl");
    QVERIFY(append(record, lines("newer", 0, 1)));
    for (const QStringList &arguments :
         {QStringList{"--init-db", "--to", m_url}, QStringList{"--report", m_url},
          QStringList{"--ship", record, "--to", m_url}}) {
        FlashRun run(arguments);
        QVERIFY(run.finish());
        QCOMPARE(run.exitCode(), 16);
        QVERIFY(QString(run.err()).contains("schema version 99, newer"));
    }
}

QTEST_GUILESS_MAIN(TestPlant)
#include "tst_plant.moc"
