#include "record.h"
#include "recordwriter.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using flash::AttemptRecord;
using flash::Result;

Q_DECLARE_METATYPE(flash::AttemptRecord)

// The record's one definition: a line of every result class through the real writer, each
// compared with its literal line (a misnamed or mistyped field fails), then read back by the
// reader the shift report uses, field for field.
namespace {

AttemptRecord base()
{
    AttemptRecord r;
    r.id = QStringLiteral("5d1f0c8e-0000-4000-8000-00000000000a");
    r.time = QDateTime(QDate(2026, 12, 7), QTime(6, 0, 1, 250), Qt::UTC);
    r.port = QStringLiteral("/dev/ttyUSB0");
    r.baud = 115200;
    r.product = QStringLiteral("PM-100");
    r.serialNumber = QStringLiteral("SN1");
    r.versionBefore = QStringLiteral("1.0");
    r.image = QStringLiteral("/fw/PM-100.bin");
    r.imageSize = 272;
    r.imageSha256 = QStringLiteral("ab12");
    r.totalFrames = 2;
    r.durationMs = 4100;
    r.message = QStringLiteral("m");
    return r;
}

AttemptRecord withResult(Result result)
{
    AttemptRecord r = base();
    r.result = result;
    return r;
}

// The same text as the line, so that the literals below stay readable.
const char kHead[] =
    R"({"adapterLatencyMs":null,"adapterLatencyMsFound":null,"adapterSerial":null,)"
    R"("baud":115200,"durationMs":4100,)";
const char kTail[] = R"("image":"/fw/PM-100.bin","imageSha256":"ab12","imageSize":272,)"
                     R"("message":"m","port":"/dev/ttyUSB0","product":"PM-100",)";

QByteArray expectedLine(const char *middle, const char *result, int status, const char *rest)
{
    return QByteArray(kHead) + middle + kTail + QByteArray(R"("resends":0,"result":")") + result +
           R"(","serialNumber":"SN1",)" + rest + R"("status":)" + QByteArray::number(status) +
           R"(,"time":"2026-12-07T06:00:01.250Z","totalFrames":2,)"
           R"("versionAfter":null,"versionBefore":"1.0","waitingForFirmware":false})";
}

} // namespace

class TestRecordFields : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
};

void TestRecordFields::roundTrip_data()
{
    QTest::addColumn<AttemptRecord>("record");
    QTest::addColumn<QByteArray>("line");
    const char *plain =
        R"("endConfirmed":false,"endReply":null,"frames":0,"id":"5d1f0c8e-0000-4000-8000-00000000000a",)";
    const char *noAfter = R"("serialNumberAfter":null,)";
    const struct
    {
        Result result;
        const char *name;
        int status;
    } failures[] = {{Result::PortOpenFailed, "portOpenFailed", 3},
                    {Result::NoAnswer, "noAnswer", 4},
                    {Result::WrongProduct, "wrongProduct", 5},
                    {Result::Refused, "refused", 6},
                    {Result::StoppedAnswering, "stoppedAnswering", 7},
                    {Result::PortLost, "portLost", 8},
                    {Result::Skipped, "skipped", 11},
                    {Result::Cancelled, "cancelled", 130}};
    for (const auto &f : failures)
        QTest::newRow(f.name) << withResult(f.result)
                              << expectedLine(plain, f.name, f.status, noAfter);

    AttemptRecord ended = withResult(Result::EndNotConfirmed);
    ended.frames = 2;
    ended.endByteSent = true;
    QTest::newRow("endNotConfirmed")
        << ended
        << expectedLine(
               R"("endConfirmed":false,"endReply":"","frames":2,"id":"5d1f0c8e-0000-4000-8000-00000000000a",)",
               "endNotConfirmed", 9, noAfter);

    AttemptRecord station = withResult(Result::Success);
    station.frames = 2;
    station.endByteSent = station.endConfirmed = true;
    station.endReply = QByteArray("\x06", 1);
    station.adapterSerial = QStringLiteral("FT1");
    station.adapterLatencyMsFound = 16;
    station.adapterLatencyMs = 1;
    station.versionAfter = QStringLiteral("1.1");
    station.serialNumberAfter = QStringLiteral("SN1");
    station.slot = QStringLiteral("/dev/serial/by-path/p1");
    QTest::newRow("success in a station")
        << station
        << QByteArray(R"({"adapterLatencyMs":1,"adapterLatencyMsFound":16,"adapterSerial":"FT1",)"
                      R"("baud":115200,"durationMs":4100,"endConfirmed":true,"endReply":"06",)"
                      R"("frames":2,"id":"5d1f0c8e-0000-4000-8000-00000000000a",)") +
               kTail +
               R"("resends":0,"result":"success","serialNumber":"SN1","serialNumberAfter":"SN1",)"
               R"("slot":"/dev/serial/by-path/p1","status":0,"time":"2026-12-07T06:00:01.250Z",)"
               R"("totalFrames":2,"versionAfter":"1.1","versionBefore":"1.0",)"
               R"("waitingForFirmware":false})";

    // A recovered device: no identity before, the serial number after; a line of a job.
    AttemptRecord waiting = withResult(Result::VerifyFailed);
    waiting.id.clear();
    waiting.product.clear();
    waiting.serialNumber.clear();
    waiting.versionBefore.clear();
    waiting.waitingForFirmware = true;
    waiting.serialNumberAfter = QStringLiteral("SN9");
    waiting.station = QStringLiteral("line3");
    waiting.job = QStringLiteral("WO-1");
    waiting.slotPath = QStringLiteral("/dev/ttyUSB3");
    QTest::newRow("verifyFailed, waiting, a job's")
        << waiting
        << QByteArray(kHead) +
               R"("endConfirmed":false,"endReply":null,"frames":0,"image":"/fw/PM-100.bin",)"
               R"("imageSha256":"ab12","imageSize":272,"job":"WO-1","message":"m",)"
               R"("port":"/dev/ttyUSB0","product":null,"resends":0,"result":"verifyFailed",)"
               R"("serialNumber":null,"serialNumberAfter":"SN9","slotPath":"/dev/ttyUSB3",)"
               R"("station":"line3","status":10,"time":"2026-12-07T06:00:01.250Z",)"
               R"("totalFrames":2,"versionAfter":null,"versionBefore":null,)"
               R"("waitingForFirmware":true})";
    AttemptRecord back = withResult(Result::CameBackWaiting);
    back.serialNumberAfter = QStringLiteral("SN1");
    QTest::newRow("cameBackWaiting")
        << back << expectedLine(plain, "cameBackWaiting", 14, R"("serialNumberAfter":"SN1",)");
}

void TestRecordFields::roundTrip()
{
    QFETCH(AttemptRecord, record);
    QFETCH(QByteArray, line);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.jsonl"));
    {
        flash::RecordWriter writer;
        QString error;
        QVERIFY2(writer.open(path, &error), qPrintable(error));
        QSignalSpy finished(&writer, &flash::RecordWriter::finished);
        writer.append(flash::recordLine(record), record.port);
        writer.finish();
        QVERIFY(finished.wait(5000));
        QVERIFY(!writer.lost());
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), line + '\n');

    // Every field read back as written: writing what was read gives the same line.
    const flash::ReadRecord read = flash::readRecord(QJsonDocument::fromJson(line).object());
    QCOMPARE(read.result, flash::resultName(record.result));
    QCOMPARE(read.status, flash::exitStatus(record.result));
    QCOMPARE(flash::recordLine(read.record), line);
    QCOMPARE(read.record.endReply, record.endReply);
}

QTEST_GUILESS_MAIN(TestRecordFields)
#include "tst_recordfields.moc"
