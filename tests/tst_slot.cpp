#include "protocol.h"
#include "slot.h"
#include "slotscript.h"
#include "testimage.h"

#include <QtTest>

#include <algorithm>

using flash::SlotState;

namespace {

flash::SessionConfig config(const QString &options)
{
    flash::SessionConfig c;
    c.baud = options.contains(QLatin1String("115200")) ? protocol::kFastBaud : protocol::kSlowBaud;
    c.image = testimage::image("PM-100", 2 * protocol::kBlockSize);
    c.verify = options.contains(QLatin1String("verify"));
    if (options.contains(QLatin1String("skip")))
        c.skipIfVersion = QStringLiteral("V1.0.0");
    return c;
}

int updateCommands(const QVector<Written> &writes)
{
    return int(std::count_if(writes.begin(), writes.end(), [](const Written &w) {
        return w.bytes == protocol::updateCommand();
    }));
}

} // namespace

class TestSlot : public QObject
{
    Q_OBJECT

private slots:
    void visits_data();
    void visits();
    void departureProbeKeepsDeviceAndFindsItGone_data();
    void departureProbeKeepsDeviceAndFindsItGone();
};

void TestSlot::visits_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<bool>("pathAtStart");
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("records");
    QTest::addColumn<int>("updates");
    QTest::addColumn<QString>("finalState");

    const QString sn1 = QStringLiteral("success SN0001");
    QTest::newRow("arrival by path, device stays: one update")
        << "" << false << "1000 plug" << sn1 << 1 << "PASS SN0001 V1.0.0";
    QTest::newRow("departure by vanishing, re-insert is a new visit")
        << "" << false << "1000 plug; 20000 unplug; 25000 plug" << sn1 + "," + sn1 << 2
        << "PASS SN0001 V1.0.0";
    QTest::newRow("unplugged during the transfer") << "" << false << "1000 plug; 3500 unplug"
                                                   << "portLost SN0001" << 1 << "empty";
    QTest::newRow("arrival by answering; empty-slot probes are no attempts")
        << "115200" << true << "45000 on" << sn1 << 1 << "PASS SN0001 V1.0.0";
    QTest::newRow("nothing comes") << "" << true << ""
                                   << "" << 0 << "empty";
    QTest::newRow("silent again later: a second visit")
        << "" << true << "0 on; 40000 off; 50000 on" << sn1 + "," + sn1 << 2
        << "PASS SN0001 V1.0.0";
    QTest::newRow("swap faster than the probe")
        << "" << true << "0 on; 20000 swap SN0002" << sn1 + ",success SN0002" << 2
        << "PASS SN0002 V1.0.0";
    QTest::newRow("FAIL held while the device stays")
        << "" << true << "0 on SN0001 refuse"
        << "refused SN0001" << 1 << "FAIL the device refused frame 1 of 2";
    QTest::newRow("skipped device waits to be taken out") << "skip" << true << "0 on"
                                                          << "skipped SN0001" << 0 << "SKIP V1.0.0";
    QTest::newRow("restart without verify: silence is no departure")
        << "" << true << "0 on; 4000 off; 12000 on" << sn1 << 1 << "PASS SN0001 V1.0.0";
    QTest::newRow("verify: the port vanishes and comes back during the restart")
        << "verify" << false << "1000 plug; 5000 vanish; 7000 appear" << sn1 << 1
        << "PASS SN0001 V1.1.0";
    QTest::newRow("in use by another program, then free")
        << "" << false << "0 busy; 100 plug; 5000 free" << sn1 << 1 << "PASS SN0001 V1.0.0";
    QTest::newRow("still in use") << "" << false << "0 busy; 100 plug"
                                  << "" << 0 << "in use by another program";
    QTest::newRow("cancel during the transfer is recorded")
        << "" << true << "0 on; 2400 cancel"
        << "cancelled SN0001" << 1
        << "FAIL cancelled after 1 of 2 frames; the device waits for firmware";
    QTest::newRow("stop during a transfer lets it finish")
        << "" << true << "0 on; 2200 stop; 20000 swap SN0002" << sn1 << 1 << "PASS SN0001 V1.0.0";
    QTest::newRow("stopped: a new port is no device to take")
        << "" << false << "100 stop; 1000 plug"
        << "" << 0 << "remove device";
}

void TestSlot::visits()
{
    QFETCH(QString, options);
    QFETCH(bool, pathAtStart);
    QFETCH(QString, plan);
    QFETCH(QString, records);
    QFETCH(int, updates);
    QFETCH(QString, finalState);

    SlotScript s(config(options), pathAtStart, plan);
    s.run(90 * 1000);
    QCOMPARE(s.records.join(QLatin1Char(',')), records);
    QCOMPARE(updateCommands(s.writes), updates);
    QCOMPARE(s.slot().stateText(s.nowUs()), finalState);
    QCOMPARE(s.slot().counts().verdicts(), s.records.size());
    // A stopped slot lets its port go and plans nothing more.
    if (plan.contains(QLatin1String("stop")) || plan.contains(QLatin1String("cancel")))
        QVERIFY(s.slot().idle());
}

void TestSlot::departureProbeKeepsDeviceAndFindsItGone_data()
{
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<qint32>("probeBaud");
    QTest::addColumn<int>("readyWithinMs");

    // A device with its firmware answers the short handshake; one left waiting for firmware only
    // the 115200 one.
    QTest::newRow("passed device") << false << protocol::kSlowBaud << 7100;
    QTest::newRow("failed device, waiting for firmware") << true << protocol::kFastBaud << 21500;
}

void TestSlot::departureProbeKeepsDeviceAndFindsItGone()
{
    QFETCH(bool, refuse);
    QFETCH(qint32, probeBaud);
    QFETCH(int, readyWithinMs);

    // Removed at points all over a probe cycle, after the restart window.
    const QString device = refuse ? QStringLiteral("SN0001 refuse") : QStringLiteral("SN0001");
    for (int removedAt = 40000; removedAt < 40000 + 11000; removedAt += 250) {
        SlotScript s(config(QString()), true,
                     QStringLiteral("0 on %1; %2 off").arg(device).arg(removedAt));
        s.run(removedAt);
        QCOMPARE(s.records.size(), 1);
        // While it stayed, probes at their rate went out, never the update command.
        QCOMPARE(updateCommands(s.writes), 1);
        const bool fast = std::any_of(s.writes.begin(), s.writes.end(), [](const Written &w) {
            return w.atMs > 10000 && w.baud == protocol::kFastBaud;
        });
        QCOMPARE(fast, probeBaud == protocol::kFastBaud);
        QVERIFY(s.slot().state() != SlotState::Empty);

        s.run(removedAt + 60000);
        const auto ready = std::find_if(s.states.begin(), s.states.end(), [&](const auto &st) {
            return st.first >= removedAt && st.second == SlotState::Empty;
        });
        QVERIFY(ready != s.states.end());
        QVERIFY2(
            ready->first - removedAt <= readyWithinMs,
            qPrintable(
                QStringLiteral("removed at %1, ready at %2").arg(removedAt).arg(ready->first)));
        QCOMPARE(s.records.size(), 1);

        // Silent for 3 s, shorter than two probes: one lost answer is no departure.
        SlotScript blip(config(QString()), true,
                        QStringLiteral("0 on %1; %2 off; %3 on")
                            .arg(device)
                            .arg(removedAt)
                            .arg(removedAt + 3000));
        blip.run(removedAt + 40000);
        QCOMPARE(blip.records.size(), 1);
    }
}

QTEST_GUILESS_MAIN(TestSlot)
#include "tst_slot.moc"
