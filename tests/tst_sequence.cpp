// No firmware leaves the window out of the connect, browse, update sequence: the paths by which a
// click, a port error or a language switch could start or spoil a transfer.
#include "devicesim.h"
#include "messages.h"
#include "protocol.h"
#include "virtualtime.h"
#include "windowtest.h"

#include <QFileDialog>
#include <QLoggingCategory>
#include <QMenu>
#include <QTest>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

namespace {

const QByteArray kNak(1, protocol::NAK);
const QByteArray kAck(1, protocol::ACK);
const QByteArray kEot(1, protocol::EOT);
const QString kNothingReachable = QStringLiteral("open:0 browse:0 update:0 menu:0");
const QString kDisconnectedControls = QStringLiteral("open:1 browse:0 update:0 menu:1");

// A click as the window system delivers it: queued, and handled by whichever event loop takes
// user input next (QTest's clicks are delivered at once instead).
void postClick(QWidget *button)
{
    QWidget *top = button->window();
    QWindow *window = top->windowHandle();
    const QPoint centre = button->rect().center();
    const QPointF local = button->mapTo(top, centre);
    const QPointF global = button->mapToGlobal(centre);
    using Q = QWindowSystemInterface;
    Q::handleMouseEvent<Q::AsynchronousDelivery>(window, local, global, Qt::LeftButton,
                                                 Qt::LeftButton, QEvent::MouseButtonPress);
    Q::handleMouseEvent<Q::AsynchronousDelivery>(window, local, global, Qt::NoButton,
                                                 Qt::LeftButton, QEvent::MouseButtonRelease);
}

} // namespace

class TestSequence : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { setUpWindow(); }
    void cleanup() { tearDownWindow(); }

    void updateStaysOffAfterPortErrorInUpdateStart();
    void browseDuringPortErrorLeavesUpdateOff();
    void nothingStartsDuringUpdateStart();
    void languageLockedWhileConnecting_data();
    void languageLockedWhileConnecting();
    void portErrorInFinalPauseFreesWindow_data();
    void portErrorInFinalPauseFreesWindow();
    void firstLanguageChoiceAfterConnectTakesEffect();
    void clickInGatheringWaitRunsAfterRead();
    void splitReplyIsJoined_data();
    void splitReplyIsJoined();
    void fastUpdateStartFailure();

private:
    QString smallImage()
    {
        return writeImage(dir->path(), QStringLiteral("fw.bin"), "PM-100", 200);
    }
};

void TestSequence::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

// The port error disconnects the window while the update start still waits; its failure branch
// must not offer Update again (a press during the next handshake would send firmware to a device
// that has not identified itself).
void TestSequence::updateStaysOffAfterPortErrorInUpdateStart()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(smallImage()));
    sim->setAnswerUpdate(false);
    connect(sim, &DeviceSimulator::bytesReceived, this, [this](const QByteArray &bytes) {
        if (bytes.contains(protocol::updateCommand()))
            sim->hangUp();
    });
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kReadFailed, kReadFailed}));
    QCOMPARE(controls(*d), kDisconnectedControls);
    QCOMPARE(d->openButton()->text(), kConnect);
}

// The device drops off while the file dialog is open: the chosen image must not offer Update on
// the disconnected window.
void TestSequence::browseDuringPortErrorLeavesUpdateOff()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QString path = smallImage();
    bool disconnected = false;
    d->clickWithModal(d->browseButton(), [&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (dialog && !disconnected) {
            sim->hangUp();
            disconnected =
                virtualtime::waitFor([&] { return d->openButton()->text() == kConnect; });
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        }
        static_cast<QDialog *>(modal)->accept();
    });

    QVERIFY(disconnected);
    QCOMPARE(d->route()->toPlainText(), path);
    QCOMPARE(controls(*d), kDisconnectedControls);
}

void TestSequence::nothingStartsDuringUpdateStart()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(smallImage()));
    QString inFirstWait, afterCommand;
    QTimer::singleShot(20, this, [&] { inFirstWait = controls(*d); });
    connect(sim, &DeviceSimulator::bytesReceived, this, [&](const QByteArray &bytes) {
        if (bytes.contains(protocol::updateCommand()))
            afterCommand = controls(*d);
    });
    pressUpdate();

    QCOMPARE(inFirstWait, kNothingReachable);
    QCOMPARE(afterCommand, kNothingReachable);
    QCOMPARE(newTexts(), QStringList({kStarted, kCompleted}));
    QVERIFY(traffic().command);
    QCOMPARE(sim->receivedBytes().count(protocol::updateCommand()), 1);
}

void TestSequence::languageLockedWhileConnecting_data()
{
    QTest::addColumn<DeviceSimulator::Behaviour>("device");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<bool>("connected");

    QTest::newRow("115200, device waiting")
        << DeviceSimulator::WaitingForFirmware << QStringLiteral("115200") << true;
    QTest::newRow("9600, silent device")
        << DeviceSimulator::Silent << QStringLiteral("9600") << false;
}

// A switch refills the baud list with "9600" while the line runs at 115200; the update start
// would then take the wrong branch.
void TestSequence::languageLockedWhileConnecting()
{
    QFETCH(DeviceSimulator::Behaviour, device);
    QFETCH(QString, baud);
    QFETCH(bool, connected);

    sim->setBehaviour(device);
    bool usable = true;
    QTimer::singleShot(500, this, [&] { usable = d->optionsMenu()->isEnabled(); });
    d->connect(sim->slavePath(), baud);

    QVERIFY(!usable);
    QCOMPARE(d->openButton()->text(), connected ? kDisconnect : kConnect);
    QCOMPARE(d->bauds()->currentText(), baud);
    // Locked while connected; a failed connect gives the menu back.
    QCOMPARE(d->optionsMenu()->isEnabled(), !connected);
}

void TestSequence::portErrorInFinalPauseFreesWindow_data()
{
    QTest::addColumn<bool>("afterEndByte");
    QTest::newRow("before the end byte") << false;
    QTest::newRow("after the end byte") << true;
}

void TestSequence::portErrorInFinalPauseFreesWindow()
{
    QFETCH(bool, afterEndByte);

    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(smallImage()));
    if (afterEndByte) {
        sim->setAnswerEot(false);
        connect(sim, &DeviceSimulator::bytesReceived, this, [this](const QByteArray &bytes) {
            if (bytes.contains(kEot))
                sim->hangUp();
        });
    } else {
        connect(sim, &DeviceSimulator::bytesSent, this, [this](const QByteArray &bytes) {
            if (bytes == kAck && sim->framesAccepted() == 2)
                QTimer::singleShot(300, sim, &DeviceSimulator::hangUp);
        });
    }
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kStarted, kReadFailed}));
    QCOMPARE(controls(*d), kDisconnectedControls);
    QVERIFY(d->optionsMenu()->isEnabled());
    QCOMPARE(traffic().tail, afterEndByte ? kEot : QByteArray());
}

// Chosen with the keyboard, the language menu used to keep its highlighted entry and open
// sub-menu through the connection, and swallowed the next choice.
void TestSequence::firstLanguageChoiceAfterConnectTakesEffect()
{
    d->chooseLanguageByKeyboard(2);
    QCOMPARE(d->openButton()->text(), QStringLiteral("Verbinden"));
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    QCOMPARE(d->openButton()->text(), QStringLiteral("Trennen"));
    d->openButton()->click();

    d->chooseLanguageByKeyboard(1);
    QCOMPARE(d->openButton()->text(), kConnect);
}

// A device waiting for firmware asks for it once a second. A click that lands while the window
// gathers such a request must run after the read: run inside it, the update would hold back the
// port's next readyRead and miss every answer.
void TestSequence::clickInGatheringWaitRunsAfterRead()
{
    sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    QVERIFY(connectAt(QStringLiteral("115200")));
    QVERIFY(choose(smallImage()));
    QVERIFY(QTest::qWaitForWindowExposed(w));
    bool clicked = false;
    connect(sim, &DeviceSimulator::bytesSent, this, [&](const QByteArray &bytes) {
        if (clicked || bytes != kNak)
            return;
        clicked = true;
        QTimer::singleShot(10, this, [this] { postClick(d->updateButton()); });
    });
    linesBefore = d->paneLines().size();

    QVERIFY(virtualtime::waitFor([&] { return clicked; }));
    QVERIFY(virtualtime::waitFor([&] { return newTexts().size() >= 2; }, 15000));
    QCOMPARE(newTexts(), QStringList({kStarted, kCompleted}));
    QCOMPARE(sim->duplicateFrames() + sim->badFrames(), 0);
}

void TestSequence::splitReplyIsJoined_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("gapMs");
    QTest::newRow("3 pieces 10 ms apart") << 3 << 10;
    QTest::newRow("8 pieces 3 ms apart") << 8 << 3;
}

void TestSequence::splitReplyIsJoined()
{
    QFETCH(int, pieces);
    QFETCH(int, gapMs);

    sim->setReplySplit(pieces, gapMs);
    QVERIFY(connectAt(QStringLiteral("9600")));
    QCOMPARE(texts(d->paneLines()),
             QStringList{kConnecting} + kIdentityLines + QStringList{kConnected});
}

void TestSequence::fastUpdateStartFailure()
{
    // Ten bytes are not an answer to the command at 115200.
    sim->setUpdateAnswer(QByteArrayLiteral("0123456789"));
    QVERIFY(connectAt(QStringLiteral("115200")));
    QVERIFY(choose(smallImage()));
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kReadFailedFast}));
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:1 update:1 menu:1"));
    const Traffic t = traffic();
    QVERIFY(t.command);
    QVERIFY(t.frames.isEmpty());
    QVERIFY(t.tail.isEmpty());
}

QTEST_VIRTUAL_TIME_MAIN(TestSequence)
#include "tst_sequence.moc"
