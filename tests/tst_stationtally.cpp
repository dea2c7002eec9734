#include "stationtally.h"

#include <QtTest>

using flash::Result;

// The station's footer figures from a list of verdicts "result:serialBefore:serialAfter".
class TestStationTally : public QObject
{
    Q_OBJECT

private slots:
    void figures_data();
    void figures();
};

void TestStationTally::figures_data()
{
    QTest::addColumn<QStringList>("verdicts");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("expected"); // passed failed skipped devices firstPass yield perHour

    QTest::newRow("none yet") << QStringList{} << qint64(0) << "0 0 0 0 0 -1 0";
    QTest::newRow("one pass in half a minute")
        << QStringList{"s:A:A"} << qint64(30000) << "1 0 0 1 1 100 120";
    QTest::newRow("a retry after a fail is the same device")
        << QStringList{"f:A:", "s:A:A", "s:B:B"} << qint64(3600000) << "2 1 0 2 1 50 3";
    QTest::newRow("skips count apart, not as devices")
        << QStringList{"k:A:", "k:B:", "s:C:C"} << qint64(60000) << "1 0 2 1 1 100 180";
    QTest::newRow("a recovered device is known by its serial number after the restart")
        << QStringList{"s::R1", "f:R1:"} << qint64(1800000) << "1 1 0 1 1 100 4";
    QTest::newRow("an attempt without any serial number is a device of its own")
        << QStringList{"f::", "f::", "s:A:A"} << qint64(7200000) << "1 2 0 3 1 33 2";
    QTest::newRow("cancelled counts as failed")
        << QStringList{"c:A:", "s:B:B", "s:C:C"} << qint64(900000) << "2 1 0 3 2 67 12";
}

void TestStationTally::figures()
{
    QFETCH(QStringList, verdicts);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, expected);
    const QHash<QString, Result> results{{"s", Result::Success},
                                         {"f", Result::Refused},
                                         {"k", Result::Skipped},
                                         {"c", Result::Cancelled}};
    flash::StationTally t;
    for (const QString &v : verdicts) {
        const QStringList parts = v.split(QLatin1Char(':'));
        t.add(QStringLiteral("slot1"), results.value(parts.at(0)), parts.at(1), parts.at(2));
    }
    const QString got = QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                            .arg(t.passed)
                            .arg(t.failed)
                            .arg(t.skipped)
                            .arg(t.devices)
                            .arg(t.firstPass)
                            .arg(t.firstPassYield())
                            .arg(t.devicesPerHour(elapsedMs));
    QCOMPARE(got, expected);
    QCOMPARE(t.results.value(QStringLiteral("slot1")).value(QStringLiteral("success")),
             int(verdicts.filter(QRegularExpression(QStringLiteral("^s:"))).size()));
}

QTEST_APPLESS_MAIN(TestStationTally)
#include "tst_stationtally.moc"
