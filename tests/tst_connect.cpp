#include "devicesim.h"
#include "identity.h"
#include "messages.h"
#include "protocol.h"
#include "serialupdata.h"
#include "windowdriver.h"
#include "virtualtime.h"
#include "windowtest.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Chunks = QList<DeviceSimulator::Received>;

const QByteArray kCan(1, protocol::CAN);
const QByteArray kNak(1, protocol::NAK);

int count(const Chunks &chunks, const QByteArray &bytes)
{
    int n = 0;
    for (const auto &chunk : chunks)
        n += chunk.bytes == bytes ? 1 : 0;
    return n;
}

qint64 msBetween(const DeviceSimulator::Received &a, const DeviceSimulator::Received &b)
{
    return (b.atUs - a.atUs) / 1000;
}

// QSerialPort locks the line it holds, so a second port opens only a line the tool has closed.
bool lineIsFree(const QString &path)
{
    QSerialPort probe(path);
    const bool opened = probe.open(QIODevice::ReadWrite);
    probe.close();
    return opened;
}

struct BoxSeen
{
    bool shown = false;
    QString title;
    QString text;
    QList<QMessageBox::StandardButton> buttons;
    bool hasDefault = true;
};

} // namespace

class TestConnect : public WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void nineSixHundredIdentity();
    void identityBoundary_data();
    void identityBoundary();
    void nineSixHundredAnswerLength_data();
    void nineSixHundredAnswerLength();
    void nineSixHundredJudgesStaleReply();
    void fastNakOutcome();
    void fastAnswerOutcome_data();
    void fastAnswerOutcome();
    void fastSilentDeviceGetsOneAttempt();
    void earlyCancelAnswerIsDiscarded();
    void openFailure_data();
    void openFailure();
    void disconnect();
    void hangUpWhileConnected();
    void hangUpDuringHandshake();
    void clickAfterErrorDuringHandshake_data();
    void clickAfterErrorDuringHandshake();
    void errorStorm();
    void errorWhileClosing();
    void reconnectAfterError();
    void languageSwitchDuringHandshake();

private:
    void verifyDisconnected(const QString &label = kConnect);
    void verifyConnected(const QString &label = kDisconnect);
    void chooseImage();
    BoxSeen clickExpectingBox();
};

void TestConnect::init()
{
    setUpWindow();
}

void TestConnect::cleanup()
{
    tearDownWindow();
}

void TestConnect::verifyDisconnected(const QString &label)
{
    QCOMPARE(d->openButton()->text(), label);
    QVERIFY(d->openButton()->isEnabled());
    QVERIFY(d->ports()->isEnabled());
    QVERIFY(d->bauds()->isEnabled());
    QVERIFY(!d->browseButton()->isEnabled());
    QVERIFY(!d->updateButton()->isEnabled());
    QVERIFY(d->optionsMenu()->isEnabled());
}

void TestConnect::verifyConnected(const QString &label)
{
    QCOMPARE(d->openButton()->text(), label);
    QVERIFY(d->openButton()->isEnabled());
    QVERIFY(!d->ports()->isEnabled());
    QVERIFY(!d->bauds()->isEnabled());
    QVERIFY(d->browseButton()->isEnabled());
    QVERIFY(!d->updateButton()->isEnabled());
    QVERIFY(!d->optionsMenu()->isEnabled());
}

// Fills the firmware path pane (and enables update), which a port error and a disconnect clear.
void TestConnect::chooseImage()
{
    const QString path = writeImage(dir->path(), QStringLiteral("fw.bin"), "PM-100", 300);
    QVERIFY(!path.isEmpty());
    QVERIFY(d->browse(path).shown);
    QCOMPARE(d->route()->toPlainText(), path);
    QVERIFY(d->updateButton()->isEnabled());
}

BoxSeen TestConnect::clickExpectingBox()
{
    BoxSeen seen;
    d->clickWithModal(d->openButton(), [&seen](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box) {
            modal->close();
            return;
        }
        seen.shown = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        for (QAbstractButton *button : box->buttons())
            seen.buttons << box->standardButton(button);
        seen.hasDefault = box->defaultButton() != nullptr;
        box->buttons().constFirst()->click();
    });
    return seen;
}

#define CHECK(call)                                                                                \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

void TestConnect::nineSixHundredIdentity()
{
    d->connect(sim->slavePath(), QStringLiteral("9600"));

    const QStringList lines = d->paneLines();
    QCOMPARE(texts(lines), QStringList{kConnecting} + kIdentityLines + QStringList{kConnected});
    QVERIFY(!stampOf(lines.at(1)).isEmpty());
    QCOMPARE(stampOf(lines.constLast()), stampOf(lines.at(1)));
    CHECK(verifyConnected());
    QVERIFY(!lineIsFree(sim->slavePath()));

    const Chunks record = sim->record();
    QCOMPARE(bytesOf(record), (QList<QByteArray>{protocol::function41Frame(), "info"}));
    QCOMPARE(baudsOf(record), (QList<qint32>{9600, 9600}));
    QCOMPARE(msBetween(record.at(0), record.at(1)), 2000);
}

void TestConnect::identityBoundary_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("expected");

    const QString connecting = QStringLiteral("->正在连接...");
    const QString connected = QStringLiteral("->已连接");
    // Without a marker the identity text is CR LF alone (2 characters); the shortest label is the
    // untranslated product label, so an empty product value gives exactly 7 characters.
    QTest::newRow("no marker, 2 characters")
        << QByteArray("0123456789A") << QStringList{connecting, connected};
    QTest::newRow("marker only at the first character")
        << QByteArray("PRODUCT:PM-100\n") << QStringList{connecting, connected};
    QTest::newRow("empty product value, 7 characters")
        << QByteArray("info\r\nPRODUCT:\n")
        << QStringList{connecting, QStringLiteral("->"), QStringLiteral("设备名称:"), connected};
}

void TestConnect::identityBoundary()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, expected);

    d->languageMenu()->actions().at(0)->trigger();
    sim->setIdentityReply(reply);
    d->connect(sim->slavePath(), QStringLiteral("9600"));

    QCOMPARE(texts(d->paneLines()), expected);
    CHECK(verifyConnected(QStringLiteral("断开连接")));
}

void TestConnect::nineSixHundredAnswerLength_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("connected");

    QTest::newRow("silent") << true << QByteArray() << false;
    QTest::newRow("10 bytes") << false << QByteArray("0123456789") << false;
    QTest::newRow("11 bytes") << false << QByteArray("0123456789A") << true;
}

void TestConnect::nineSixHundredAnswerLength()
{
    QFETCH(bool, silent);
    QFETCH(QByteArray, reply);
    QFETCH(bool, connected);

    if (silent)
        sim->setBehaviour(DeviceSimulator::Silent);
    else
        sim->setIdentityReply(reply);
    d->connect(sim->slavePath(), QStringLiteral("9600"));

    QCOMPARE(texts(d->paneLines()), (QStringList{kConnecting, connected ? kConnected : kFailed}));
    QCOMPARE(bytesOf(sim->record()), (QList<QByteArray>{protocol::function41Frame(), "info"}));
    if (connected) {
        CHECK(verifyConnected());
        QVERIFY(!lineIsFree(sim->slavePath()));
        return;
    }
    CHECK(verifyDisconnected());
    QVERIFY(lineIsFree(sim->slavePath()));
    virtualtime::settle(300);
    QCOMPARE(sim->record().size(), 2);
}

// The 9600 variant judges the last reply it stored, here the 2 s old answer to the function-0x41
// frame; a disconnect forgets it, so a silent device then fails the next connect.
void TestConnect::nineSixHundredJudgesStaleReply()
{
    QObject::connect(sim, &DeviceSimulator::bytesSent, sim,
                     [this] { sim->setBehaviour(DeviceSimulator::Silent); });
    d->connect(sim->slavePath(), QStringLiteral("9600"));

    QCOMPARE(texts(d->paneLines()),
             (QStringList{kConnecting} + kIdentityLines + QStringList{kConnected}));
    CHECK(verifyConnected());
    QCOMPARE(bytesOf(sim->record()), (QList<QByteArray>{protocol::function41Frame(), "info"}));
    QCOMPARE(sim->sent().size(), 1);

    d->openButton()->click(); // disconnect
    CHECK(verifyDisconnected());
    const int before = d->paneLines().size();
    d->openButton()->click();
    QCOMPARE(texts(d->newLines(before)), (QStringList{kConnecting, kFailed}));
    CHECK(verifyDisconnected());
}

void TestConnect::fastNakOutcome()
{
    sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    // Off the 50 ms grid: CAN at 300 ms, the NAK at 3820 ms, read by 3850 ms and seen by that
    // poll. Whatever came in the 3 s after CAN would have been thrown away.
    sim->setCancelAnswerDelayMs(3520);
    const qint64 start = virtualtime::nowMs();
    d->connect(sim->slavePath(), QStringLiteral("115200"));

    QCOMPARE(virtualtime::nowMs() - start, 3850);
    QCOMPARE(texts(d->paneLines()), (QStringList{kConnecting, kConnectedAgain}));
    CHECK(verifyConnected());
    const Chunks record = sim->record();
    QCOMPARE(bytesOf(record), QList<QByteArray>{kCan});
    QCOMPARE(record.constFirst().baud, 115200);
}

void TestConnect::fastAnswerOutcome_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("identity") << identityReply("PM-100", "SN0001", "V1.0.0")
                              << QStringList{kConnecting} + kIdentityLines +
                                     QStringList{kConnected};
    QTest::newRow("11 bytes without markers")
        << QByteArray("0123456789A") << QStringList{kConnecting, kConnectedAgain};
}

void TestConnect::fastAnswerOutcome()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, expected);

    sim->setIdentityReply(reply);
    d->connect(sim->slavePath(), QStringLiteral("115200"));

    const QStringList lines = d->paneLines();
    QCOMPARE(texts(lines), expected);
    QCOMPARE(stampOf(lines.constLast()), stampOf(lines.at(1)));
    CHECK(verifyConnected());

    const Chunks record = sim->record();
    QCOMPARE(bytesOf(record),
             (QList<QByteArray>{kCan, protocol::function41Frame(), "info\r", "info\r"}));
    QCOMPARE(baudsOf(record), (QList<qint32>{115200, 9600, 115200, 115200}));
    // 3000 ms of discarded reads and 80 empty polls of 50 ms before the switch-over frame, 2000
    // ms for the console and 500 ms to switch back, 200 ms between the queries.
    QCOMPARE(msBetween(record.at(0), record.at(1)), 7000);
    QCOMPARE(msBetween(record.at(1), record.at(2)), 2500);
    QCOMPARE(msBetween(record.at(2), record.at(3)), 200);
}

void TestConnect::fastSilentDeviceGetsOneAttempt()
{
    sim->setBehaviour(DeviceSimulator::Silent);
    const qint64 start = virtualtime::nowMs();
    d->connect(sim->slavePath(), QStringLiteral("115200"));

    // 300 ms before CAN, 3000 + 80 x 50 ms after it, 2000 + 500 ms around the switch-over frame,
    // 200 ms after each query.
    QCOMPARE(virtualtime::nowMs() - start, 10200);
    QCOMPARE(texts(d->paneLines()), (QStringList{kConnecting, kFailed}));
    CHECK(verifyDisconnected());
    QVERIFY(lineIsFree(sim->slavePath()));
    const Chunks record = sim->record();
    QCOMPARE(count(record, kCan), 1);
    QCOMPARE(count(record, protocol::function41Frame()), 1);
    QCOMPARE(count(record, "info\r"), 2);
    QCOMPARE(record.size(), 4);
}

// A NAK inside the 3000 ms after the cancel byte is thrown away; a later non-NAK read ends the
// poll, so the attempt goes on to the switch-over frame and the identity.
void TestConnect::earlyCancelAnswerIsDiscarded()
{
    QObject::connect(sim, &DeviceSimulator::bytesReceived, sim, [this](const QByteArray &bytes) {
        if (bytes != kCan)
            return;
        QTimer::singleShot(2700, Qt::PreciseTimer, sim, [this] { sim->send(kNak); });
        QTimer::singleShot(3300, Qt::PreciseTimer, sim, [this] { sim->send("x"); });
    });
    d->connect(sim->slavePath(), QStringLiteral("115200"));

    QCOMPARE(texts(d->paneLines()),
             QStringList{kConnecting} + kIdentityLines + QStringList{kConnected});
    QCOMPARE(count(sim->record(), protocol::function41Frame()), 1);
    QCOMPARE(bytesOf(sim->sent()).mid(0, 2), (QList<QByteArray>{kNak, "x"}));
}

void TestConnect::openFailure_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<bool>("emptyList");
    QTest::addColumn<QString>("text");

    const QString text9600 = QStringLiteral("Failed to open the serial port");
    const QString text115200 = QStringLiteral("Failed to open the serial por");
    QTest::newRow("9600, missing port") << QStringLiteral("9600") << false << text9600;
    QTest::newRow("115200, missing port") << QStringLiteral("115200") << false << text115200;
    QTest::newRow("9600, empty port list") << QStringLiteral("9600") << true << text9600;
    QTest::newRow("115200, empty port list") << QStringLiteral("115200") << true << text115200;
}

void TestConnect::openFailure()
{
    QFETCH(QString, baud);
    QFETCH(bool, emptyList);
    QFETCH(QString, text);

    if (emptyList)
        d->ports()->clear();
    else
        d->usePort(QStringLiteral("/dev/pelmar-no-such-port"));
    d->chooseBaud(baud);

    // Twice: the first failure must leave the connect button usable.
    for (int click = 0; click < 2; ++click) {
        const BoxSeen box = clickExpectingBox();
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("title"));
        QCOMPARE(box.text, text);
        QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Yes});
        QVERIFY(!box.hasDefault);
        QVERIFY(d->paneLines().isEmpty());
        CHECK(verifyDisconnected());
        QCOMPARE(d->bauds()->currentText(), baud);
    }
}

void TestConnect::disconnect()
{
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    CHECK(chooseImage());
    const QStringList before = d->paneLines();

    d->openButton()->click();

    QCOMPARE(d->paneLines(), before);
    CHECK(verifyDisconnected());
    QVERIFY(d->route()->toPlainText().isEmpty());
    QVERIFY(lineIsFree(sim->slavePath()));
}

void TestConnect::hangUpWhileConnected()
{
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    CHECK(chooseImage());
    const int before = d->paneLines().size();

    sim->hangUp();
    QVERIFY(virtualtime::waitFor([&] { return d->paneLines().size() == before + 1; }));
    virtualtime::settle(300); // a hang-up repeats its read error until the port is closed

    const QStringList added = d->newLines(before);
    QCOMPARE(added.size(), 1);
    QVERIFY(!stampOf(added.constFirst()).isEmpty());
    QCOMPARE(textOf(added.constFirst()), kReadFailed);
    CHECK(verifyDisconnected());
    QVERIFY(d->route()->toPlainText().isEmpty());
}

void TestConnect::hangUpDuringHandshake()
{
    QTimer::singleShot(500, sim, [this] { sim->hangUp(); });
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    virtualtime::settle(300);

    QCOMPARE(texts(d->paneLines()), (QStringList{kConnecting, kReadFailed, kFailed}));
    CHECK(verifyDisconnected());
}

void TestConnect::clickAfterErrorDuringHandshake_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QList<QByteArray>>("traffic");

    QTest::newRow("9600") << QStringLiteral("9600")
                          << QList<QByteArray>{protocol::function41Frame(), "info"};
    QTest::newRow("115200") << QStringLiteral("115200")
                            << QList<QByteArray>{kCan, protocol::function41Frame(), "info\r",
                                                 "info\r"};
}

// The error line enables the connect button while the handshake still waits; a click then starts
// a new connect inside that wait. The first handshake must leave the new link alone: no frames of
// its own on it, no second outcome.
void TestConnect::clickAfterErrorDuringHandshake()
{
    QFETCH(QString, baud);
    QFETCH(QList<QByteArray>, traffic);

    bool usable = false;
    QTimer::singleShot(500, sim, [this, &usable] {
        sim->hangUp();
        QTimer::singleShot(300, sim, [this, &usable] {
            usable = d->openButton()->isEnabled() && d->openButton()->text() == kConnect;
            sim->clearRecord();
            QVERIFY(sim->start());
            d->usePort(sim->slavePath());
            d->openButton()->click();
        });
    });
    d->connect(sim->slavePath(), baud);
    virtualtime::settle(300);

    QVERIFY(usable);
    QCOMPARE(texts(d->paneLines()), (QStringList{kConnecting, kReadFailed, kConnecting} +
                                     kIdentityLines + QStringList{kConnected}));
    CHECK(verifyConnected());
    QVERIFY(!lineIsFree(sim->slavePath()));
    QCOMPARE(bytesOf(sim->record()), traffic);
}

void TestConnect::errorStorm()
{
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    CHECK(chooseImage());
    const int before = d->paneLines().size();

    const QList<QSerialPort::SerialPortError> errors = {
        QSerialPort::ReadError, QSerialPort::ResourceError, QSerialPort::WriteError,
        QSerialPort::NotOpenError, QSerialPort::UnknownError};
    for (int i = 0; i < errors.size(); ++i) {
        // Undo the previous reset so that each error has to do it again.
        if (i > 0) {
            d->openButton()->setText(kDisconnect);
            d->openButton()->setEnabled(false);
            d->ports()->setEnabled(false);
            d->bauds()->setEnabled(false);
            d->browseButton()->setEnabled(true);
            d->updateButton()->setEnabled(true);
            d->optionsMenu()->setEnabled(false);
            d->route()->setPlainText(QStringLiteral("x"));
        }
        d->raisePortError(errors.at(i));
        QCOMPARE(texts(d->newLines(before)), QVector<QString>(i + 1, kReadFailed).toList());
        CHECK(verifyDisconnected());
        QVERIFY(d->route()->toPlainText().isEmpty());
    }
    QVERIFY(lineIsFree(sim->slavePath()));
}

// A port that reports its own failing close as a new error (an adapter that vanished, on Windows):
// the error handler, still closing, must not run again, while a later error gets its own line.
void TestConnect::errorWhileClosing()
{
    PortWatcher watcher;
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    CHECK(verifyConnected());
    QSerialPort *port = watcher.latest();
    QVERIFY(port && port->isOpen());
    const int before = d->paneLines().size();

    int closing = 0;
    connect(port, &QIODevice::aboutToClose, w, [&] {
        if (++closing == 1)
            QMetaObject::invokeMethod(
                port, "error", Qt::DirectConnection,
                Q_ARG(QSerialPort::SerialPortError, QSerialPort::ResourceError));
    });
    // Run away, the handler closes the closed port again and again: cut it off after a few.
    int errors = 0;
    connect(port, &QSerialPort::errorOccurred, w, [&] {
        if (++errors > 5)
            port->disconnect(w);
    });
    d->raisePortError(QSerialPort::ReadError);

    QCOMPARE(texts(d->newLines(before)), QStringList{kReadFailed});
    QCOMPARE(closing, 1);
    QVERIFY(!port->isOpen());
    CHECK(verifyDisconnected());

    d->raisePortError(QSerialPort::ResourceError);
    QCOMPARE(texts(d->newLines(before)), QStringList({kReadFailed, kReadFailed}));
}

void TestConnect::reconnectAfterError()
{
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    d->raisePortError(QSerialPort::ReadError);
    CHECK(verifyDisconnected());
    sim->clearRecord();

    d->openButton()->click();

    QCOMPARE(texts(d->paneLines()).mid(6),
             (QStringList{kReadFailed, kConnecting} + kIdentityLines + QStringList{kConnected}));
    CHECK(verifyConnected());
    QCOMPARE(bytesOf(sim->record()), (QList<QByteArray>{protocol::function41Frame(), "info"}));
}

// German arrives while the handshake waits: the disabled button shows the German "Connect" until
// the outcome, and the outcome line is written in German.
void TestConnect::languageSwitchDuringHandshake()
{
    sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    bool menuUsable = false;
    QTimer::singleShot(1000, w, [this, &menuUsable] {
        menuUsable = d->optionsMenu()->isEnabled();
        d->languageMenu()->actions().at(2)->trigger();
    });
    QStringList labelsAtLines;
    QObject::connect(d->pane(), &QPlainTextEdit::textChanged, w, [this, &labelsAtLines] {
        labelsAtLines << d->openButton()->text() +
                             (d->openButton()->isEnabled() ? QString() : QStringLiteral(" (off)"));
    });

    d->connect(sim->slavePath(), QStringLiteral("115200"));

    // The menu is locked while connecting (a switch refills the baud list); the slot still works
    // when triggered as an action.
    QVERIFY(!menuUsable);
    QCOMPARE(texts(d->paneLines()),
             (QStringList{kConnecting, QStringLiteral("->Verbunden. Bitte erneut update")}));
    QCOMPARE(labelsAtLines,
             (QStringList{QStringLiteral("Connect (off)"), QStringLiteral("Verbinden (off)")}));
    CHECK(verifyConnected(QStringLiteral("Trennen")));
}

QTEST_VIRTUAL_TIME_MAIN(TestConnect)
#include "tst_connect.moc"
