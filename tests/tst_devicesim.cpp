#include "devicesim.h"
#include "frame.h"
#include "hotplug.h"
#include "identity.h"
#include "protocol.h"
#include "testimage.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QByteArray kAck(1, protocol::ACK);
const QByteArray kNak(1, protocol::NAK);
const QByteArray kEot(1, protocol::EOT);

// Waits for the first bytes, then lets the rest of the same answer arrive.
QByteArray readAnswer(QSerialPort &port, int timeoutMs = 500)
{
    if (QTest::qWaitFor([&port] { return port.bytesAvailable() > 0; }, timeoutMs))
        QTest::qWait(20);
    return port.readAll();
}

QByteArray withChecksum(QByteArray frame, char checksum)
{
    frame[protocol::kFrameSize - 1] = checksum;
    return frame;
}

// Plain XMODEM sum, which differs from the device's rule when the signed sum is negative.
char xmodemSum(const QByteArray &frame)
{
    quint8 sum = 0;
    for (int i = 3; i < protocol::kFrameSize - 1; ++i)
        sum += static_cast<quint8>(frame.at(i));
    return static_cast<char>(sum);
}

// Time the line needs for `bytes` bytes at `baud`, 10 bits each.
double lineMs(qsizetype bytes, qint32 baud)
{
    return bytes * 10000.0 / baud;
}

} // namespace

class TestDeviceSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void consoleAnswers_data();
    void consoleAnswers();
    void updateCommandAnswerDependsOnBaud_data();
    void updateCommandAnswerDependsOnBaud();
    void deviceBaudFiltersInput_data();
    void deviceBaudFiltersInput();
    void transfer_data();
    void transfer();
    void blockNumberWrapsAfter255();
    void waitingDeviceAnswersCancelOnce();
    void replySplitIntoTimedPieces();
    void portCanBeReopened();
    void nothingEchoesWhileThePortIsClosed();
    void hangUpGivesReadErrorAndRestartGivesNewLine();
    void lineSpeedPacesBothDirections_data();
    void lineSpeedPacesBothDirections();
    void answerLatencyHoldsBytes_data();
    void answerLatencyHoldsBytes();
    void restartAfterUpdate_data();
    void restartAfterUpdate();
    void hotPlugCommands_data();
    void hotPlugCommands();
    void powerLoss_data();
    void powerLoss();
    void linkIsOursOnly();
    void plugPatternPlan_data();
    void plugPatternPlan();
    void plugPattern();

private:
    bool openClient(qint32 baud);
    bool openLink(const QString &link, qint32 baud);
    void closePortOnHangUp();
    int hangUpsSeen() const;

    DeviceSimulator *m_sim = nullptr;
    QSerialPort *m_port = nullptr;
};

void TestDeviceSimulator::init()
{
    m_sim = new DeviceSimulator;
    QVERIFY2(m_sim->start(), qPrintable(m_sim->errorString()));
    m_port = new QSerialPort;
}

void TestDeviceSimulator::cleanup()
{
    delete m_port;
    delete m_sim;
}

bool TestDeviceSimulator::openClient(qint32 baud)
{
    m_port->setPortName(m_sim->slavePath());
    return m_port->open(QIODevice::ReadWrite) && m_port->setBaudRate(baud);
}

bool TestDeviceSimulator::openLink(const QString &link, qint32 baud)
{
    m_port->clearError();
    m_port->setPortName(link);
    return m_port->open(QIODevice::ReadWrite) && m_port->setBaudRate(baud);
}

// The error repeats in a tight loop until the port is closed; each hang-up is counted once.
void TestDeviceSimulator::closePortOnHangUp()
{
    m_port->setProperty("hangUps", 0);
    connect(m_port, &QSerialPort::errorOccurred, m_port, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::ReadError || !m_port->isOpen())
            return;
        m_port->close();
        m_port->setProperty("hangUps", hangUpsSeen() + 1);
    });
}

int TestDeviceSimulator::hangUpsSeen() const
{
    return m_port->property("hangUps").toInt();
}

void TestDeviceSimulator::consoleAnswers_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<bool>("answerFunction41");
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("identityReplies");

    const QByteArray f41 = protocol::function41Frame();
    QTest::newRow("function-0x41 frame") << 9600 << true << QList<QByteArray>{f41} << 1;
    QTest::newRow("function-0x41 switched off") << 9600 << false << QList<QByteArray>{f41} << 0;
    QTest::newRow("short info") << 9600 << true << QList<QByteArray>{"info"} << 1;
    QTest::newRow("info CR") << 115200 << true << QList<QByteArray>{"info\r"} << 1;
    QTest::newRow("info split byte by byte")
        << 115200 << true << QList<QByteArray>{"i", "n", "f", "o\r"} << 1;
    QTest::newRow("CR after answered short info")
        << 115200 << true << QList<QByteArray>{"info", "\r"} << 1;
    QTest::newRow("frame split across reads")
        << 9600 << true << QList<QByteArray>{f41.left(3), f41.mid(3)} << 1;
    QTest::newRow("broken frame start, then query")
        << 9600 << true << QList<QByteArray>{f41.left(3), "xinfo"} << 1;
    QTest::newRow("noise around queries")
        << 115200 << true << QList<QByteArray>{QByteArray("\x00zz\xFF", 4), "infoinfo\r", "q"} << 2;
    QTest::newRow("cancel byte ignored") << 115200 << true << QList<QByteArray>{"\x18"} << 0;
    QTest::newRow("other words ignored")
        << 115200 << true << QList<QByteArray>{"infx\r", "update\n"} << 0;
}

void TestDeviceSimulator::consoleAnswers()
{
    QFETCH(qint32, baud);
    QFETCH(bool, answerFunction41);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, identityReplies);

    m_sim->setIdentity("PM-7", "A42", "V2.3");
    m_sim->setAnswerFunction41(answerFunction41);
    QVERIFY(openClient(baud));
    for (const QByteArray &chunk : chunks) {
        m_port->write(chunk);
        QTest::qWait(30); // separate reads on the device side
    }
    const QByteArray answer = readAnswer(*m_port, 200);

    QCOMPARE(answer, identityReply("PM-7", "A42", "V2.3").repeated(identityReplies));
    QVERIFY(!m_sim->inReceiveMode());
    QCOMPARE(m_sim->receivedBytes(), chunks.join());
}

void TestDeviceSimulator::updateCommandAnswerDependsOnBaud_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<bool>("singleNak");

    QTest::newRow("9600") << 9600 << true;
    QTest::newRow("115200") << 115200 << false;
}

void TestDeviceSimulator::updateCommandAnswerDependsOnBaud()
{
    QFETCH(qint32, baud);
    QFETCH(bool, singleNak);

    QSignalSpy modeSpy(m_sim, &DeviceSimulator::receiveModeChanged);
    QVERIFY(openClient(baud));
    m_port->write(protocol::updateCommand());
    const QByteArray answer = readAnswer(*m_port);

    if (singleNak)
        QCOMPARE(answer, kNak);
    else
        QVERIFY2(answer.size() > 10, answer.constData());
    QVERIFY(m_sim->inReceiveMode());
    QCOMPARE(modeSpy.count(), 1);
    QCOMPARE(m_sim->record().constLast().baud, baud);
    QCOMPARE(m_sim->sent().constLast().bytes, answer);
}

void TestDeviceSimulator::deviceBaudFiltersInput_data()
{
    QTest::addColumn<qint32>("deviceBaud");
    QTest::addColumn<qint32>("clientBaud");
    QTest::addColumn<bool>("answered");

    QTest::newRow("any rate, 9600") << 0 << 9600 << true;
    QTest::newRow("any rate, 115200") << 0 << 115200 << true;
    QTest::newRow("same rate") << 115200 << 115200 << true;
    QTest::newRow("other rate") << 115200 << 9600 << false;
}

void TestDeviceSimulator::deviceBaudFiltersInput()
{
    QFETCH(qint32, deviceBaud);
    QFETCH(qint32, clientBaud);
    QFETCH(bool, answered);

    m_sim->setDeviceBaud(deviceBaud);
    QVERIFY(openClient(clientBaud));
    QCOMPARE(m_sim->currentBaud(), clientBaud);
    m_port->write(protocol::infoQuery());
    const QByteArray answer = readAnswer(*m_port, 200);

    QCOMPARE(!answer.isEmpty(), answered);
    QCOMPARE(m_sim->record().size(), 1);
    QCOMPARE(m_sim->record().constFirst().baud, clientBaud);
    QCOMPARE(m_sim->record().constFirst().bytes, protocol::infoQuery());
}

void TestDeviceSimulator::transfer_data()
{
    QTest::addColumn<int>("nakAt");
    QTest::addColumn<int>("garbledAt");
    QTest::addColumn<int>("silentFrom");
    QTest::addColumn<QList<QByteArray>>("sends");   // frames, or the EOT byte
    QTest::addColumn<QList<QByteArray>>("answers"); // empty: no answer
    QTest::addColumn<QByteArray>("expectedImage");
    QTest::addColumn<int>("bad");
    QTest::addColumn<int>("duplicates");

    const QByteArray payload = testimage::payload(300);
    const QByteArray f1 = buildFrame(payload, 0, 1);
    const QByteArray f2 = buildFrame(payload, 128, 2);
    const QByteArray f3 = buildFrame(payload, 256, 3);
    const QByteArray padded = payload + QByteArray(84, protocol::kFiller);
    const QByteArray first = padded.left(128);
    const QByteArray two = padded.left(256);

    QByteArray badComplement = f2;
    badComplement[2] = 0;
    QByteArray badStart = f1;
    badStart[0] = 0x02;
    const QByteArray negative = QByteArray(1, '\xFF') + QByteArray(127, '\0'); // signed sum -1
    const QByteArray fn = buildFrame(negative, 0, 1);
    QVERIFY(xmodemSum(fn) != fn.at(131)); // the block really tells the two sums apart

    QTest::newRow("three frames and EOT")
        << 0 << 0 << 0 << QList<QByteArray>{f1, f2, f3, kEot}
        << QList<QByteArray>{kAck, kAck, kAck, kAck} << padded << 0 << 0;
    QTest::newRow("plain XMODEM sum refused")
        << 0 << 0 << 0 << QList<QByteArray>{withChecksum(fn, xmodemSum(fn)), fn}
        << QList<QByteArray>{kNak, kAck} << negative << 1 << 0;
    QTest::newRow("wrong complement refused")
        << 0 << 0 << 0 << QList<QByteArray>{f1, badComplement, f2}
        << QList<QByteArray>{kAck, kNak, kAck} << two << 1 << 0;
    QTest::newRow("wrong start byte refused") << 0 << 0 << 0 << QList<QByteArray>{badStart, f1}
                                              << QList<QByteArray>{kNak, kAck} << first << 1 << 0;
    QTest::newRow("block out of sequence refused")
        << 0 << 0 << 0 << QList<QByteArray>{f1, f3} << QList<QByteArray>{kAck, kNak} << first << 1
        << 0;
    QTest::newRow("repeat of last block acknowledged, not stored")
        << 0 << 0 << 0 << QList<QByteArray>{f1, f1, f2} << QList<QByteArray>{kAck, kAck, kAck}
        << two << 0 << 1;
    QTest::newRow("NAK at frame 2, resend stored")
        << 2 << 0 << 0 << QList<QByteArray>{f1, f2, f2} << QList<QByteArray>{kAck, kNak, kAck}
        << two << 0 << 0;
    QTest::newRow("garbled at frame 2, resend is a duplicate")
        << 0 << 2 << 0 << QList<QByteArray>{f1, f2, f2, f3}
        << QList<QByteArray>{kAck, QByteArray("\x06\x06"), kAck, kAck} << padded << 0 << 1;
    QTest::newRow("silent from frame 2, EOT included")
        << 0 << 0 << 2 << QList<QByteArray>{f1, f2, kEot}
        << QList<QByteArray>{kAck, QByteArray(), QByteArray()} << two << 0 << 0;
    QTest::newRow("silent only for EOT")
        << 0 << 0 << 2 << QList<QByteArray>{f1, kEot} << QList<QByteArray>{kAck, QByteArray()}
        << first << 0 << 0;
}

void TestDeviceSimulator::transfer()
{
    QFETCH(int, nakAt);
    QFETCH(int, garbledAt);
    QFETCH(int, silentFrom);
    QFETCH(QList<QByteArray>, sends);
    QFETCH(QList<QByteArray>, answers);
    QFETCH(QByteArray, expectedImage);
    QFETCH(int, bad);
    QFETCH(int, duplicates);

    m_sim->setNakAtFrame(nakAt);
    m_sim->setGarbledAtFrame(garbledAt);
    m_sim->setSilentFromFrame(silentFrom);
    QSignalSpy finished(m_sim, &DeviceSimulator::transferFinished);
    QVERIFY(openClient(115200));
    m_port->write(protocol::updateCommand());
    QVERIFY(readAnswer(*m_port).size() > 10);

    for (int i = 0; i < sends.size(); ++i) {
        // Frames go out in two writes, as chunked input the device has to reassemble.
        m_port->write(sends.at(i).left(50));
        QTest::qWait(5);
        m_port->write(sends.at(i).mid(50));
        const QByteArray expected = answers.at(i);
        QCOMPARE(readAnswer(*m_port, expected.isEmpty() ? 150 : 500), expected);
    }

    const bool endsWithEot = sends.constLast() == kEot;
    QCOMPARE(m_sim->receivedImage(), expectedImage);
    QCOMPARE(m_sim->badFrames(), bad);
    QCOMPARE(m_sim->duplicateFrames(), duplicates);
    QCOMPARE(m_sim->framesReceived(), sends.size() - (endsWithEot ? 1 : 0));
    QCOMPARE(m_sim->framesAccepted(), expectedImage.size() / protocol::kBlockSize);
    QCOMPARE(m_sim->eotReceived(), endsWithEot);
    QCOMPARE(finished.count(), endsWithEot ? 1 : 0);
    QCOMPARE(m_sim->inReceiveMode(), !endsWithEot);
}

void TestDeviceSimulator::blockNumberWrapsAfter255()
{
    const QByteArray payload = testimage::payload(257 * protocol::kBlockSize);
    QVERIFY(openClient(115200));
    m_port->write(protocol::updateCommand());
    QVERIFY(readAnswer(*m_port).size() > 10);

    for (int i = 0; i < 257; ++i) {
        m_port->write(buildFrame(payload, i * protocol::kBlockSize, static_cast<quint8>(i + 1)));
        QSignalSpy ready(m_port, &QSerialPort::readyRead); // same thread: no blocking wait
        QVERIFY(m_port->bytesAvailable() > 0 || ready.wait(500));
        QCOMPARE(m_port->readAll(), kAck);
    }
    QCOMPARE(m_sim->receivedImage(), payload);
    QCOMPARE(m_sim->badFrames(), 0);
}

void TestDeviceSimulator::waitingDeviceAnswersCancelOnce()
{
    constexpr int cancelDelayMs = 300;
    constexpr int nakIntervalMs = 100;
    m_sim->setCancelAnswerDelayMs(cancelDelayMs);
    m_sim->setUnaskedNakIntervalMs(nakIntervalMs);
    m_sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    QVERIFY(openClient(115200));

    // The handshake queries are swallowed; NAKs come unasked, one byte each, an interval apart.
    m_port->write(protocol::function41Frame());
    m_port->write(protocol::infoQuery());
    QTest::qWait(350);
    QList<DeviceSimulator::Received> sent = m_sim->sent();
    QVERIFY(sent.size() >= 2);
    for (int i = 0; i < sent.size(); ++i) {
        QCOMPARE(sent.at(i).bytes, kNak);
        if (i > 0)
            QVERIFY(sent.at(i).atUs - sent.at(i - 1).atUs >= nakIntervalMs * 1000);
    }

    // One answer to the cancel byte after its delay; the unasked NAKs pause until then.
    m_sim->clearRecord();
    m_port->write(QByteArray(1, protocol::CAN));
    QTest::qWait(cancelDelayMs + 2 * nakIntervalMs);
    const qint64 cancelAt = m_sim->record().constFirst().atUs;
    sent = m_sim->sent();
    QVERIFY(sent.size() >= 2);
    QCOMPARE(sent.at(0).bytes, kNak);
    QVERIFY(sent.at(0).atUs - cancelAt >= cancelDelayMs * 1000);
    QVERIFY(sent.at(1).atUs - sent.at(0).atUs >= nakIntervalMs * 1000);

    // The first frame ends the unasked NAKs.
    const QByteArray payload = testimage::payload(128);
    m_sim->clearRecord();
    m_port->write(buildFrame(payload, 0, 1));
    QTest::qWait(3 * nakIntervalMs);
    QCOMPARE(m_sim->sentBytes(), kAck);
    QCOMPARE(m_sim->receivedImage(), payload);

    // The update command restarts the transfer and gets a single NAK.
    m_sim->clearRecord();
    m_port->write(protocol::updateCommand());
    QTest::qWait(nakIntervalMs / 2);
    QCOMPARE(m_sim->sentBytes(), kNak);
    QCOMPARE(m_sim->framesReceived(), 0);
    QVERIFY(m_sim->receivedImage().isEmpty());
}

void TestDeviceSimulator::replySplitIntoTimedPieces()
{
    m_sim->setReplySplit(3, 60);
    QVERIFY(openClient(9600));
    m_port->write(protocol::shortInfoQuery());
    QTest::qWait(200);

    const QList<DeviceSimulator::Received> pieces = m_sim->sent();
    QCOMPARE(pieces.size(), 3);
    QCOMPARE(pieces.at(0).bytes + pieces.at(1).bytes + pieces.at(2).bytes,
             identityReply("PM-100", "SN0001", "V1.0.0"));
    QVERIFY(pieces.at(1).atUs - pieces.at(0).atUs >= 60000);
    QVERIFY(pieces.at(2).atUs - pieces.at(1).atUs >= 60000);
    QCOMPARE(m_port->readAll(), m_sim->currentIdentityReply());
}

void TestDeviceSimulator::portCanBeReopened()
{
    QVERIFY(openClient(115200));
    m_port->close();
    QTest::qWait(20);
    QVERIFY(openClient(9600));
    m_port->write(protocol::shortInfoQuery());
    QCOMPARE(readAnswer(*m_port), m_sim->currentIdentityReply());
}

void TestDeviceSimulator::nothingEchoesWhileThePortIsClosed()
{
    m_sim->setUnaskedNakIntervalMs(50);
    m_sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    QTest::qWait(120); // before the first open
    QVERIFY(openClient(9600));
    m_port->close(); // QSerialPort restores the settings it found
    m_sim->send(m_sim->currentIdentityReply() + kAck);
    QTest::qWait(120);

    // NAK is the line-kill character of a cooked tty and would echo nothing: the other bytes show
    // whether the line discipline sends anything back.
    QCOMPARE(m_sim->receivedBytes(), QByteArray());
    QVERIFY(m_sim->sent().size() >= 4);
}

void TestDeviceSimulator::hangUpGivesReadErrorAndRestartGivesNewLine()
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
    QSignalSpy hungUp(m_sim, &DeviceSimulator::hungUp);
    m_sim->setHangUpAtFrame(1);
    m_sim->setCancelAnswerDelayMs(100);
    QVERIFY(openClient(115200));
    QSignalSpy errors(m_port, &QSerialPort::errorOccurred);
    connect(m_port, &QSerialPort::errorOccurred, m_port, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ReadError)
            m_port->close(); // the error repeats in a tight loop until the port is closed
    });
    m_port->write(protocol::updateCommand());
    QVERIFY(readAnswer(*m_port).size() > 10);
    m_port->write(buildFrame(testimage::payload(10), 0, 1));

    QVERIFY(QTest::qWaitFor([&hungUp] { return hungUp.count() == 1; }, 500));
    QVERIFY(!m_sim->isRunning());
    QVERIFY(QTest::qWaitFor([&errors] { return !errors.isEmpty(); }, 500));
    QCOMPARE(errors.constFirst().constFirst().value<QSerialPort::SerialPortError>(),
             QSerialPort::ReadError);
    QVERIFY(m_sim->sent().constLast().bytes.size() > 10); // the frame was not answered

    // Once every fd of the old pair is closed the kernel may hand out the same /dev/pts number.
    QVERIFY(m_sim->start());
    m_port->clearError();
    QVERIFY(openClient(115200));
    m_port->write(protocol::infoQuery());
    QVERIFY(readAnswer(*m_port).isEmpty()); // still the bootloader in receive mode
    m_port->write(QByteArray(1, protocol::CAN));
    QCOMPARE(readAnswer(*m_port, 300), kNak);
}

void TestDeviceSimulator::lineSpeedPacesBothDirections_data()
{
    QTest::addColumn<bool>("lineSpeed");
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<QByteArray>("request"); // frames go to a device waiting for firmware
    QTest::addColumn<QByteArray>("answer");

    const QByteArray payload = testimage::payload(256);
    const QByteArray f1 = buildFrame(payload, 0, 1);
    const QByteArray both = f1 + buildFrame(payload, 128, 2);
    const QByteArray identity = identityReply("PM-100", "SN0001", "V1.0.0");
    QTest::newRow("frame, 9600") << true << 9600 << f1 << kAck;
    QTest::newRow("frame, 115200") << true << 115200 << f1 << kAck;
    QTest::newRow("two frames, 115200") << true << 115200 << both << kAck + kAck;
    QTest::newRow("identity, 9600") << true << 9600 << protocol::shortInfoQuery() << identity;
    QTest::newRow("identity, 115200") << true << 115200 << protocol::infoQuery() << identity;
    QTest::newRow("off: frame, 9600") << false << 9600 << f1 << kAck;
}

void TestDeviceSimulator::lineSpeedPacesBothDirections()
{
    QFETCH(bool, lineSpeed);
    QFETCH(qint32, baud);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);

    m_sim->setReplySplit(3, 0); // pieces queued at once must still leave one after another
    m_sim->setUnaskedNakIntervalMs(0);
    if (request.startsWith(protocol::SOH))
        m_sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    if (lineSpeed)
        m_sim->setLineSpeed(true); // the off row checks the default
    QVERIFY(openClient(baud));

    // Two writes: the second half comes while the first is still on the line.
    QElapsedTimer clock;
    clock.start();
    m_port->write(request.left(request.size() / 2));
    m_port->flush();
    QTest::qWait(5);
    m_port->write(request.mid(request.size() / 2));
    QByteArray got;
    QSignalSpy ready(m_port, &QSerialPort::readyRead); // a real event loop keeps timers on time
    while (got.size() < answer.size() && (m_port->bytesAvailable() > 0 || ready.wait(3000)))
        got += m_port->readAll();
    const double elapsedMs = clock.nsecsElapsed() / 1e6;
    QCOMPARE(got, answer);

    // The last chunk cannot leave before the request has arrived and it has gone out itself.
    const QList<DeviceSimulator::Received> sent = m_sim->sent();
    const double floorMs = lineMs(request.size() + sent.constLast().bytes.size(), baud);
    const QByteArray times =
        QByteArray::number(elapsedMs) + " ms, line " + QByteArray::number(floorMs) + " ms";
    if (!lineSpeed) {
        QVERIFY2(elapsedMs < floorMs / 2, times.constData());
        return;
    }
    QVERIFY2(elapsedMs >= floorMs, times.constData());
    QVERIFY2(elapsedMs < floorMs + lineMs(answer.size(), baud) + 1000, times.constData());

    // Stamps: the request is taken in as its bytes come off the line (a byte and 1 ms of slack
    // for the first take-in), and each chunk leaves its line time after what it follows.
    const QList<DeviceSimulator::Received> record = m_sim->record();
    const qsizetype afterFirst = request.size() - record.constFirst().bytes.size();
    QVERIFY(record.constLast().atUs - record.constFirst().atUs >=
            1000 * (lineMs(afterFirst - 1, baud) - 1));
    QVERIFY(sent.constLast().atUs - record.constLast().atUs >=
            1000 * lineMs(sent.constLast().bytes.size(), baud) - 1);
    for (int i = 1; i < sent.size(); ++i)
        QVERIFY(sent.at(i).atUs - sent.at(i - 1).atUs >=
                1000 * lineMs(sent.at(i).bytes.size(), baud) - 1);
}

void TestDeviceSimulator::answerLatencyHoldsBytes_data()
{
    QTest::addColumn<int>("replyBytes");
    QTest::addColumn<int>("atOnce"); // handed on before the timer runs out

    QTest::newRow("a short answer waits for the timer") << 56 << 0;
    QTest::newRow("a full packet goes at once, the rest waits") << 100 << 62;
}

// A long timer, so that "at once" and "after the timer" stay apart on a loaded machine.
void TestDeviceSimulator::answerLatencyHoldsBytes()
{
    QFETCH(int, replyBytes);
    QFETCH(int, atOnce);

    const int latencyMs = 400;
    const QByteArray reply(replyBytes, 'r');
    m_sim->setIdentityReply(reply);
    m_sim->setAnswerLatencyMs(latencyMs);
    QVERIFY(openClient(9600));
    QElapsedTimer clock;
    clock.start();
    m_port->write(protocol::shortInfoQuery());
    QTest::qWait(latencyMs / 2);
    QCOMPARE(m_port->readAll().size(), atOnce);
    QVERIFY(QTest::qWaitFor([&] { return m_port->bytesAvailable() == replyBytes - atOnce; }));
    QVERIFY2(clock.elapsed() >= latencyMs, QByteArray::number(clock.elapsed()));
    QCOMPARE(m_sim->sentBytes(), reply); // stamped when the device sent it
}

void TestDeviceSimulator::restartAfterUpdate_data()
{
    QTest::addColumn<int>("silentMs"); // < 0: no restart
    QTest::addColumn<bool>("comesBackWaiting");
    QTest::addColumn<QByteArray>("newVersion");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("answer"); // once the device is back

    const QByteArray oldIdentity = identityReply("PM-100", "SN0001", "V1.0.0");
    const QByteArray info = protocol::infoQuery();
    QTest::newRow("no restart") << -1 << false << QByteArray("V2.0") << info << oldIdentity;
    QTest::newRow("new version") << 400 << false << QByteArray("V2.0") << info
                                 << identityReply("PM-100", "SN0001", "V2.0");
    QTest::newRow("same version") << 400 << false << QByteArray() << info << oldIdentity;
    QTest::newRow("comes back waiting")
        << 400 << true << QByteArray("V2.0") << QByteArray(1, protocol::CAN) << kNak;
}

void TestDeviceSimulator::restartAfterUpdate()
{
    QFETCH(int, silentMs);
    QFETCH(bool, comesBackWaiting);
    QFETCH(QByteArray, newVersion);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, answer);

    if (silentMs >= 0)
        m_sim->setRestartAfterUpdate(silentMs, newVersion);
    m_sim->setComesBackWaiting(comesBackWaiting);
    m_sim->setCancelAnswerDelayMs(100);
    QSignalSpy restarted(m_sim, &DeviceSimulator::restarted);
    QVERIFY(openClient(115200));
    m_port->write(protocol::updateCommand());
    QVERIFY(readAnswer(*m_port).size() > 10);
    m_port->write(buildFrame(testimage::payload(100), 0, 1));
    QCOMPARE(readAnswer(*m_port), kAck);
    QElapsedTimer sinceEot;
    sinceEot.start();
    m_port->write(kEot);
    QCOMPARE(readAnswer(*m_port), kAck);

    m_port->write(query);
    const QByteArray early = readAnswer(*m_port, 150);
    if (silentMs < 0) {
        QCOMPARE(early, answer);
        QCOMPARE(m_sim->restarts(), 0);
        return;
    }
    QCOMPARE(early, QByteArray());
    QVERIFY(m_sim->receivedBytes().endsWith(kEot + query)); // ignored, but recorded
    QVERIFY(restarted.count() == 1 || restarted.wait(2000));
    QVERIFY(sinceEot.elapsed() >= silentMs);
    QCOMPARE(m_sim->restarts(), 1);

    m_port->write(query);
    QCOMPARE(readAnswer(*m_port), answer);
    QCOMPARE(m_sim->inReceiveMode(), comesBackWaiting);
}

void TestDeviceSimulator::hotPlugCommands_data()
{
    QTest::addColumn<QByteArray>("script"); // lines on the simulator's standard input
    QTest::addColumn<int>("refused");
    QTest::addColumn<bool>("hangUp");       // seen by a port opened on the link before the script
    QTest::addColumn<bool>("linked");       // the link names a port afterwards
    QTest::addColumn<QByteArray>("serial"); // in the answer afterwards; empty: no answer

    const QByteArray sn = "SN0001";
    QTest::newRow("unplug") << QByteArray("unplug\n") << 0 << true << false << QByteArray();
    QTest::newRow("unplug, plug") << QByteArray("unplug\nplug\n") << 0 << true << true << sn;
    QTest::newRow("swap on a port that stays")
        << QByteArray("swap SN-B 2\n") << 0 << false << true << QByteArray("SN-B 2");
    QTest::newRow("unplug, swap, plug")
        << QByteArray("unplug\nswap SN-C\nplug\n") << 0 << true << true << QByteArray("SN-C");
    QTest::newRow("power off, last line without its end")
        << QByteArray("power off") << 0 << false << true << QByteArray();
    QTest::newRow("power off, on")
        << QByteArray("power off\npower on\n") << 0 << false << true << sn;
    QTest::newRow("power on while unplugged")
        << QByteArray("unplug\npower on\n") << 0 << true << false << QByteArray();
    QTest::newRow("any case, spaces, CR LF")
        << QByteArray("  UNPLUG \r\nPlug\r\nPOWER   OFF\r\n") << 0 << true << true << QByteArray();
    QTest::newRow("refused and ignored lines")
        << QByteArray("# unplug\n\nplugs\nswap\nswap a\x01z\npower of\nunplug now\n") << 5 << false
        << true << sn;
}

void TestDeviceSimulator::hotPlugCommands()
{
    QFETCH(QByteArray, script);
    QFETCH(int, refused);
    QFETCH(bool, hangUp);
    QFETCH(bool, linked);
    QFETCH(QByteArray, serial);

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("slot"));
    QVERIFY(m_sim->setLinkPath(link)); // on a running device: made at once
    closePortOnHangUp();
    QVERIFY(openLink(link, 9600));

    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    PlugCommandReader reader(fds[0], m_sim);
    QSignalSpy refusals(&reader, &PlugCommandReader::refused);
    QSignalSpy closed(&reader, &PlugCommandReader::closed);
    QCOMPARE(::write(fds[1], script.constData(), script.size()), script.size());
    ::close(fds[1]);
    QVERIFY(closed.wait(1000));
    ::close(fds[0]);
    QTest::qWait(50); // the port's error comes in its own event

    QCOMPARE(refusals.count(), refused);
    QCOMPARE(hangUpsSeen(), hangUp ? 1 : 0);
    QCOMPARE(QFileInfo(link).isSymLink(), linked);
    QCOMPARE(m_sim->isRunning(), linked);
    if (!linked)
        return;
    QCOMPARE(QFile::symLinkTarget(link), m_sim->slavePath());
    if (!m_port->isOpen())
        QVERIFY(openLink(link, 9600));
    m_port->write(protocol::shortInfoQuery());
    const QByteArray expected =
        serial.isEmpty() ? QByteArray() : identityReply("PM-100", serial, "V1.0.0");
    QCOMPARE(readAnswer(*m_port, serial.isEmpty() ? 200 : 500), expected);
    QVERIFY(m_sim->receivedBytes().endsWith(protocol::shortInfoQuery())); // silent, not deaf
}

void TestDeviceSimulator::powerLoss_data()
{
    QTest::addColumn<int>("stage");      // 0 idle, 1 inside a transfer, 2 restarting after one
    QTest::addColumn<QByteArray>("how"); // unplug/plug, power off/on or swap
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<QByteArray>("identity"); // serial and version when not waiting

    QTest::newRow("idle, power cycle")
        << 0 << QByteArray("power") << false << QByteArray("SN0001 V1.0.0");
    QTest::newRow("inside a transfer, power cycle")
        << 1 << QByteArray("power") << true << QByteArray();
    QTest::newRow("inside a transfer, replug") << 1 << QByteArray("plug") << true << QByteArray();
    QTest::newRow("restarting, replug: new firmware at once")
        << 2 << QByteArray("plug") << false << QByteArray("SN0001 V2");
    QTest::newRow("updated unit swapped: old firmware")
        << 2 << QByteArray("swap") << false << QByteArray("SN-NEW V1.0.0");
    QTest::newRow("half-flashed unit swapped")
        << 1 << QByteArray("swap") << false << QByteArray("SN-NEW V1.0.0");
}

void TestDeviceSimulator::powerLoss()
{
    QFETCH(int, stage);
    QFETCH(QByteArray, how);
    QFETCH(bool, waiting);
    QFETCH(QByteArray, identity);

    m_sim->setRestartAfterUpdate(5000, "V2");
    closePortOnHangUp();
    QVERIFY(openClient(115200));
    if (stage >= 1) {
        m_port->write(protocol::updateCommand());
        QVERIFY(readAnswer(*m_port).size() > 10);
        m_port->write(buildFrame(testimage::payload(100), 0, 1));
        QCOMPARE(readAnswer(*m_port), kAck);
    }
    if (stage == 2) {
        m_port->write(kEot);
        QCOMPARE(readAnswer(*m_port), kAck);
        QVERIFY(m_sim->isRestarting());
    }

    if (how == "swap") {
        m_sim->swap("SN-NEW");
    } else if (how == "plug") {
        m_sim->unplug();
        QVERIFY(QTest::qWaitFor([this] { return hangUpsSeen() == 1; }, 500));
        QVERIFY(m_sim->plug());
        QVERIFY(openClient(115200));
    } else {
        m_sim->setPowered(false);
        m_sim->setPowered(true);
    }

    QVERIFY(!m_sim->isRestarting());
    QCOMPARE(m_sim->inReceiveMode(), waiting);
    m_port->write(protocol::infoQuery());
    const QList<QByteArray> parts = identity.split(' ');
    QCOMPARE(readAnswer(*m_port, waiting ? 200 : 500),
             waiting ? QByteArray() : identityReply("PM-100", parts.at(0), parts.at(1)));
}

void TestDeviceSimulator::linkIsOursOnly()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("file"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("keep") == 4);
    f.close();
    QVERIFY(!m_sim->setLinkPath(file));
    m_sim->unplug();
    QVERIFY(!m_sim->plug());
    QVERIFY(!m_sim->isRunning());
    QVERIFY(!QFileInfo(file).isSymLink());

    // A link left by an earlier run is replaced.
    const QString link = dir.filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent"), link));
    QVERIFY(m_sim->setLinkPath(link));
    QVERIFY2(m_sim->plug(), qPrintable(m_sim->errorString()));
    QCOMPARE(QFile::symLinkTarget(link), m_sim->slavePath());

    // Pointed elsewhere since: not ours to remove.
    QVERIFY(QFile::remove(link));
    QVERIFY(QFile::link(file, link));
    m_sim->unplug();
    QCOMPARE(QFile::symLinkTarget(link), file);
}

void TestDeviceSimulator::plugPatternPlan_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("8 slots' worth") << QStringLiteral("7:5:2000:20000") << true;
    QTest::newRow("fixed wait") << QStringLiteral("1:2:0:0") << true;
    QTest::newRow("no units") << QStringLiteral("1:0:10:20") << false;
    QTest::newRow("min above max") << QStringLiteral("1:5:300:200") << false;
    QTest::newRow("negative wait") << QStringLiteral("1:5:-1:200") << false;
    QTest::newRow("part missing") << QStringLiteral("1:5:200") << false;
    QTest::newRow("not a number") << QStringLiteral("x:5:1:2") << false;
}

void TestDeviceSimulator::plugPatternPlan()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);

    PlugPattern::Plan plan;
    QCOMPARE(PlugPattern::parsePlan(text, &plan), valid);
    if (!valid)
        return;
    const QList<int> waits = PlugPattern::waits(plan);
    QCOMPARE(waits, PlugPattern::waits(plan));
    QCOMPARE(waits.size(), plan.count);
    for (const int ms : waits)
        QVERIFY(ms >= plan.minMs && ms <= plan.maxMs);
}

void TestDeviceSimulator::plugPattern()
{
    const PlugPattern::Plan plan{7, 3, 20, 80};
    QVERIFY(PlugPattern::waits(plan) != PlugPattern::waits({8, 3, 20, 80}));
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("slot"));
    QVERIFY(m_sim->setLinkPath(link));
    m_sim->setRestartAfterUpdate(50, "V2");
    closePortOnHangUp();
    PlugPattern pattern(m_sim, plan, "UNIT");
    pattern.setHoldMs(100);
    QSignalSpy arrived(&pattern, &PlugPattern::unitArrived);
    QSignalSpy removed(&pattern, &PlugPattern::unitRemoved);
    QSignalSpy finished(&pattern, &PlugPattern::finished);
    pattern.start();
    QVERIFY(!QFileInfo(link).isSymLink());

    // Unit 1 is updated and removes itself its hold time after its restart.
    QVERIFY(arrived.wait(1000));
    QCOMPARE(arrived.constLast().at(1).toByteArray(), QByteArray("UNIT-1"));
    QVERIFY(openLink(link, 115200));
    m_port->write(protocol::updateCommand());
    QVERIFY(readAnswer(*m_port).size() > 10);
    QElapsedTimer sinceEot;
    sinceEot.start();
    m_port->write(buildFrame(testimage::payload(100), 0, 1) + kEot);
    QCOMPARE(readAnswer(*m_port), kAck + kAck);
    QVERIFY(removed.wait(1000));
    QVERIFY(sinceEot.elapsed() >= 150);
    QCOMPARE(removed.constLast(), (QList<QVariant>{1, 1}));

    // Unit 2 is a fresh one; the caller removes it before any update, unit 3 likewise.
    QVERIFY(QTest::qWaitFor([&arrived] { return arrived.count() == 2; }, 1000));
    QVERIFY(openLink(link, 115200));
    m_port->write(protocol::infoQuery());
    QCOMPARE(readAnswer(*m_port), identityReply("PM-100", "UNIT-2", "V1.0.0"));
    m_sim->unplug();
    QVERIFY(QTest::qWaitFor([&arrived] { return arrived.count() == 3; }, 1000));
    m_sim->unplug();
    QCOMPARE(removed.count(), 3);
    QCOMPARE(removed.constLast(), (QList<QVariant>{3, 0}));
    QCOMPARE(finished.count(), 1);
    QTest::qWait(150);
    QCOMPARE(arrived.count(), 3);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestDeviceSimulator)
#include "tst_devicesim.moc"
