#include "recordline.h"

#include <QtTest>

// The id an attempt is counted and stored once by, wherever its line travels.
class TestRecordId : public QObject
{
    Q_OBJECT

private slots:
    void attemptId_data();
    void attemptId();
};

namespace {

// sha256sum of the line written compactly with sorted keys.
const char kPassHash[] = "579c957dba715082c8d4a5c10a3bfbca8f1eb00a2ecb4404286e04be8761b04e";

} // namespace

void TestRecordId::attemptId_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected"); // "content": a content hash other than kPassHash
    QTest::newRow("its own id")
        << QByteArray(R"({"id":"2b0c64d5-7f31-4a8e-9c2e-5d1f0e6a7b11","result":"success"})")
        << "2b0c64d5-7f31-4a8e-9c2e-5d1f0e6a7b11";
    QTest::newRow("no id")
        << QByteArray(
               R"({"durationMs":15000,"result":"success","time":"2026-12-07T06:00:00.000Z"})")
        << kPassHash;
    QTest::newRow("re-serialised: spaces, key order, number written otherwise")
        << QByteArray(R"({ "time": "2026-12-07T06:00:00.000Z", "result": "success", )"
                      R"("durationMs": 1.5e4 })")
        << kPassHash;
    QTest::newRow("another line")
        << QByteArray(R"({"result":"noAnswer","time":"2026-12-07T06:00:00.000Z"})")
        << "1cab3a21ef1f0aa20a2d54b74cf99a68eaa246a7492704d5340369813357b84f";
    QTest::newRow("an id too long to be a key")
        << QByteArray(R"({"id":")" + QByteArray(129, 'a') + R"(","result":"success"})")
        << "content";
    QTest::newRow("an id with a control character")
        << QByteArray(R"({"id":"a\nb","result":"success"})") << "content";
    QTest::newRow("an id that is no text")
        << QByteArray(R"({"id":7,"result":"success"})") << "content";
}

void TestRecordId::attemptId()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    QJsonObject object;
    QString reason;
    QVERIFY2(flash::parseRecordLine(line, &object, &reason), qPrintable(reason));
    const QString id = flash::attemptId(object);
    if (expected != "content") {
        QCOMPARE(id, expected);
        return;
    }
    QVERIFY(QRegularExpression("^[0-9a-f]{64}$").match(id).hasMatch());
    QVERIFY(id != kPassHash);
}

QTEST_GUILESS_MAIN(TestRecordId)
#include "tst_recordid.moc"
