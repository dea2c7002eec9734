#include "quota.h"

#include <QtTest>

using Decision = flash::JobQuota::Decision;

// Three slots of one station counting a job to its quantity.
class TestQuota : public QObject
{
    Q_OBJECT

private slots:
    void places_data();
    void places() { run(); }
    void devices_data();
    void devices() { run(); }

private:
    void run();
};

namespace {

Decision decisionNamed(const QString &word)
{
    const QHash<QString, Decision> names{{"start", Decision::Start},
                                         {"done", Decision::AlreadyDone},
                                         {"wait", Decision::Wait},
                                         {"complete", Decision::Complete}};
    return names.value(word, Decision::Start);
}

QString endState(const flash::JobQuota &q)
{
    return QString("passed %1 running %2 unnamed %3 %4")
        .arg(q.passed())
        .arg(q.inProgress())
        .arg(q.passesWithoutSerial())
        .arg(q.complete() ? "complete" : "open");
}

void addColumns()
{
    QTest::addColumn<int>("quantity");
    QTest::addColumn<QStringList>("passedBefore"); // the record at the start
    // "S ask SERIAL = decision" (SERIAL "-": none, a device waiting for firmware), "S pass
    // [SERIAL_AFTER]", "S fail", "S cancel", "S moved": the generation moved since S waited.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("end");
}

} // namespace

// Places: never over the quantity, freed by a failure or a cancel, the end of the job.
void TestQuota::places_data()
{
    addColumns();

    QTest::newRow("never over: the third slot waits")
        << 2 << QStringList()
        << "1 ask A = start; 2 ask B = start; 3 ask C = wait; 1 pass; 3 moved; "
           "3 ask C = wait; 2 pass; 3 ask C = complete"
        << "passed 2 running 0 unnamed 0 complete";
    QTest::newRow("a failure frees a place")
        << 2 << QStringList()
        << "1 ask A = start; 2 ask B = start; 3 ask C = wait; 2 fail; 3 moved; "
           "3 ask C = start; 1 pass; 3 pass"
        << "passed 2 running 0 unnamed 0 complete";
    QTest::newRow("a cancel frees a place")
        << 1 << QStringList()
        << "1 ask A = start; 2 ask B = wait; 1 cancel; 2 moved; 2 ask B = start"
        << "passed 0 running 1 unnamed 0 open";
    QTest::newRow("quantity reached while two wait")
        << 1 << QStringList()
        << "1 ask A = start; 2 ask B = wait; 3 ask C = wait; 1 pass; 2 moved; "
           "2 ask B = complete; 3 ask C = complete"
        << "passed 1 running 0 unnamed 0 complete";
    QTest::newRow("a record already past the quantity")
        << 2 << QStringList{"A", "B", "C"} << "1 ask D = complete; 2 ask A = done"
        << "passed 3 running 0 unnamed 0 complete";
    QTest::newRow("no quantity: never waits, a passed device is still done")
        << 0 << QStringList()
        << "1 ask A = start; 2 ask B = start; 3 ask C = start; 1 pass; "
           "1 ask A = done"
        << "passed 1 running 2 unnamed 0 open";
}

// Devices: each counted once by its serial number, a recovered one by its serial after.
void TestQuota::devices_data()
{
    addColumns();
    QTest::newRow("a device passed yesterday is done, and takes no place")
        << 2 << QStringList{"A"}
        << "1 ask A = done; 2 ask B = start; 3 ask C = wait; 2 pass; "
           "1 ask A = done; 3 ask C = complete"
        << "passed 2 running 0 unnamed 0 complete";
    QTest::newRow("a device passed in this run is done when plugged again")
        << 3 << QStringList() << "1 ask A = start; 1 pass; 2 ask A = done"
        << "passed 1 running 0 unnamed 0 open";
    QTest::newRow("a recovered device takes a place and counts by its serial after")
        << 2 << QStringList()
        << "1 ask - = start; 2 ask B = start; 3 ask C = wait; 1 pass A; "
           "3 ask C = wait; 2 pass; 3 ask A = done; 3 ask C = complete"
        << "passed 2 running 0 unnamed 0 complete";
    QTest::newRow("a recovered device passed before does not count twice")
        << 3 << QStringList{"A"} << "1 ask - = start; 1 pass A"
        << "passed 1 running 0 unnamed 0 open";
    QTest::newRow("a pass without any serial number does not count")
        << 1 << QStringList() << "1 ask - = start; 2 ask B = wait; 1 pass; 2 moved; 2 ask B = start"
        << "passed 0 running 1 unnamed 1 open";
    QTest::newRow("two units with one serial number: the second waits for the first")
        << 3 << QStringList() << "1 ask A = start; 2 ask A = wait; 1 pass; 2 ask A = done"
        << "passed 1 running 0 unnamed 0 open";
}

void TestQuota::run()
{
    QFETCH(int, quantity);
    QFETCH(QStringList, passedBefore);
    QFETCH(QString, steps);
    QFETCH(QString, end);

    flash::JobQuota quota(quantity, QSet<QString>(passedBefore.begin(), passedBefore.end()));
    QHash<int, quint64> waitedAt; // slot -> the generation when it was told to wait
    for (const QString &step : steps.split("; ")) {
        const QStringList w = step.split(' ');
        const int slot = w.at(0).toInt();
        const QString serial = w.size() > 2 && w.at(2) != "-" ? w.at(2) : QString();
        if (w.at(1) == "ask") {
            const Decision d = quota.request(slot, serial);
            QVERIFY2(d == decisionNamed(w.at(4)), qPrintable(step));
            if (d == Decision::Wait)
                waitedAt[slot] = quota.generation();
        } else if (w.at(1) == "pass" || w.at(1) == "fail") {
            quota.finished(slot, w.at(1) == "pass", serial);
        } else if (w.at(1) == "cancel") {
            quota.cancelled(slot);
        } else {
            QVERIFY2(quota.generation() != waitedAt.value(slot), qPrintable(step));
        }
        // Never over the quantity, whatever runs at once.
        if (quantity > 0 && passedBefore.size() <= quantity)
            QVERIFY2(quota.passed() + quota.inProgress() <= quantity, qPrintable(step));
    }
    QCOMPARE(endState(quota), end);
}

QTEST_GUILESS_MAIN(TestQuota)
#include "tst_quota.moc"
