#include "devicesim.h"
#include "messages.h"
#include "protocol.h"
#include "serialupdata.h"
#include "windowdriver.h"
#include "virtualtime.h"
#include "windowtest.h"

#include <QApplication>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kCan(1, protocol::CAN);
const QByteArray kInfo = protocol::infoQuery();

// What one attempt of the 115200 handshake sends to a device that never answers.
QList<QByteArray> attemptBytes(int attempts)
{
    QList<QByteArray> out;
    for (int i = 0; i < attempts; ++i)
        out << kCan << protocol::function41Frame() << kInfo << kInfo;
    return out;
}

QList<qint32> attemptBauds(int attempts)
{
    QList<qint32> out;
    for (int i = 0; i < attempts; ++i)
        out << 115200 << 9600 << 115200 << 115200;
    return out;
}

} // namespace

class TestSlowAttempts : public WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void abortedTransferArmsTwentyAttempts();
    void nakOutcomeRestoresOneAttempt();
    void portErrorEndsRemainingAttempts();

private:
    void abortTransfer();
    int armedSilentDevice();
};

void TestSlowAttempts::init()
{
    setUpWindow();
}

void TestSlowAttempts::cleanup()
{
    tearDownWindow();
}

// A device waiting for firmware that stops answering at the first frame: the transfer gives up
// with "no response", which is what arms the long handshake.
void TestSlowAttempts::abortTransfer()
{
    sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    d->connect(sim->slavePath(), QStringLiteral("115200"));
    QCOMPARE(textOf(d->paneLines().constLast()), kConnectedAgain);

    const QString image = writeImage(dir->path(), QStringLiteral("fw.bin"), "PM-100", 300);
    QVERIFY(!image.isEmpty());
    QVERIFY(d->browse(image).shown);
    QVERIFY(d->updateButton()->isEnabled());
    sim->setSilentFromFrame(1);
    d->updateButton()->click();

    QCOMPARE(textOf(d->paneLines().constLast()), kNoResponse);
    QCOMPARE(sim->framesReceived(), 1);
    QCOMPARE(d->openButton()->text(), QStringLiteral("Connect"));
    QVERIFY(d->openButton()->isEnabled());
}

// Arms the long handshake, then leaves a silent device on the line. Returns the number of pane
// lines at that point, or -1 when arming failed.
int TestSlowAttempts::armedSilentDevice()
{
    abortTransfer();
    if (QTest::currentTestFailed())
        return -1;
    sim->setBehaviour(DeviceSimulator::Silent);
    sim->clearRecord();
    return d->paneLines().size();
}

void TestSlowAttempts::abortedTransferArmsTwentyAttempts()
{
    const int before = armedSilentDevice();
    if (before < 0)
        return;

    const qint64 start = virtualtime::nowMs();
    d->connect(sim->slavePath(), QStringLiteral("115200"));

    QCOMPARE(texts(d->newLines(before)), (QStringList{kConnecting, kFailed}));
    const QList<DeviceSimulator::Received> record = sim->record();
    QCOMPARE(bytesOf(record), attemptBytes(20));
    QCOMPARE(baudsOf(record), attemptBauds(20));
    // Each silent attempt waits 0.3 + 3 + 4 + 2 + 0.5 + 0.2 + 0.2 s, the next starting at once.
    QCOMPARE(virtualtime::nowMs() - start, 20 * 10200);
    for (int attempt = 1; attempt < 20; ++attempt)
        QCOMPARE(record.at(4 * attempt).atUs - record.at(4 * attempt - 4).atUs, 10200 * 1000);
    QVERIFY(d->ports()->isEnabled());
    QVERIFY(d->bauds()->isEnabled());
    QCOMPARE(d->openButton()->text(), QStringLiteral("Connect"));
    // The aborted transfer left the Option menu disabled; a failed handshake does not enable it.
    QVERIFY(!d->optionsMenu()->isEnabled());
}

void TestSlowAttempts::nakOutcomeRestoresOneAttempt()
{
    abortTransfer();
    if (QTest::currentTestFailed())
        return;
    // Still waiting for firmware: the cancel byte is answered with NAK.
    sim->clearRecord();
    d->openButton()->click();
    QCOMPARE(textOf(d->paneLines().constLast()), kConnectedAgain);
    QCOMPARE(bytesOf(sim->record()), QList<QByteArray>{kCan});

    d->openButton()->click(); // disconnect
    sim->setBehaviour(DeviceSimulator::Silent);
    sim->clearRecord();
    const int before = d->paneLines().size();
    d->openButton()->click();

    QCOMPARE(texts(d->newLines(before)), (QStringList{kConnecting, kFailed}));
    QCOMPARE(bytesOf(sim->record()), attemptBytes(1));
}

// With 20 attempts armed, a hang-up in the second attempt ends the handshake after that attempt.
void TestSlowAttempts::portErrorEndsRemainingAttempts()
{
    const int before = armedSilentDevice();
    if (before < 0)
        return;
    QObject scope;
    int cancels = 0;
    connect(sim, &DeviceSimulator::bytesReceived, &scope, [&](const QByteArray &bytes) {
        if (bytes == kCan && ++cancels == 2)
            QTimer::singleShot(1000, sim, [this] { sim->hangUp(); });
    });

    const qint64 start = virtualtime::nowMs();
    d->openButton()->click();

    QCOMPARE(texts(d->newLines(before)), (QStringList{kConnecting, kReadFailed, kFailed}));
    QCOMPARE(bytesOf(sim->record()), attemptBytes(1) + QList<QByteArray>{kCan});
    // The second attempt still runs its course on the closed port, and no third follows.
    QCOMPARE(virtualtime::nowMs() - start, 2 * 10200);
    QCOMPARE(d->openButton()->text(), QStringLiteral("Connect"));
    QVERIFY(d->openButton()->isEnabled());
}

QTEST_VIRTUAL_TIME_MAIN(TestSlowAttempts)

#include "tst_slow_attempts.moc"
