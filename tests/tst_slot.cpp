#include "protocol.h"
#include "slot.h"
#include "slotscript.h"
#include "slotwords.h"
#include "quota.h"
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
    if (options.contains(QLatin1String("attempts")))
        c.attempts = 3;
    return c;
}

int updateCommands(const QVector<Written> &writes)
{
    return int(std::count_if(writes.begin(), writes.end(), [](const Written &w) {
        return w.bytes == protocol::updateCommand();
    }));
}

void visitColumns()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<bool>("pathAtStart");
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("records");
    QTest::addColumn<int>("updates");
    QTest::addColumn<QString>("finalState");
}

} // namespace

class TestSlot : public QObject
{
    Q_OBJECT

private slots:
    void visits_data();
    void visits();
    void leftInTheSlot_data();
    void leftInTheSlot();
    void departureProbeKeepsDeviceAndFindsItGone_data();
    void departureProbeKeepsDeviceAndFindsItGone();
    void attemptClockStartsAtTheAnsweredProbe_data();
    void attemptClockStartsAtTheAnsweredProbe();
    void jobQuotaAcrossThreeSlots_data();
    void jobQuotaAcrossThreeSlots();
};

void TestSlot::visits_data()
{
    visitColumns();

    const QString sn1 = QStringLiteral("success SN0001");
    QTest::newRow("arrival by path, device stays: one update")
        << "" << false << "1000 plug" << sn1 << 1 << "PASS SN0001 V1.1.0";
    QTest::newRow("departure by vanishing, re-insert is a new visit")
        << "" << false << "1000 plug; 20000 unplug; 25000 plug" << sn1 + "," + sn1 << 2
        << "PASS SN0001 V1.1.0";
    QTest::newRow("unplugged during the transfer") << "" << false << "1000 plug; 3500 unplug"
                                                   << "portLost SN0001" << 1 << "empty";
    QTest::newRow("arrival by answering; empty-slot probes are no attempts")
        << "115200" << true << "45000 on" << sn1 << 1 << "PASS SN0001 V1.1.0";
    QTest::newRow("nothing comes") << "" << true << ""
                                   << "" << 0 << "empty";
    QTest::newRow("silent longer than a restart: a second visit")
        << "" << true << "0 on; 40000 off; 80000 on" << sn1 + "," + sn1 << 2
        << "PASS SN0001 V1.1.0";
    QTest::newRow("swap faster than the probe")
        << "" << true << "0 on; 20000 swap SN0002" << sn1 + ",success SN0002" << 2
        << "PASS SN0002 V1.1.0";
    QTest::newRow("FAIL held while the device stays")
        << "" << true << "0 on SN0001 refuse"
        << "refused SN0001" << 1 << "FAIL the device refused frame 1 of 2";
    QTest::newRow("skipped device waits to be taken out") << "skip" << true << "0 on"
                                                          << "skipped SN0001" << 0 << "SKIP V1.0.0";
    QTest::newRow("restart: silence is no departure")
        << "" << true << "0 on; 4000 off; 12000 on" << sn1 << 1 << "PASS SN0001";
    QTest::newRow("verify: the port vanishes and comes back during the restart")
        << "verify" << false << "1000 plug; 5000 vanish; 7000 appear" << sn1 << 1
        << "PASS SN0001 V1.1.0";
    QTest::newRow("in use by another program, then free")
        << "" << false << "0 busy; 100 plug; 5000 free" << sn1 << 1 << "PASS SN0001 V1.1.0";
    QTest::newRow("still in use") << "" << false << "0 busy; 100 plug"
                                  << "" << 0 << "in use by another program";
    QTest::newRow("cancel during the transfer is recorded")
        << "" << true << "0 on; 2400 cancel"
        << "cancelled SN0001" << 1
        << "FAIL cancelled after 1 of 2 frames; the device waits for firmware";
    QTest::newRow("stop during a transfer lets it finish")
        << "" << true << "0 on; 2200 stop; 20000 swap SN0002" << sn1 << 1 << "PASS SN0001 V1.1.0";
    QTest::newRow("stopped: a new port is no device to take")
        << "" << false << "100 stop; 1000 plug"
        << "" << 0 << "remove device";
    // At a stop the last word stays true: a unit found but not identified is still there.
    QTest::newRow("stopped while identifying") << "" << false << "1000 plug; 2000 stop"
                                               << "" << 0 << "remove device";
    QTest::newRow("stopped while in use") << "" << false << "0 busy; 100 plug; 3000 stop"
                                          << "" << 0 << "in use by another program";
}

void TestSlot::visits()
{
    QFETCH(QString, options);
    QFETCH(bool, pathAtStart);
    QFETCH(QString, plan);
    QFETCH(QString, records);
    QFETCH(int, updates);
    QFETCH(QString, finalState);

    const flash::SessionConfig slotConfig = config(options);
    SlotScript s(slotConfig, pathAtStart, plan);
    s.run(10 * 60 * 1000); // ten minutes left in the slot
    QCOMPARE(s.records.join(QLatin1Char(',')), records);
    QCOMPARE(updateCommands(s.writes), updates);
    const QString shown = flash::slotStateText(
        s.slot(), s.nowUs(),
        {slotConfig.baud, slotConfig.paceMs, slotConfig.image.size() - protocol::kNameFieldSize});
    QVERIFY2(shown.startsWith(finalState), qPrintable(shown));
    QCOMPARE(s.slot().counts().verdicts(), s.records.size());
    // A stopped slot lets its port go and plans nothing more.
    if (plan.contains(QLatin1String("stop")) || plan.contains(QLatin1String("cancel")))
        QVERIFY(s.slot().idle());
}

void TestSlot::leftInTheSlot_data()
{
    visitColumns();
    const QString sn1 = QStringLiteral("success SN0001");

    // Left in for minutes, whatever the unit does: never a second update in one visit.
    QTest::newRow("comes back waiting for firmware")
        << "115200" << true << "0 on SN0001 back-waiting"
        << "cameBackWaiting SN0001" << 1
        << "FAIL came back waiting for firmware: the new firmware did not start";
    QTest::newRow("comes back waiting for firmware, at 9600")
        << "" << true << "0 on SN0001 back-waiting"
        << "cameBackWaiting SN0001" << 1
        << "FAIL came back waiting for firmware: the new firmware did not start";
    QTest::newRow("answers only at 115200")
        << "115200" << true << "0 on SN0001 fast-only" << sn1 << 1 << "PASS SN0001 V1.1.0";
    QTest::newRow("new serial format after the restart")
        << "" << true << "0 on SN0001 back-as:SN0009"
        << "verifyFailed SN0001" << 1 << "FAIL serial number was SN0001, now SN0009";
    QTest::newRow("power blip after PASS")
        << "" << true << "0 on; 40000 off; 49000 on" << sn1 << 1 << "PASS SN0001 V1.1.0";
    QTest::newRow("power blip after FAIL")
        << "" << true << "0 on SN0001 refuse; 40000 off; 49000 on"
        << "refused SN0001" << 1 << "FAIL the device refused frame 1 of 2";
    QTest::newRow("FAIL at 115200 held while the unit waits for firmware")
        << "115200" << true << "0 on SN0001 refuse"
        << "refused SN0001" << 1 << "FAIL the device refused frame 1 of 2";
    // The safe side: a unit seated while another restarts is never updated in that visit.
    QTest::newRow("swap during the verify restart")
        << "verify" << true << "0 on; 4000 swap SN0009"
        << "verifyFailed SN0001" << 1 << "FAIL serial number was SN0001, now SN0009";
    QTest::newRow("swap during the restart")
        << "" << true << "0 on; 4000 swap SN0009"
        << "verifyFailed SN0001" << 1 << "FAIL serial number was SN0001, now SN0009";
}

// As a visit, with the unit left in whatever it does.
void TestSlot::leftInTheSlot()
{
    visits();
}

void TestSlot::departureProbeKeepsDeviceAndFindsItGone_data()
{
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<qint32>("probeBaud");
    QTest::addColumn<int>("readyFromMs");
    QTest::addColumn<int>("readyWithinMs");

    // A device with its firmware answers the short handshake; one left waiting for firmware only
    // the 115200 one. Gone after more than 30 s without a byte, both rates probed twice: the last
    // byte came up to 2.5 s (an identity) or 4.8 s (a bootloader's NAK) before the removal, and
    // the probe in which the 30 s pass is a short one (2.03 s and its gap).
    QTest::newRow("passed device") << false << protocol::kSlowBaud << 27500 << 32600;
    QTest::newRow("failed device, waiting for firmware")
        << true << protocol::kFastBaud << 25200 << 32600;
}

void TestSlot::departureProbeKeepsDeviceAndFindsItGone()
{
    QFETCH(bool, refuse);
    QFETCH(qint32, probeBaud);
    QFETCH(int, readyFromMs);
    QFETCH(int, readyWithinMs);

    // Removed at points all over a probe cycle, after the restart.
    const QString device = refuse ? QStringLiteral("SN0001 refuse") : QStringLiteral("SN0001");
    qint64 fastest = 1 << 30;
    qint64 slowest = 0;
    for (int removedAt = 40000; removedAt < 40000 + 15000; removedAt += 250) {
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
        fastest = qMin(fastest, ready->first - removedAt);
        slowest = qMax(slowest, ready->first - removedAt);
        QCOMPARE(s.records.size(), 1);

        // Silent for 25 s, as a long power blip: still the same visit.
        SlotScript blip(config(QString()), true,
                        QStringLiteral("0 on %1; %2 off; %3 on")
                            .arg(device)
                            .arg(removedAt)
                            .arg(removedAt + 25000));
        blip.run(removedAt + 120000);
        QCOMPARE(blip.records.size(), 1);
        QCOMPARE(updateCommands(blip.writes), 1);
    }
    qInfo("removal to slot ready: %lld ms to %lld ms", fastest, slowest);
    QVERIFY(fastest >= readyFromMs);
    QVERIFY(slowest <= readyWithinMs);
}

void TestSlot::attemptClockStartsAtTheAnsweredProbe_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<bool>("pathAtStart");
    QTest::addColumn<int>("arrivalMs");
    QTest::addColumn<int>("attemptMs"); // one handshake attempt, unanswered

    // Sessions of several attempts each: the ones nobody answered are not the unit's time.
    QTest::newRow("fixed port, 115200") << "115200 attempts" << true << 45000 << 10200;
    QTest::newRow("fixed port, 9600") << "attempts" << true << 45000 << 2030;
    QTest::newRow("hot-plug") << "attempts" << false << 45000 << 0;
}

void TestSlot::attemptClockStartsAtTheAnsweredProbe()
{
    QFETCH(QString, options);
    QFETCH(bool, pathAtStart);
    QFETCH(int, arrivalMs);
    QFETCH(int, attemptMs);

    const QString verb = pathAtStart ? QStringLiteral("on") : QStringLiteral("plug");
    SlotScript s(config(options), pathAtStart, QStringLiteral("%1 %2").arg(arrivalMs).arg(verb));
    s.run(arrivalMs + 60000);
    QCOMPARE(s.records.size(), 1);
    const qint64 startMs = s.slot().attemptStartUs() / 1000;
    QVERIFY2(startMs >= arrivalMs - attemptMs && startMs <= arrivalMs,
             qPrintable(QStringLiteral("the attempt starts at %1").arg(startMs)));
}

QTEST_GUILESS_MAIN(TestSlot)
#include "tst_slot.moc"

void TestSlot::jobQuotaAcrossThreeSlots_data()
{
    QTest::addColumn<int>("quantity");
    QTest::addColumn<QString>("passedBefore");
    QTest::addColumn<QStringList>("plans");   // one per slot
    QTest::addColumn<QStringList>("records"); // per slot
    QTest::addColumn<QStringList>("shown");   // per slot, the start of its last word
    QTest::addColumn<int>("passed");
    QTest::addColumn<int>("waited"); // slots that showed "waiting for a place"

    const QString a = QStringLiteral("success SN0001");
    const QString b = QStringLiteral("success SN0002");
    const QString c = QStringLiteral("success SN0003");
    QTest::newRow("three devices, quantity 2: the third waits, then the job is complete")
        << 2 << "" << QStringList{"0 on SN0001", "0 on SN0002", "0 on SN0003"}
        << QStringList{a, b, ""}
        << QStringList{"PASS SN0001", "PASS SN0002", "job complete \u2014 remove device"} << 2 << 1;
    QTest::newRow("a failure frees its place for the waiting device")
        << 2 << "" << QStringList{"0 on SN0001 refuse", "0 on SN0002", "0 on SN0003"}
        << QStringList{"refused SN0001", b, c} << QStringList{"FAIL", "PASS SN0002", "PASS SN0003"}
        << 2 << 1;
    QTest::newRow("a device passed before is skipped and not counted twice")
        << 3 << "SN0001" << QStringList{"0 on SN0001", "0 on SN0002", ""}
        << QStringList{"skipped SN0001", b, ""}
        << QStringList{"ALREADY DONE SN0001", "PASS SN0002", "empty"} << 2 << 0;
    QTest::newRow("the count from the record leaves one place for three devices")
        << 3 << "SN0008,SN0009" << QStringList{"0 on SN0001", "0 on SN0002", "0 on SN0003"}
        << QStringList{a, "", ""} << QStringList{"PASS SN0001", "job complete", "job complete"} << 3
        << 2;
    QTest::newRow("the same serial number in two slots is updated once")
        << 5 << "" << QStringList{"0 on SN0001", "0 on SN0001", ""}
        << QStringList{a, "skipped SN0001", ""}
        << QStringList{"PASS SN0001", "ALREADY DONE SN0001", "empty"} << 1 << 1;
    QTest::newRow("Ctrl+C while waiting for a place: no record, nothing sent")
        << 1 << "" << QStringList{"0 on SN0001", "0 on SN0002; 2500 cancel", ""}
        << QStringList{a, "", ""} << QStringList{"PASS SN0001", "remove device", "empty"} << 1 << 1;
    QTest::newRow("waiting device taken out: no record, its slot empty")
        << 1 << "" << QStringList{"0 on SN0001", "0 on SN0002; 2500 unplug", ""}
        << QStringList{a, "", ""} << QStringList{"PASS SN0001", "empty", "empty"} << 1 << 1;
}

// The quota on the slot controllers' virtual clock: never over, failures give back places,
// passed devices are not updated again, waiting devices get nothing sent and no record.
void TestSlot::jobQuotaAcrossThreeSlots()
{
    QFETCH(int, quantity);
    QFETCH(QString, passedBefore);
    QFETCH(QStringList, plans);
    QFETCH(QStringList, records);
    QFETCH(QStringList, shown);
    QFETCH(int, passed);
    QFETCH(int, waited);

    const QStringList before = passedBefore.split(QLatin1Char(','), Qt::SkipEmptyParts);
    flash::JobQuota quota(quantity, QSet<QString>(before.cbegin(), before.cend()));
    const flash::SessionConfig slotConfig = config(QString());
    std::vector<std::unique_ptr<SlotScript>> scripts;
    QVector<SlotScript *> fixture;
    for (int i = 0; i < plans.size(); ++i) {
        scripts.push_back(std::make_unique<SlotScript>(slotConfig, true, plans.at(i)));
        scripts.back()->setQuota(&quota, i);
        fixture << scripts.back().get();
    }
    int maxCommitted = 0;
    SlotScript::runTogether(fixture, quota, 3 * 60 * 1000, &maxCommitted);
    QVERIFY2(maxCommitted <= quantity, qPrintable(QString::number(maxCommitted)));
    QCOMPARE(quota.passed(), passed);
    QCOMPARE(quota.inProgress(), 0);
    int updates = 0;
    int sawWaiting = 0;
    for (int i = 0; i < fixture.size(); ++i) {
        const auto &states = fixture.at(i)->states;
        sawWaiting += std::any_of(states.cbegin(), states.cend(), [](const auto &s) {
            return s.second == SlotState::WaitingForPlace;
        });
        QCOMPARE(fixture.at(i)->records.join(QLatin1Char(',')), records.at(i));
        const QString text = flash::slotStateText(fixture.at(i)->slot(), fixture.at(i)->nowUs(),
                                                  {slotConfig.baud, slotConfig.paceMs, 0});
        QVERIFY2(text.startsWith(shown.at(i)), qPrintable(text));
        updates += updateCommands(fixture.at(i)->writes);
    }
    QCOMPARE(sawWaiting, waited);
    // An update command only for the devices that got a place.
    QCOMPARE(updates, int(std::count_if(records.cbegin(), records.cend(), [](const QString &r) {
                 return r.startsWith(QLatin1String("success")) ||
                        r.startsWith(QLatin1String("refused"));
             })));
}
