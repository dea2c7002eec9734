#include "devicesim.h"
#include "flashrun.h"
#include "windowdriver.h"
#include "protocol.h"
#include "testimage.h"

#include <QHash>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

#include <cstdio>
#include <sys/file.h>

// The real binary as a station against simulated devices that come and go at stable paths, at
// 9600 with a two-frame image to stay short.
class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void statusesAndSlotField();
    void interrupted_data();
    void interrupted();
    void recordLockHeld_data();
    void recordLockHeld();
    void recordRemoved_data();
    void recordRemoved();
    void leftInAfterItsUpdate();
    void samePortAsAnotherSlot();
    void jobRestartedContinuesTheCount();
    void jobFlashesThePinnedImage();

private:
    // A job file of the slots, written by the program itself; its name is unique on the machine.
    QString writeJob(const QStringList &slotPaths, int quantity);
    int jobEvents(const FlashRun &run, const QString &name, const QString &text) const;
    DeviceSimulator *device(const QByteArray &serial, const QString &link);
    QStringList stationArguments(const QStringList &slotPaths, int stopAfter,
                                 const QString &baud = QStringLiteral("9600")) const;
    QStringList slotStates(const FlashRun &run, const QString &slot) const;
    int events(const FlashRun &run, const QString &name) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_image;
    QString m_record;
    QList<DeviceSimulator *> m_devices;
    QHash<DeviceSimulator *, int> m_transfers;
};

void TestStation::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_image = m_dir->filePath(QStringLiteral("tiny.bin"));
    QVERIFY(testimage::write(m_image, testimage::image("PM-100", 200)));
    m_record = m_dir->filePath(QStringLiteral("record.jsonl"));
}

void TestStation::cleanup()
{
    qDeleteAll(m_devices);
    m_devices.clear();
    m_transfers.clear();
    m_dir.reset();
}

DeviceSimulator *TestStation::device(const QByteArray &serial, const QString &link)
{
    auto *d = new DeviceSimulator;
    d->setIdentity("PM-100", serial, "1.0");
    d->setLinkPath(link);
    connect(d, &DeviceSimulator::transferFinished, this, [this, d] { ++m_transfers[d]; });
    m_devices << d;
    return d;
}

QStringList TestStation::stationArguments(const QStringList &slotPaths, int stopAfter,
                                          const QString &baud) const
{
    QStringList args{QStringLiteral("--station"),
                     QStringLiteral("--image"),
                     m_image,
                     QStringLiteral("--baud"),
                     baud,
                     QStringLiteral("--json"),
                     QStringLiteral("--record"),
                     m_record};
    for (const QString &slot : slotPaths)
        args << QStringLiteral("--port") << slot;
    if (stopAfter > 0)
        args << QStringLiteral("--stop-after") << QString::number(stopAfter);
    return args;
}

// "state text" of each slot event of one slot.
QStringList TestStation::slotStates(const FlashRun &run, const QString &slot) const
{
    QStringList states;
    for (const QJsonObject &o : run.jsonLines()) {
        if (o.value(QStringLiteral("event")).toString() == QStringLiteral("slot") &&
            o.value(QStringLiteral("slot")).toString() == slot)
            states << o.value(QStringLiteral("state")).toString() + QLatin1Char(' ') +
                          o.value(QStringLiteral("text")).toString();
    }
    return states;
}

int TestStation::events(const FlashRun &run, const QString &name) const
{
    int n = 0;
    for (const QJsonObject &o : run.jsonLines())
        n += o.value(QStringLiteral("event")).toString() == name;
    return n;
}

// A device that passes and one for another product, each in its slot: the station's status is
// 13, and each record line names its slot; each slot shows its verdict until the device leaves.
// The slot's own rules (visits, probes, swaps) are tst_slot's, on a virtual clock.
void TestStation::statusesAndSlotField()
{
    const QString slotA = m_dir->filePath(QStringLiteral("slotA"));
    const QString slotB = m_dir->filePath(QStringLiteral("slotB"));
    QVERIFY(device("SA1", slotA)->plug());
    DeviceSimulator *other = device("SB1", slotB);
    other->setIdentity("PM-999", "SB1", "1.0");
    QVERIFY(other->plug());
    FlashRun run(stationArguments({slotA, slotB}, 2));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 13);
    QHash<QString, QString> results; // slot -> result
    for (const QJsonObject &line : readJsonLines(m_record))
        results.insert(line.value(QStringLiteral("slot")).toString(),
                       line.value(QStringLiteral("result")).toString());
    QCOMPARE(results.value(slotA), QStringLiteral("success"));
    QCOMPARE(results.value(slotB), QStringLiteral("wrongProduct"));
    QCOMPARE(results.size(), 2);
    QVERIFY(slotStates(run, slotA).last().startsWith(QStringLiteral("pass PASS SA1")));
    QVERIFY(slotStates(run, slotB).last().startsWith(QStringLiteral("fail FAIL")));
}

void TestStation::interrupted_data()
{
    QTest::addColumn<bool>("deviceCame");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("recordLines");
    QTest::newRow("nothing came") << false << 0 << 0;
    QTest::newRow("during a transfer") << true << 130 << 1;
}

void TestStation::interrupted()
{
    QFETCH(bool, deviceCame);
    QFETCH(int, status);
    QFETCH(int, recordLines);
    const QString slot = m_dir->filePath(QStringLiteral("slot"));
    // Long enough at 9600 (80 frames, about 15 s) to be stopped in the middle.
    QVERIFY(testimage::write(m_image, testimage::image("PM-100", 10240)));
    if (deviceCame)
        QVERIFY(device("SI1", slot)->plug());
    FlashRun run(stationArguments({slot}, 0));
    run.start();
    if (deviceCame)
        QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("progress")) > 0, 20000);
    else
        QTest::qWait(1000);
    run.interrupt();
    QVERIFY(run.wait(10000));
    QCOMPARE(run.exitCode(), status);
    const QList<QJsonObject> lines = readJsonLines(m_record);
    QCOMPARE(lines.size(), recordLines);
    if (recordLines > 0)
        QCOMPARE(lines.first().value(QStringLiteral("result")).toString(),
                 QStringLiteral("cancelled"));
}

namespace {

// The lines the program gave up on, from standard error.
QList<QJsonObject> unwrittenLines(const QByteArray &err)
{
    const QByteArray prefix = "pelmar-flash: record not written: ";
    QByteArray lines;
    for (const QByteArray &line : err.split('\n')) {
        if (line.startsWith(prefix))
            lines += line.mid(prefix.size()) + '\n';
    }
    return parseJsonLines(lines);
}

QStringList serialsOf(const QList<QJsonObject> &lines)
{
    QStringList serials;
    for (const QJsonObject &o : lines)
        serials << o.value(QStringLiteral("serialNumber")).toString();
    serials.sort();
    return serials;
}

} // namespace

void TestStation::recordLockHeld_data()
{
    QTest::addColumn<bool>("station");
    QTest::newRow("station, stopped by Ctrl+C") << true;
    QTest::newRow("run, ending by itself") << false;
}

// Another program holds the record's lock all along: the frames, the second device and Ctrl+C go
// on; the lines that could not be written are on standard error.
void TestStation::recordLockHeld()
{
    QFETCH(bool, station);
    const QString slotA = m_dir->filePath(QStringLiteral("slotA"));
    const QString slotB = m_dir->filePath(QStringLiteral("slotB"));
    DeviceSimulator *b = device("SB1", slotB);
    QVERIFY(device("SA1", slotA)->plug());
    QFile other(m_record);
    QVERIFY(other.open(QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(::flock(other.handle(), LOCK_EX | LOCK_NB), 0);

    QStringList args = stationArguments({slotA, slotB}, 0);
    if (!station) {
        args.removeOne(QStringLiteral("--station"));
        QVERIFY(b->plug());
    }
    FlashRun run(args);
    run.start();
    if (station) {
        // Slot A's line waits for the lock; slot B's device comes only then.
        QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("recordWaiting")) == 1, 20000);
        QVERIFY(b->plug());
    }
    QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("result")) == 2, 20000);
    if (station)
        run.interrupt();
    QVERIFY(run.wait(20000));
    QCOMPARE(run.exitCode(), 12);
    QCOMPARE(serialsOf(unwrittenLines(run.err())), QStringList({"SA1", "SB1"}));
    QVERIFY(::flock(other.handle(), LOCK_UN) == 0);
    // Nothing was started in the file: no part of a line is there.
    QCOMPARE(other.size(), 0);
}

void TestStation::recordRemoved_data()
{
    QTest::addColumn<bool>("replaced"); // by another file; otherwise removed
    QTest::newRow("removed") << false;
    QTest::newRow("replaced by another file") << true;
}

// Lines after a removal go to a file at the path, not into the removed one; said once.
void TestStation::recordRemoved()
{
    QFETCH(bool, replaced);
    const QString slot = m_dir->filePath(QStringLiteral("slot"));
    DeviceSimulator *d = device("SR1", slot);
    int probes = 0;
    connect(d, &DeviceSimulator::bytesReceived, this,
            [&probes](const QByteArray &bytes) { probes += bytes.count("info"); });
    QVERIFY(d->plug());
    FlashRun run(stationArguments({slot}, 3));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(readJsonLines(m_record).size() == 1, 20000);
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere.jsonl"));
    QFile file(elsewhere);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write("{\"result\":\"success\",\"serialNumber\":\"OTHER\"}\n") > 0);
    file.close();
    QVERIFY(replaced ? ::rename(QFile::encodeName(elsewhere).constData(),
                                QFile::encodeName(m_record).constData()) == 0
                     : QFile::remove(m_record));
    for (int visit = 2; visit <= 3; ++visit) {
        // Asked again after its update, the device has ended its restart: taking it out now is
        // a departure.
        const int before = probes;
        QTRY_VERIFY_WITH_TIMEOUT(probes > before, 10000);
        QTest::qWait(300);
        d->unplug();
        QTest::qWait(500); // a few path polls
        QVERIFY(d->plug());
        QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("result")) == visit, 20000);
    }
    QVERIFY(run.wait(20000));
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(serialsOf(readJsonLines(m_record)),
             replaced ? QStringList({"OTHER", "SR1", "SR1"}) : QStringList({"SR1", "SR1"}));
    QCOMPARE(run.err().count("was removed or replaced"), 1);
}

// Left in their slots well past the time a silent unit counts as gone (30 s): a unit that comes
// back from its restart waiting for firmware, and one that answers only at 115200. Each gets one
// update command and one record line.
void TestStation::leftInAfterItsUpdate()
{
    const QString slotA = m_dir->filePath(QStringLiteral("slotA"));
    const QString slotB = m_dir->filePath(QStringLiteral("slotB"));
    DeviceSimulator *a = device("SW1", slotA);
    a->setRestartAfterUpdate(2000, QByteArray());
    a->setComesBackWaiting(true);
    DeviceSimulator *b = device("SF1", slotB);
    b->setDeviceBaud(115200);
    QVERIFY(a->plug());
    QVERIFY(b->plug());
    FlashRun run(stationArguments({slotA, slotB}, 0, QStringLiteral("115200")));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("result")) == 2, 40000);
    QTest::qWait(45000);
    run.interrupt();
    QVERIFY(run.wait(15000));
    QCOMPARE(run.exitCode(), 13);

    for (DeviceSimulator *d : {a, b})
        QCOMPARE(d->receivedBytes().count(protocol::updateCommand()), 1);
    const QList<QJsonObject> records = readJsonLines(m_record);
    QCOMPARE(records.size(), 2);
    QHash<QString, QJsonObject> lines;
    for (const QJsonObject &line : records)
        lines.insert(line.value(QStringLiteral("slot")).toString(), line);
    QCOMPARE(lines.value(slotA).value(QStringLiteral("result")).toString(),
             QStringLiteral("cameBackWaiting"));
    QCOMPARE(lines.value(slotA).value(QStringLiteral("status")).toInt(), 14);
    QCOMPARE(lines.value(slotB).value(QStringLiteral("result")).toString(),
             QStringLiteral("success"));
    QCOMPARE(lines.value(slotB).value(QStringLiteral("serialNumberAfter")).toString(),
             QStringLiteral("SF1"));
    QVERIFY(
        slotStates(run, slotA).last().startsWith(QStringLiteral("fail FAIL came back waiting")));
    QVERIFY(slotStates(run, slotB).last().startsWith(QStringLiteral("pass PASS SF1")));
}

// Two slots whose names come to reach one port: the second says which slot has it.
void TestStation::samePortAsAnotherSlot()
{
    const QString slotA = m_dir->filePath(QStringLiteral("slotA"));
    const QString slotB = m_dir->filePath(QStringLiteral("slotB"));
    DeviceSimulator *d = device("SP1", slotA);
    FlashRun run(stationArguments({slotA, slotB}, 1));
    run.start();
    QTest::qWait(300);
    QVERIFY(d->plug());
    QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("connected")) == 1, 10000);
    QVERIFY(QFile::link(d->slavePath(), slotB));
    QVERIFY(run.wait(30000));
    QCOMPARE(run.exitCode(), 0);
    const QStringList states = slotStates(run, slotB);
    QVERIFY2(states.contains(QStringLiteral("samePort same port as slot 1")),
             qPrintable(states.join(QLatin1Char(','))));
    // Its last word stays true when the station stops.
    QCOMPARE(states.last(), QStringLiteral("samePort same port as slot 1"));
}

QTEST_MAIN(TestStation)
QString TestStation::writeJob(const QStringList &slotPaths, int quantity)
{
    const QString job = m_dir->filePath(QStringLiteral("job.json"));
    QStringList args{QStringLiteral("--write-job"),
                     job,
                     QStringLiteral("--job-name"),
                     QStringLiteral("WO-") + QUuid::createUuid().toString(QUuid::WithoutBraces),
                     QStringLiteral("--station-name"),
                     QStringLiteral("bench"),
                     QStringLiteral("--quantity"),
                     QString::number(quantity),
                     QStringLiteral("--image"),
                     m_image,
                     QStringLiteral("--baud"),
                     QStringLiteral("9600"),
                     QStringLiteral("--record"),
                     m_record};
    for (const QString &slot : slotPaths)
        args << QStringLiteral("--port") << slot;
    FlashRun run(args);
    if (!run.finish() || run.exitCode() != 0)
        qWarning("--write-job failed: %s", run.err().constData());
    return job;
}

int TestStation::jobEvents(const FlashRun &run, const QString &name, const QString &text) const
{
    int n = 0;
    for (const QJsonObject &o : run.jsonLines())
        n += o.value(QStringLiteral("event")).toString() == name &&
             o.value(QStringLiteral("text")).toString().contains(text);
    return n;
}

// Stopped after one of two passes, started again with that device still in: it is not updated
// again nor counted twice; the second device completes the job, and the station ends by itself.
void TestStation::jobRestartedContinuesTheCount()
{
    const QString slotA = m_dir->filePath(QStringLiteral("slotA"));
    const QString slotB = m_dir->filePath(QStringLiteral("slotB"));
    const QString job = writeJob({slotA, slotB}, 2);
    DeviceSimulator *a = device("SJ1", slotA);
    QVERIFY(a->plug());
    FlashRun first({QStringLiteral("--job"), job, QStringLiteral("--json")});
    first.start();
    QTRY_VERIFY_WITH_TIMEOUT(readJsonLines(m_record).size() == 1, 20000);
    first.interrupt();
    QVERIFY(first.wait(10000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(jobEvents(first, QStringLiteral("jobComplete"), QString()), 0);

    QVERIFY(device("SJ2", slotB)->plug());
    FlashRun second({QStringLiteral("--job"), job, QStringLiteral("--json")});
    QVERIFY(second.finish());
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(
        jobEvents(second, QStringLiteral("jobComplete"), QStringLiteral("job complete: 2 of 2")),
        1);
    QStringList lines;
    for (const QJsonObject &r : readJsonLines(m_record)) {
        lines << r.value(QStringLiteral("result")).toString() + QLatin1Char(' ') +
                     r.value(QStringLiteral("serialNumber")).toString();
        QCOMPARE(r.value(QStringLiteral("station")).toString(), QStringLiteral("bench"));
        QVERIFY(r.value(QStringLiteral("job")).toString().startsWith(QLatin1String("WO-")));
        QCOMPARE(r.value(QStringLiteral("jobSha256")).toString().size(), 64);
        QCOMPARE(r.value(QStringLiteral("quantity")).toInt(), 2);
        QVERIFY(r.value(QStringLiteral("slotPath")).toString().startsWith(QLatin1String("/dev/")));
    }
    lines.sort();
    QCOMPARE(lines, QStringList({"skipped SJ1", "success SJ1", "success SJ2"}));
    QCOMPARE(m_transfers.value(a), 1);
}

// The image replaced on disk after the start: the device still gets the bytes read at the
// start, byte for byte, and the station says once that the file changed.
void TestStation::jobFlashesThePinnedImage()
{
    const QString slot = m_dir->filePath(QStringLiteral("slot"));
    const QByteArray pinned = testimage::image("PM-100", 200);
    const QString job = writeJob({slot}, 1);
    FlashRun run({QStringLiteral("--job"), job, QStringLiteral("--json")});
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("job")) == 1, 10000);
    // The same size, other bytes: only a hash tells them apart.
    QVERIFY(testimage::write(m_image, testimage::image("PM-100", 200, 7)));
    QTRY_VERIFY_WITH_TIMEOUT(events(run, QStringLiteral("imageChanged")) == 1, 10000);
    QVERIFY(testimage::write(m_image, testimage::image("PM-100", 300, 9)));
    DeviceSimulator *d = device("SP1", slot);
    QVERIFY(d->plug());
    QVERIFY(run.wait(30000));
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(d->receivedImage(), paddedPayload(pinned.mid(protocol::kNameFieldSize)));
    QCOMPARE(events(run, QStringLiteral("imageChanged")), 1);
    QCOMPARE(readJsonLines(m_record).size(), 1);
}

#include "tst_station.moc"
