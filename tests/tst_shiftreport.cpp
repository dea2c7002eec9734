#include "flashrun.h"
#include "shiftreport.h"
#include "stablenames.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// Before the records: moc loses its way in their raw strings and would miss the class.
class TestShiftReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void report_data();
    void report();
    void unreadableAndJson();
    void fifoWithoutWriter();
    void pipeWithWriter();
    void stableNames_data();
    void stableNames();
    void stableNamesAbsent();
    void byStationAndJob_data();
    void byStationAndJob();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

namespace {

// Station 1: /dev/ttyUSB1 fails 4 of its 5 attempts; SN002 is recovered from waiting for
// firmware (no serial number before, its serial number after verification); line 4 was cut.
const char kStation1[] =
    R"({"time":"2026-12-07T06:00:00.000Z","port":"/dev/ttyUSB0","adapterSerial":"A0","serialNumber":"SN001","imageSha256":"aaaa","image":"/img/PM-100_V1.1.bin","durationMs":5000,"result":"skipped","status":11}
{"time":"2026-12-07T06:01:00.000Z","port":"/dev/ttyUSB1","adapterSerial":"A1","serialNumber":"SN002","imageSha256":"aaaa","durationMs":9000,"result":"stoppedAnswering","status":7}
{"time":"2026-12-07T06:02:00.000Z","port":"/dev/ttyUSB1","adapterSerial":"A1","serialNumber":null,"serialNumberAfter":"SN002","waitingForFirmware":true,"endConfirmed":true,"endReply":"06","imageSha256":"aaaa","durationMs":41000,"result":"success","status":0}
{"time":"2026-12-07T06:03:00.000Z","port":"/dev/tty
{"time":"2026-12-07T06:04:00.000Z","port":"/dev/ttyUSB1","adapterSerial":"A1","serialNumber":"SN003","imageSha256":"aaaa","durationMs":12000,"result":"refused","status":6}
{"time":"2026-12-07T06:05:00.000Z","port":"/dev/ttyUSB1","adapterSerial":"A1","serialNumber":"SN003","imageSha256":"aaaa","durationMs":3000,"result":"portLost","status":8}
{"time":"2026-12-07T06:06:00.000Z","port":"/dev/ttyUSB1","adapterSerial":"A1","serialNumber":null,"imageSha256":"aaaa","durationMs":10200,"result":"noAnswer","status":4}
{"time":"2026-12-07T06:07:00.000Z","port":"/dev/ttyUSB0","adapterSerial":"A0","serialNumber":"SN004","imageSha256":"aaaa","durationMs":5000,"result":"skipped","status":11}
{"time":"2026-12-07T06:30:00.000Z","port":"/dev/ttyUSB0","adapterSerial":"A0","serialNumber":"SN001","imageSha256":"aaaa","durationMs":30000,"result":"success","status":0}
)";

// Station 2, an older program first (no adapter serial, no newer fields); SN010's pass is
// written before its earlier failure; a blank line, and line 6 is no object.
const char kStation2[] =
    R"({"time":"2026-12-07T05:58:00.000Z","port":"/dev/ttyACM0","serialNumber":"SN005","imageSha256":"bbbb","durationMs":28000,"result":"success","status":0}
{"time":"2026-12-07T07:10:00.000Z","port":"/dev/ttyACM0","adapterSerial":"B0","serialNumber":"SN010","imageSha256":"bbbb","durationMs":31000,"result":"success","status":0}
{"time":"2026-12-07T07:05:00.000Z","port":"/dev/ttyACM0","adapterSerial":"B0","serialNumber":"SN010","imageSha256":"bbbb","durationMs":33000,"result":"verifyFailed","status":10}
{"time":"2026-12-07T07:20:00.000Z","port":"/dev/ttyACM0","adapterSerial":"B0","serialNumber":"SN008","imageSha256":"bbbb","durationMs":29000,"result":"success","status":0}

[1,2]
{"time":"2026-12-07T07:25:00.000Z","port":"/dev/ttyACM0","adapterSerial":"B0","serialNumber":"SN009","imageSha256":"bbbb","durationMs":27000,"result":"success","status":0}
{"time":"2026-12-07T07:30:00.000Z","port":"/dev/ttyACM1","adapterSerial":"B1","serialNumber":"SN011","imageSha256":"bbbb","durationMs":30000,"result":"endNotConfirmed","status":9}
)";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QStringList flaggedNames(const QVector<flash::GroupStats> &groups)
{
    QStringList names;
    for (const flash::GroupStats &g : groups) {
        if (g.flagged)
            names << g.name;
    }
    return names;
}

} // namespace

void TestShiftReport::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(writeFile(path("station1.jsonl"), kStation1));
    QVERIFY(writeFile(path("station2.jsonl"), kStation2));
    QVERIFY(writeFile(path("copy.jsonl"), kStation2));
    // The same attempts as another tool writes them back.
    QVERIFY(writeFile(path("reserialised.jsonl"),
                      QByteArray(kStation2).replace("\":", "\": ").replace(",\"", ", \"")));
}

void TestShiftReport::report_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("duplicates");
    QTest::addColumn<int>("malformed");
    QTest::newRow("two stations") << QStringList{"station1.jsonl", "station2.jsonl"} << 0 << 2;
    QTest::newRow("a file named twice")
        << QStringList{"station1.jsonl", "station2.jsonl", "station1.jsonl"} << 0 << 2;
    QTest::newRow("a copied file")
        << QStringList{"station1.jsonl", "station2.jsonl", "copy.jsonl"} << 6 << 3;
    QTest::newRow("a copy re-serialised with spaces")
        << QStringList{"station1.jsonl", "station2.jsonl", "reserialised.jsonl"} << 6 << 3;
}

void TestShiftReport::report()
{
    QFETCH(QStringList, files);
    QFETCH(int, duplicates);
    QFETCH(int, malformed);
    for (QString &f : files)
        f = path(f);
    const flash::ShiftReport r = flash::readRecords(files);
    QVERIFY(r.unreadable.isEmpty());
    QCOMPARE(r.attempts, 14);
    QCOMPARE(r.duplicateLines, duplicates);
    QCOMPARE(r.malformedCount, malformed);
    QCOMPARE(r.malformed.at(0).file, path("station1.jsonl"));
    QCOMPARE(r.malformed.at(0).line, 4);
    QCOMPARE(r.malformed.at(1).line, 6);
    QCOMPARE(r.malformed.at(1).reason, QStringLiteral("not a JSON object"));

    QCOMPARE(r.devices, 9);
    QCOMPARE(r.onlySkipped, 1);  // SN004
    QCOMPARE(r.yieldDevices, 8); // skips are neither pass nor fail
    QCOMPARE(r.firstPass, 4);    // SN001 after its skip, SN005, SN008, SN009
    QCOMPARE(r.neverPassed, (QStringList{"SN003", "SN011"})); // SN002 recovered
    QCOMPARE(r.attemptsWithoutSerial, 1);

    QCOMPARE(flaggedNames(r.ports), QStringList{"/dev/ttyUSB1"}); // ttyACM1: 1 of 1, too few
    QCOMPARE(flaggedNames(r.adapters), QStringList{"A1"});
    QCOMPARE(r.timedPasses, 6);
    QCOMPARE(r.medianPassMs, 29000); // of 27 28 29 30 31 41 s, nearest rank
    QCOMPARE(r.p95PassMs, 41000);
    QCOMPARE(r.images.size(), 2);
    QCOMPARE(r.images.at(0).devicesPassed, 2); // aaaa: SN001, SN002
    QCOMPARE(r.images.at(1).devicesPassed, 4);
    QCOMPARE(r.first, QDateTime::fromString("2026-12-07T05:58:00.000Z", Qt::ISODateWithMs));
    QCOMPARE(r.last, QDateTime::fromString("2026-12-07T07:30:00.000Z", Qt::ISODateWithMs));

    // Only the bad port's row carries the flag, under the stated rule.
    const QStringList lines = flash::reportText(r).split('\n');
    QStringList flaggedRows = lines.filter("FLAGGED").filter(QRegularExpression("^  \\S"));
    QCOMPARE(flaggedRows.size(), 2);
    QVERIFY(flaggedRows.at(0).startsWith("  /dev/ttyUSB1 "));
    QVERIFY(flaggedRows.at(1).startsWith("  A1 "));
    QVERIFY(lines.filter(flash::kFlagRule).size() == 1);
}

void TestShiftReport::unreadableAndJson()
{
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    const QStringList files{path("station1.jsonl"), path("missing.jsonl"), m_dir.path()};
    QCOMPARE(flash::runReport(files, true, outStream, errStream), 2);
    QCOMPARE(err.count("cannot read"), 2);
    QVERIFY(err.contains(path("missing.jsonl")));
    bool ok = false;
    const QList<QJsonObject> objects = parseJsonLines(out.toUtf8(), &ok);
    QVERIFY(ok);
    QCOMPARE(objects.size(), 1);
    const QJsonObject o = objects.first();
    QCOMPARE(o.value("attempts").toInt(), 8);
    QCOMPARE(o.value("unreadable").toArray().size(), 2);
    QCOMPARE(o.value("neverPassed").toArray(), QJsonArray{"SN003"});
    QCOMPARE(o.value("results").toObject().value("success").toInt(), 2);
    QCOMPARE(o.value("malformedLines").toObject().value("count").toInt(), 1);

    out.clear();
    QCOMPARE(flash::runReport({}, false, outStream, errStream), 2);
    QVERIFY(out.isEmpty());
}

// Through the program: a wait for a writer would hang it, and it is then killed.
void TestShiftReport::fifoWithoutWriter()
{
    const QString fifo = path("nobody.fifo");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    FlashRun run({QStringLiteral("--report"), QStringLiteral("--json"), fifo});
    run.start();
    QVERIFY(run.wait(10000));
    QCOMPARE(run.exitCode(), 0);
    const QList<QJsonObject> objects = run.jsonLines();
    QCOMPARE(objects.size(), 1);
    QCOMPARE(objects.first().value("attempts").toInt(), 0);
    QCOMPARE(objects.first().value("emptyFifos").toArray(), QJsonArray{fifo});
    QVERIFY2(run.err().contains(": a FIFO with no writer, read as empty"), run.err().constData());
}

// As `--report <(zcat old.jsonl.gz)`: the lines come in parts, the pipe is read to its end.
void TestShiftReport::pipeWithWriter()
{
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    const QByteArray all(kStation1);
    const int half = all.indexOf('\n', all.size() / 2) + 1;
    bool written = true;
    std::thread writer([&] {
        for (const QByteArray &part : {all.left(half), all.mid(half)}) {
            QTest::qSleep(300);
            written &= ::write(fds[1], part.constData(), size_t(part.size())) == part.size();
        }
        ::close(fds[1]);
    });
    const flash::ShiftReport r = flash::readRecords({QStringLiteral("/dev/fd/%1").arg(fds[0])});
    writer.join();
    ::close(fds[0]);
    QVERIFY(written);
    QVERIFY(r.unreadable.isEmpty());
    QVERIFY(r.emptyFifos.isEmpty());
    QCOMPARE(r.attempts, 8);
    QCOMPARE(r.malformedCount, 1);
}

void TestShiftReport::stableNames_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("expected");
    QTest::newRow("two names") << "dev/ttyUSB0"
                               << "by-path: pci-0000:00:14.0-usb-0:2:1.0-port0  by-id: usb-FTDI_A";
    QTest::newRow("link to a link") << "dev/ttyUSB1"
                                    << "by-path: pci-0000:00:14.0-usb-0:3:1.0-port0  by-id: "
                                       "usb-FTDI_B, usb-FTDI_C";
    QTest::newRow("by one of its names") << "serial/by-id/usb-FTDI_A"
                                         << "by-path: pci-0000:00:14.0-usb-0:2:1.0-port0  by-id: "
                                            "usb-FTDI_A";
    QTest::newRow("no names") << "dev/ttyACM0"
                              << "";
    QTest::newRow("absent port") << "dev/ttyUSB9"
                                 << "";
}

void TestShiftReport::stableNames()
{
    QFETCH(QString, port);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QDir root(dir.path());
    QVERIFY(root.mkpath("dev") && root.mkpath("serial/by-path") && root.mkpath("serial/by-id"));
    for (const char *device : {"dev/ttyUSB0", "dev/ttyUSB1", "dev/ttyACM0"})
        QVERIFY(writeFile(root.filePath(device), {}));
    QVERIFY(writeFile(root.filePath("serial/by-id/not-a-link"), {}));
    const QList<QPair<QString, QString>> links{
        {"../../dev/ttyUSB0", "by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"},
        {"../../dev/ttyUSB0", "by-id/usb-FTDI_A"},
        {root.filePath("dev/ttyUSB1"), "by-id/usb-FTDI_B"},
        {"usb-FTDI_B", "by-id/usb-FTDI_C"},
        {"../by-id/usb-FTDI_C", "by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"},
        {"../../dev/ttyUSB9", "by-id/usb-gone"}};
    for (const auto &link : links) {
        const QByteArray name = QFile::encodeName(root.filePath("serial/" + link.second));
        QCOMPARE(::symlink(QFile::encodeName(link.first).constData(), name.constData()), 0);
    }
    const ports::StableNameMap map = ports::readStableNames(root.filePath("serial"));
    QCOMPARE(map.size(), 2);
    const ports::StableNames names = ports::stableNamesOf(map, root.filePath(port));
    QCOMPARE(ports::stableNamesText(names), expected);
    for (const QString &link : names.byPath + names.byId)
        QVERIFY(link.startsWith(root.filePath("serial/by-")));
}

void TestShiftReport::stableNamesAbsent()
{
    QTemporaryDir dir;
    QVERIFY(ports::readStableNames(dir.filePath("serial")).isEmpty());
}

QTEST_GUILESS_MAIN(TestShiftReport)
void TestShiftReport::byStationAndJob_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QStringList>("stations"); // "name attempts failed"
    QTest::addColumn<QStringList>("jobs"); // "name station attempts passes failed devices quantity"

    const QByteArray j1 = R"({"station":"east","job":"WO-1","quantity":3,"result":)";
    QTest::newRow("no line names a station or a job")
        << QByteArray(R"({"serialNumber":"S1","result":"success"})") << QStringList()
        << QStringList();
    // S1 passes twice and counts once; S2 is known only after its restart; a line without a
    // serial number passes but belongs to no device.
    QTest::newRow("one job, devices counted once")
        << j1 + R"("success","serialNumber":"S1","id":"first"}
)" + j1 + R"("success","serialNumber":"S1","id":"again"}
)" + j1 + R"("success","serialNumber":null,"serialNumberAfter":"S2"}
)" + j1 + R"("success"}
)" + j1 + R"("refused","serialNumber":"S3"}
)" + R"({"serialNumber":"S9","result":"noAnswer"})"
        << QStringList{" 1 1", "east 5 1"} << QStringList{"WO-1 east 5 4 1 2 3"};
    QTest::newRow("two jobs, the larger quantity, one without")
        << QByteArray(
               R"({"station":"west","job":"WO-2","quantity":2,"serialNumber":"A","result":"success"}
{"station":"west","job":"WO-2","quantity":5,"serialNumber":"B","result":"skipped"}
{"station":"west","job":"WO-3","quantity":null,"serialNumber":"A","result":"success"})")
        << QStringList{"west 3 0"} << QStringList{"WO-2 west 2 1 0 1 5", "WO-3 west 1 1 0 1 0"};
}

void TestShiftReport::byStationAndJob()
{
    QFETCH(QByteArray, lines);
    QFETCH(QStringList, stations);
    QFETCH(QStringList, jobs);
    QVERIFY(writeFile(path("jobs.jsonl"), lines + '\n'));
    const flash::ShiftReport r = flash::readRecords({path("jobs.jsonl")});
    QStringList gotStations;
    for (const flash::GroupStats &g : r.stations)
        gotStations << QStringLiteral("%1 %2 %3").arg(g.name).arg(g.attempts).arg(g.failed);
    QCOMPARE(gotStations, stations);
    QStringList gotJobs;
    for (const flash::JobStats &j : r.jobs)
        gotJobs << QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                       .arg(j.job, j.station)
                       .arg(j.attempts)
                       .arg(j.passes)
                       .arg(j.failed)
                       .arg(j.devicesPassed)
                       .arg(j.quantity);
    QCOMPARE(gotJobs, jobs);
    // The JSON has them only where lines name them.
    const QJsonObject o = flash::reportJson(r);
    QCOMPARE(o.contains(QStringLiteral("stations")), !stations.isEmpty());
    QCOMPARE(o.value(QStringLiteral("jobs")).toArray().size(), jobs.size());
}

#include "tst_shiftreport.moc"
