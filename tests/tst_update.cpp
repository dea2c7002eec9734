#include "devicesim.h"
#include "identity.h"
#include "messages.h"
#include "protocol.h"
#include "serialupdata.h"
#include "testimage.h"
#include "windowdriver.h"
#include "virtualtime.h"
#include "windowtest.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray kEot(1, protocol::EOT);
// A connect with the simulator's identity as the pane shows it (the identity lines carry no time
// stamp of their own).
const QStringList kReconnected = {
    QStringLiteral("->Connecting"),    QStringLiteral("->"),
    QStringLiteral("<no time stamp>"), QStringLiteral("<no time stamp>"),
    QStringLiteral("<no time stamp>"), QStringLiteral("->Connected")};
constexpr qint64 kMiB = 1024 * 1024;

int blockOf(const QByteArray &frame)
{
    return static_cast<quint8>(frame.at(1));
}

int complementOf(const QByteArray &frame)
{
    return static_cast<quint8>(frame.at(2));
}

// Open descriptors of this process on `path`: the simulator keeps one on its slave side, the
// window's port adds another while it is open.
int descriptorsOn(const QString &path)
{
    int n = 0;
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : fds) {
        char target[512];
        const QByteArray link = QByteArrayLiteral("/proc/self/fd/") + fd.toLatin1();
        const ssize_t len = ::readlink(link.constData(), target, sizeof target);
        if (len > 0 && QString::fromLocal8Bit(target, static_cast<int>(len)) == path)
            ++n;
    }
    return n;
}

// A file of `size` bytes that occupies no disk space.
bool writeSparse(const QString &path, qint64 size)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(size);
}

} // namespace

class TestUpdate : public WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void completeUpdate_data();
    void completeUpdate();
    void packetCounts_data();
    void packetCounts();
    void blockNumberWrapsAfter255();
    void refusedFrame();
    void silentDevice();
    void hangUpDuringTransfer();
    void unconfirmedEnd();
    void unclearReplies_data();
    void unclearReplies();

    void nameCheck_data();
    void nameCheck();
    void browseDialog();
    void cancelAfterChoosing();
    void unloadableFile_data();
    void unloadableFile();
    void largestImageLoads();

    void staleLongAnswerStartsTransfer();
    void failedStartThenRepeatedPress();
    void reconnectDuringEndPause();
    void reconnectDuringUpdateStart();

    void nameForgottenOnReconnect_data();
    void nameForgottenOnReconnect();
    void portErrorUnderFileBox();
    void closeDuringUpdate_data();
    void closeDuringUpdate();

private:
    bool portOpenInWindow() const;
    QString rootFile(int pathLength);
    void dropAndReconnect(int afterMs, DeviceSimulator &other, bool &reconnected);
    void verifyCompleted(bool command, int frames, const QByteArray &payload);

    QStringList filesToRemove;
};

void TestUpdate::init()
{
    setUpWindow();
}

void TestUpdate::cleanup()
{
    tearDownWindow();
    for (const QString &path : qAsConst(filesToRemove))
        QFile::remove(path);
    filesToRemove.clear();
}

bool TestUpdate::portOpenInWindow() const
{
    return descriptorsOn(sim->slavePath()) > (sim->isRunning() ? 1 : 0);
}

// A new file directly under "/" whose path has exactly `pathLength` characters.
QString TestUpdate::rootFile(int pathLength)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 50; ++attempt) {
        QByteArray path("/");
        while (path.size() < pathLength)
            path += letters[QRandomGenerator::global()->bounded(26)];
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            ::close(fd);
            filesToRemove << QString::fromLatin1(path);
            return QString::fromLatin1(path);
        }
        if (errno != EEXIST)
            break;
    }
    return QString();
}

// The device hangs up `afterMs` from now, and 50 ms later the user picks `other` on the freed
// port list and connects to it, inside whatever wait the window is in.
void TestUpdate::dropAndReconnect(int afterMs, DeviceSimulator &other, bool &reconnected)
{
    QTimer::singleShot(afterMs, sim, &DeviceSimulator::hangUp);
    QTimer::singleShot(afterMs + 50, this, [this, &other, &reconnected] {
        d->usePort(other.slavePath());
        reconnected = true;
        d->openButton()->click();
    });
}

// The update ended completed: the command went out (or not, for a direct start), then `frames`
// frames and the end byte, and the device holds the payload with its filler.
void TestUpdate::verifyCompleted(bool command, int frames, const QByteArray &payload)
{
    QCOMPARE(newTexts(), QStringList({kStarted, kCompleted}));
    const Traffic t = traffic();
    QCOMPARE(t.command, command);
    QCOMPARE(t.frames.size(), frames);
    QCOMPARE(t.tail, kEot);
    QCOMPARE(sim->receivedImage(), paddedPayload(payload));
}

void TestUpdate::completeUpdate_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<bool>("waitingDevice");
    QTest::addColumn<QString>("connectedLine");

    QTest::newRow("115200, device waiting: direct start")
        << QStringLiteral("115200") << true << QStringLiteral("->Connected. Please update again");
    QTest::newRow("9600, update command")
        << QStringLiteral("9600") << false << QStringLiteral("->Connected");
}

void TestUpdate::completeUpdate()
{
    QFETCH(QString, baud);
    QFETCH(bool, waitingDevice);
    QFETCH(QString, connectedLine);

    if (waitingDevice)
        sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    QVERIFY(connectAt(baud));
    QCOMPARE(stampedTexts(d->paneLines()).constLast(), connectedLine);
    // A NAK crossing the first frame would be read as its refusal; the connect's NAK is all the
    // direct start needs, and it stays in the window's buffer.
    sim->setUnaskedNakIntervalMs(0);

    const QByteArray data = testimage::payload(300);
    const QString path = imageFile(testimage::nameField("PM-100") + data);
    QVERIFY(choose(path));
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kStarted, kCompleted}));
    const Traffic t = traffic();
    QCOMPARE(t.command, !waitingDevice);
    QCOMPARE(t.frames.size(), 3);
    QCOMPARE(t.tail, kEot);
    for (const DeviceSimulator::Received &chunk : sim->record())
        QCOMPARE(chunk.baud, baud.toInt());
    QCOMPARE(sim->receivedImage(), paddedPayload(data));
    QCOMPARE(sim->badFrames(), 0);
    QVERIFY(sim->eotReceived());

    QCOMPARE(d->bar()->maximum(), 316 / 128 + 11);
    QCOMPARE(d->bar()->value(), d->bar()->maximum());
    QCOMPARE(d->packets()->text(), QStringLiteral("3"));
    QCOMPARE(controls(*d), QStringLiteral("open:0 browse:0 update:0 menu:0"));
    QVERIFY(portOpenInWindow());
}

void TestUpdate::packetCounts_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("barMaximum");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("frames");

    QTest::newRow("16: name field only") << 16 << 10 << QStringLiteral("0") << 0;
    QTest::newRow("17: one payload byte") << 17 << 11 << QStringLiteral("1") << 1;
    QTest::newRow("144: one whole block") << 144 << 12 << QStringLiteral("2") << 1;
    QTest::newRow("1016: eight blocks") << 1016 << 18 << QStringLiteral("8") << 8;
}

void TestUpdate::packetCounts()
{
    QFETCH(int, imageSize);
    QFETCH(int, barMaximum);
    QFETCH(QString, shown);
    QFETCH(int, frames);

    QVERIFY(connectAt(QStringLiteral("9600")));
    const QByteArray data = testimage::payload(imageSize - 16);
    QVERIFY(choose(imageFile(testimage::nameField("PM-100") + data)));
    pressUpdate();

    QCOMPARE(d->bar()->maximum(), barMaximum);
    QCOMPARE(d->packets()->text(), shown);
    verifyCompleted(true, frames, data);
    QCOMPARE(d->bar()->value(), barMaximum);
}

void TestUpdate::blockNumberWrapsAfter255()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QByteArray data = testimage::payload(256 * 128 + 1);
    QVERIFY(choose(imageFile(testimage::nameField("PM-100") + data)));
    pressUpdate();

    const Traffic t = traffic();
    QCOMPARE(t.frames.size(), 257);
    for (int i = 0; i < t.frames.size(); ++i) {
        QCOMPARE(blockOf(t.frames.at(i)), (i + 1) % 256);
        QCOMPARE(complementOf(t.frames.at(i)), 255 - (i + 1) % 256);
    }
    QCOMPARE(blockOf(t.frames.at(255)), 0);
    QCOMPARE(complementOf(t.frames.at(255)), 255);
    QCOMPARE(blockOf(t.frames.at(256)), 1);
    QCOMPARE(complementOf(t.frames.at(256)), 254);
    QCOMPARE(t.tail, kEot);
    QCOMPARE(sim->receivedImage(), paddedPayload(data));
    QCOMPARE(newTexts(), QStringList({kStarted, kCompleted}));
}

void TestUpdate::refusedFrame()
{
    sim->setNakAtFrame(5);
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(imageFile(testimage::image("PM-100", 7 * 128))));
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kStarted, QStringLiteral("->5") + kRefused}));
    QCOMPARE(d->bar()->value(), 5);
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:0"));
    QCOMPARE(d->openButton()->text(), QStringLiteral("Disconnect"));
    const Traffic t = traffic();
    QCOMPARE(t.frames.size(), 5);
    QCOMPARE(t.tail, QByteArray()); // neither the refused frame again nor EOT
    QVERIFY(!sim->eotReceived());
    QVERIFY(portOpenInWindow());

    // The disconnect that follows gives the menu bar back with the rest of the window.
    d->openButton()->click();
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:1"));
}

void TestUpdate::silentDevice()
{
    sim->setSilentFromFrame(3);
    qint64 lastArrival = 0;
    QObject scope;
    connect(sim, &DeviceSimulator::bytesReceived, &scope,
            [&] { lastArrival = virtualtime::nowMs(); });
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(imageFile(testimage::image("PM-100", 5 * 128))));
    pressUpdate();

    // Each frame is given 92 polls of 50 ms before the device counts as gone.
    QCOMPARE(virtualtime::nowMs() - lastArrival, 4600);
    QCOMPARE(newTexts(), QStringList({kStarted, kNoResponse}));
    QCOMPARE(d->bar()->value(), 0);
    QCOMPARE(d->openButton()->text(), QStringLiteral("Connect"));
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:1"));
    QVERIFY(d->route()->toPlainText().isEmpty());
    // The next connect is to use the same port and rate.
    QVERIFY(!d->ports()->isEnabled());
    QVERIFY(!d->bauds()->isEnabled());
    QVERIFY(!portOpenInWindow());
    const Traffic t = traffic();
    QCOMPARE(t.frames.size(), 3);
    QCOMPARE(t.tail, QByteArray());
}

void TestUpdate::hangUpDuringTransfer()
{
    sim->setHangUpAtFrame(3);
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(imageFile(testimage::image("PM-100", 5 * 128))));
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kStarted, kReadFailed}));
    QCOMPARE(d->bar()->value(), 0);
    QCOMPARE(d->openButton()->text(), QStringLiteral("Connect"));
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:1"));
    QVERIFY(d->route()->toPlainText().isEmpty());
    QVERIFY(!sim->isRunning());
    QCOMPARE(descriptorsOn(sim->slavePath()), 0);
    QCOMPARE(traffic().frames.size(), 3);
}

void TestUpdate::unconfirmedEnd()
{
    sim->setAnswerEot(false);
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QByteArray data = testimage::payload(3 * 128);
    QVERIFY(choose(imageFile(testimage::nameField("PM-100") + data)));
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kStarted}));
    QVERIFY(sim->eotReceived());
    QCOMPARE(traffic().tail, kEot);
    QCOMPARE(sim->receivedImage(), data);
    QCOMPARE(d->bar()->value(), 3);
    QCOMPARE(controls(*d), QStringLiteral("open:0 browse:0 update:0 menu:0"));
    QVERIFY(portOpenInWindow());
}

void TestUpdate::unclearReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("times");

    QTest::newRow("06 06 once") << QByteArray("\x06\x06", 2) << 1;
    QTest::newRow("06 06 nine times") << QByteArray("\x06\x06", 2) << 9;
    QTest::newRow("06 06 ten times: refused") << QByteArray("\x06\x06", 2) << 10;
    QTest::newRow("15 then text once") << QByteArray("\x15ok", 3) << 1;
    QTest::newRow("15 15 ten times: refused") << QByteArray("\x15\x15", 2) << 10;
}

void TestUpdate::unclearReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, times);
    const bool refused = times >= 10;

    // The bar at each frame's arrival shows the counter the previous reply left.
    QList<int> barAtFrame;
    QObject scope;
    connect(sim, &DeviceSimulator::bytesReceived, &scope, [&] {
        while (barAtFrame.size() < traffic().frames.size())
            barAtFrame << d->bar()->value();
    });
    sim->setGarbledAtFrame(2, reply, times);
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QByteArray data = testimage::payload(3 * 128);
    QVERIFY(choose(imageFile(testimage::nameField("PM-100") + data)));
    pressUpdate();

    const Traffic t = traffic();
    QList<int> blocks;
    for (const QByteArray &frame : t.frames)
        blocks << blockOf(frame);
    QList<int> expectedBlocks{1};
    for (int i = 0; i < qMin(times + 1, 10); ++i)
        expectedBlocks << 2;
    if (!refused)
        expectedBlocks << 3;
    QCOMPARE(blocks, expectedBlocks);
    for (int i = 2; i < t.frames.size() - (refused ? 0 : 1); ++i)
        QCOMPARE(t.frames.at(i), t.frames.at(1));
    QList<int> expectedBars;
    for (int i = 0; i < t.frames.size(); ++i)
        expectedBars << qMin(i, 2);
    QCOMPARE(barAtFrame, expectedBars);

    if (refused) {
        QCOMPARE(newTexts(), QStringList({kStarted, QStringLiteral("->2") + kRefused}));
        QCOMPARE(d->bar()->value(), 2);
        QCOMPARE(t.tail, QByteArray());
        QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:0"));
    } else {
        QCOMPARE(newTexts(), QStringList({kStarted, kCompleted}));
        QCOMPARE(t.tail, kEot);
        QCOMPARE(sim->receivedImage(), data);
        QCOMPARE(sim->duplicateFrames(), times);
    }
}

void TestUpdate::nameCheck_data()
{
    QTest::addColumn<QByteArray>("identityReply");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("accepted");

    const QByteArray body = testimage::payload(200);
    const QByteArray noName = QByteArrayLiteral("\r\nSW VERSION:V1.0.0\r\n");
    auto reply = [](const QByteArray &name) { return identityReply(name, "SN0001", "V1.0.0"); };

    QTest::newRow("name ends in CR")
        << reply("PM-100") << testimage::nameField("PM-100") + body << true;
    QTest::newRow("spaces around the name")
        << QByteArray("\r\nPRODUCT:  PM-100 \r\nPRODUCT SN:SN0001\r\nSW VERSION:V1.0.0\r\n")
        << testimage::nameField("PM-100") + body << true;
    QTest::newRow("NUL bytes instead of spaces")
        << reply("ABC") << QByteArray("ABC") + QByteArray(13, '\0') + body << false;
    QTest::newRow("16 characters")
        << reply("ABCDEFGHIJKLMNOP") << "ABCDEFGHIJKLMNOP" + body << true;
    QTest::newRow("17 characters")
        << reply("ABCDEFGHIJKLMNOPQ") << "ABCDEFGHIJKLMNOPQ" + body << false;
    QTest::newRow("letter case") << reply("PM-100") << testimage::nameField("pm-100") + body
                                 << false;
    QTest::newRow("shorter than the name field")
        << reply("PM-100") << QByteArray("PM-100") << false;
    // An image without a whole name field is refused even when no name came: it would send only
    // the end byte and report a completed update.
    QTest::newRow("no name received, short image") << noName << QByteArray("PM-1") << false;
    QTest::newRow("no name received, empty image") << noName << QByteArray() << false;
    QTest::newRow("no name received, name field only")
        << noName << testimage::nameField("other") << true;
    QTest::newRow("no name received, any field")
        << noName << testimage::nameField("other") + body << true;
}

void TestUpdate::nameCheck()
{
    QFETCH(QByteArray, identityReply);
    QFETCH(QByteArray, image);
    QFETCH(bool, accepted);

    sim->setIdentityReply(identityReply);
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(imageFile(image)));
    pressUpdate();

    // Set before the check, whatever its result.
    const int size = image.size();
    QCOMPARE(d->bar()->maximum(), size == 16 ? 10 : size / 128 + 11);
    QCOMPARE(d->packets()->text(), QString::number(size == 16 ? 0 : size / 128 + 1));

    const Traffic t = traffic();
    QVERIFY(t.command);
    if (accepted) {
        verifyCompleted(true, (qMax(size - 16, 0) + 127) / 128, image.mid(16));
    } else {
        QCOMPARE(newTexts(), QStringList({kFirmwareErrors}));
        QCOMPARE(t.frames.size(), 0);
        QCOMPARE(t.tail, QByteArray());
        QCOMPARE(controls(*d), QStringLiteral("open:0 browse:1 update:0 menu:0"));
    }
}

void TestUpdate::browseDialog()
{
    const QString five = rootFile(5);
    const QString six = rootFile(6);
    if (five.isEmpty() || six.isEmpty())
        QSKIP("needs to create files directly under /");
    QVERIFY(connectAt(QStringLiteral("9600")));

    const WindowDriver::DialogSeen seen = d->browse(five);
    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, QStringLiteral("plase chose (.bin)"));
    QCOMPARE(seen.filters, QStringList({QStringLiteral("(*.bin)"), QStringLiteral("(*.hex)")}));
    QCOMPARE(seen.directory, QDir::currentPath());
    QCOMPARE(d->route()->toPlainText(), five);
    QVERIFY(!d->updateButton()->isEnabled());

    QVERIFY(d->browse(six).shown);
    QCOMPARE(d->route()->toPlainText(), six);
    QVERIFY(d->updateButton()->isEnabled());

    // A short path never disables the button again.
    QVERIFY(d->browse(five).shown);
    QCOMPARE(d->route()->toPlainText(), five);
    QVERIFY(d->updateButton()->isEnabled());
}

void TestUpdate::cancelAfterChoosing()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QString path = imageFile(testimage::image("PM-100", 100));
    QVERIFY(choose(path));
    QVERIFY(d->browse(QString()).shown);
    QCOMPARE(d->route()->toPlainText(), QString());
    QVERIFY(d->updateButton()->isEnabled());

    QString title, text;
    int buttons = -1;
    sim->clearRecord();
    const bool boxShown = d->clickWithModal(d->updateButton(), [&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (box) {
            title = box->windowTitle();
            text = box->text();
            buttons = box->buttons().size();
        }
        modal->close();
    });

    QVERIFY(boxShown);
    QCOMPARE(title, QStringLiteral("Error Message"));
    QVERIFY2(text.startsWith(QLatin1String("File Open Error")), qPrintable(text));
    QCOMPARE(buttons, 1);
    // The file is still there: only the emptied stored path can have failed.
    QVERIFY(QFileInfo(path).isReadable());
    QCOMPARE(controls(*d), QStringLiteral("open:0 browse:1 update:0 menu:0"));
    const Traffic t = traffic();
    QVERIFY(t.command);
    QVERIFY(t.frames.isEmpty());
    QVERIFY(t.tail.isEmpty());
}

void TestUpdate::unloadableFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reasonMentions");

    QTest::newRow("vanished after browsing") << QStringLiteral("vanished") << QString();
    QTest::newRow("replaced by a directory") << QStringLiteral("directory") << QString();
    QTest::newRow("yields fewer bytes than its size")
        << QStringLiteral("short") << QStringLiteral("4096");
    QTest::newRow("larger than 64 MiB")
        << QStringLiteral("large") << QString::number(64 * kMiB + 1);
}

void TestUpdate::unloadableFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, reasonMentions);

    QString path = imageFile(testimage::image("PM-100", 100));
    if (kind == QLatin1String("short")) {
        // sysfs reports 4096 bytes for files that hold a few.
        path = QStringLiteral("/sys/devices/system/cpu/online");
        QFile f(path);
        if (QFileInfo(path).size() != 4096 || !f.open(QIODevice::ReadOnly) ||
            f.readAll().size() >= 4096)
            QSKIP("no sysfs file that is shorter than its size");
    } else if (kind == QLatin1String("large")) {
        QVERIFY(writeSparse(path, 64 * kMiB + 1));
    }
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(path));
    if (kind == QLatin1String("vanished")) {
        QVERIFY(QFile::remove(path));
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
    }

    QString title, text;
    int buttons = -1;
    QMessageBox::StandardButton button = QMessageBox::NoButton;
    sim->clearRecord();
    const bool boxShown = d->clickWithModal(d->updateButton(), [&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (box) {
            title = box->windowTitle();
            text = box->text();
            buttons = box->buttons().size();
            button = box->standardButton(box->buttons().value(0));
        }
        modal->close();
    });

    QVERIFY(boxShown);
    QCOMPARE(title, QStringLiteral("Error Message"));
    QVERIFY2(text.startsWith(QLatin1String("File Open Error")), qPrintable(text));
    const QString reason = text.mid(int(qstrlen("File Open Error")));
    QVERIFY2(!reason.trimmed().isEmpty(), qPrintable(text));
    QVERIFY2(reason.contains(reasonMentions), qPrintable(text));
    QCOMPARE(buttons, 1);
    QCOMPARE(button, QMessageBox::Ok);

    QCOMPARE(controls(*d), QStringLiteral("open:0 browse:1 update:0 menu:0"));
    QCOMPARE(d->packets()->text(), QString());
    QCOMPARE(d->bar()->maximum(), 100);
    const Traffic t = traffic();
    QVERIFY(t.command);
    QVERIFY(t.frames.isEmpty());
    QVERIFY(t.tail.isEmpty());
}

void TestUpdate::largestImageLoads()
{
    // 64 MiB exactly is still loaded; its name field (zeros) then fails the check.
    const QString path = dir->filePath(QStringLiteral("large.bin"));
    QVERIFY(writeSparse(path, 64 * kMiB));
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(path));
    sim->clearRecord();
    linesBefore = d->paneLines().size();
    const bool boxShown = d->clickWithModal(d->updateButton(), [](QWidget *m) { m->close(); });

    QVERIFY(!boxShown);
    QCOMPARE(d->packets()->text(), QString::number(64 * kMiB / 128 + 1));
    QCOMPARE(newTexts(), QStringList({kFirmwareErrors}));
    QVERIFY(traffic().frames.isEmpty());
}

void TestUpdate::staleLongAnswerStartsTransfer()
{
    // Only the identity reply left from the connect can start this transfer.
    sim->setAnswerUpdate(false);
    QVERIFY(connectAt(QStringLiteral("115200")));
    QCOMPARE(stampedTexts(d->paneLines()).constLast(), QStringLiteral("->Connected"));
    const QByteArray data = testimage::payload(2 * 128);
    QVERIFY(choose(imageFile(testimage::nameField("PM-100") + data)));

    qint64 commandAt = -1;
    QObject scope;
    connect(sim, &DeviceSimulator::bytesReceived, &scope, [&] {
        if (commandAt < 0 && sim->receivedBytes().startsWith(protocol::updateCommand()))
            commandAt = virtualtime::nowMs();
    });
    const qint64 pressedAt = virtualtime::nowMs();
    pressUpdate();

    // The stale answer ends the first wait at its first poll, not after 80 polls (4 s).
    QCOMPARE(commandAt - pressedAt, 50);
    verifyCompleted(true, 2, data);
}

void TestUpdate::failedStartThenRepeatedPress()
{
    sim->setUpdateAnswer(QByteArray("\x15\r\n", 3));
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QByteArray data = testimage::payload(2 * 128);
    QVERIFY(choose(imageFile(testimage::nameField("PM-100") + data)));
    pressUpdate();

    QCOMPARE(newTexts(), QStringList({kReadFailed}));
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:1 update:1 menu:1"));
    Traffic t = traffic();
    QVERIFY(t.command);
    QVERIFY(t.frames.isEmpty());
    QVERIFY(t.tail.isEmpty());

    // The device, now receiving, answers a second command with a lone NAK.
    pressUpdate();
    verifyCompleted(true, 2, data);
}

void TestUpdate::reconnectDuringEndPause()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    QVERIFY(choose(imageFile(testimage::image("PM-100", 100))));

    // After the last answer the tool pauses 1 s before its end byte. The device drops off in that
    // pause, and the user at once connects to another device on the freed controls.
    DeviceSimulator other;
    QVERIFY(other.start());
    bool reconnected = false;
    connect(sim, &DeviceSimulator::bytesSent, this, [&](const QByteArray &bytes) {
        if (bytes != QByteArray(1, protocol::ACK))
            return;
        dropAndReconnect(200, other, reconnected);
    });
    pressUpdate();

    QVERIFY(reconnected);
    // Neither the end byte nor a completion may go to the new link: it answered only its
    // handshake, which must not pass for the old device's confirmation.
    QVERIFY(!other.receivedBytes().contains(kEot));
    QCOMPARE(newTexts(), QStringList({kStarted, kReadFailed}) + kReconnected);
    QCOMPARE(d->openButton()->text(), QStringLiteral("Disconnect"));
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:1 update:0 menu:1"));
}

void TestUpdate::reconnectDuringUpdateStart()
{
    QVERIFY(connectAt(QStringLiteral("115200")));
    QVERIFY(choose(imageFile(testimage::image("PM-100", 100))));

    // The device drops off right after the update command, and the user connects to another
    // device while the update start still waits for the answer. That device answers its
    // handshake at length, which must not pass for the old device's answer to the command.
    DeviceSimulator other;
    QVERIFY(other.start());
    sim->setAnswerUpdate(false);
    bool reconnected = false;
    connect(sim, &DeviceSimulator::bytesReceived, this, [&](const QByteArray &bytes) {
        if (!bytes.contains(protocol::updateCommand()))
            return;
        dropAndReconnect(10, other, reconnected);
    });
    pressUpdate();

    QVERIFY(reconnected);
    QVERIFY(!other.receivedBytes().contains(protocol::updateCommand()));
    QVERIFY(!other.receivedBytes().contains(protocol::SOH));
    QCOMPARE(newTexts(), QStringList({kReadFailed}) + kReconnected);
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:1 update:0 menu:1"));
}

void TestUpdate::nameForgottenOnReconnect_data()
{
    QTest::addColumn<QByteArray>("name");

    // A device that gives no name is judged as in a fresh window: any whole name field passes.
    QTest::newRow("the waiting device's own image") << QByteArray("PM-200");
    QTest::newRow("the image of the device before") << QByteArray("PM-100");
}

void TestUpdate::nameForgottenOnReconnect()
{
    QFETCH(QByteArray, name);

    QVERIFY(connectAt(QStringLiteral("9600"))); // PM-100 names itself
    d->openButton()->click();
    sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    QVERIFY(connectAt(QStringLiteral("115200")));
    QCOMPARE(stampedTexts(d->paneLines()).constLast(), kConnectedAgain);
    sim->setUnaskedNakIntervalMs(0); // see completeUpdate

    const QByteArray data = testimage::payload(200);
    QVERIFY(choose(imageFile(testimage::nameField(name) + data)));
    pressUpdate();
    verifyCompleted(false, 2, data);
}

void TestUpdate::portErrorUnderFileBox()
{
    QVERIFY(connectAt(QStringLiteral("9600")));
    const QString path = imageFile(testimage::image("PM-100", 100));
    QVERIFY(choose(path));
    QVERIFY(QFile::remove(path));

    linesBefore = d->paneLines().size();
    bool errorSeen = false;
    const bool boxShown = d->clickWithModal(d->updateButton(), [&](QWidget *modal) {
        sim->hangUp();
        errorSeen = virtualtime::waitFor([this] { return newTexts().contains(kReadFailed); });
        modal->close();
    });

    QVERIFY(boxShown);
    QVERIFY(errorSeen);
    QCOMPARE(newTexts(), QStringList({kReadFailed}));
    // As the port error left it: Connect again, on any port and rate, and the menu usable.
    QCOMPARE(d->openButton()->text(), kConnect);
    QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:1"));
    QVERIFY(d->ports()->isEnabled());
    QVERIFY(d->optionsMenu()->isEnabled());
}

void TestUpdate::closeDuringUpdate_data()
{
    QTest::addColumn<bool>("atStart");   // asked for as the update command arrives, else frame 3
    QTest::addColumn<QString>("answer"); // keep, stop, none (left open), port error
    QTest::addColumn<int>("language");   // entry of the language menu
    QTest::addColumn<QString>("keepText");

    const QString keep = QStringLiteral("Keep updating");
    QTest::newRow("keep updating, in German")
        << false << "keep" << 2 << QStringLiteral("Update fortsetzen");
    QTest::newRow("left open: withdrawn at the end") << false << "none" << 1 << keep;
    QTest::newRow("port error: withdrawn") << false << "port error" << 1 << keep;
    QTest::newRow("stop in the transfer") << false << "stop" << 1 << keep;
    QTest::newRow("stop in the update start") << true << "stop" << 1 << keep;
}

void TestUpdate::closeDuringUpdate()
{
    QFETCH(bool, atStart);
    QFETCH(QString, answer);
    QFETCH(int, language);
    QFETCH(QString, keepText);

    d->languageMenu()->actions().at(language)->trigger();
    d->connect(sim->slavePath(), QStringLiteral("9600"));
    const QByteArray data = testimage::payload(8 * 128);
    QVERIFY(d->browse(imageFile(testimage::nameField("PM-100") + data)).shown);

    bool asked = false;
    QObject scope;
    connect(sim, &DeviceSimulator::bytesReceived, &scope, [&] {
        const Traffic t = traffic();
        if (!asked && (atStart ? t.command : t.frames.size() == 3)) {
            asked = true;
            w->close();
        }
    });
    // Answers the question as the row says. Left open, it is answered after 15 s only so that a
    // question that holds the transfer cannot hang the test.
    QMessageBox *question = nullptr;
    QPointer<QMessageBox> alive;
    QString keepShown;
    bool keepIsDefault = false, windowModal = false, answeredLate = false;
    qint64 askedAt = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &scope, [&] {
        auto *box = w->findChild<QMessageBox *>();
        if (!box || !box->isVisible() || box->buttons().size() != 2)
            return;
        QAbstractButton *keep = box->defaultButton();
        QAbstractButton *stop = box->buttons().at(box->buttons().at(0) == keep ? 1 : 0);
        if (box == question) {
            answeredLate = virtualtime::nowMs() - askedAt > 15000;
            if (answeredLate)
                keep->click();
            return;
        }
        question = alive = box;
        askedAt = virtualtime::nowMs();
        keepShown = keep->text();
        keepIsDefault = box->buttonRole(keep) == QMessageBox::RejectRole;
        windowModal = box->windowModality() == Qt::WindowModal;
        if (answer == QLatin1String("keep"))
            keep->click();
        else if (answer == QLatin1String("stop"))
            stop->click();
        else if (answer == QLatin1String("port error"))
            sim->hangUp();
    });
    poll.start(10);
    pressUpdate();
    // The window closes only once every wait has returned.
    QVERIFY(w->isVisible());
    poll.stop();

    QVERIFY(question);
    QCOMPARE(keepShown, keepText);
    QVERIFY(keepIsDefault);
    QVERIFY(windowModal);
    QVERIFY(!answeredLate);
    QVERIFY(!alive || !alive->isVisible());
    const Traffic t = traffic();
    if (answer == QLatin1String("stop")) {
        QVERIFY(virtualtime::waitFor([this] { return !w->isVisible(); }));
        QVERIFY(!portOpenInWindow());
        // Whole frames only, then nothing more.
        QCOMPARE(t.frames.isEmpty(), atStart);
        QVERIFY(t.frames.size() < 8);
        QVERIFY(t.tail.isEmpty());
        QVERIFY(paddedPayload(data).startsWith(sim->receivedImage()));
        QCOMPARE(sim->badFrames(), 0);
        virtualtime::settle(300);
        QCOMPARE(sim->receivedBytes().size(),
                 t.frames.size() * protocol::kFrameSize + protocol::updateCommand().size());
    } else if (answer == QLatin1String("port error")) {
        QCOMPARE(d->openButton()->text(), kConnect);
        QCOMPARE(controls(*d), QStringLiteral("open:1 browse:0 update:0 menu:1"));
    } else {
        QCOMPARE(t.tail, kEot);
        QCOMPARE(sim->receivedImage(), data);
        QCOMPARE(sim->duplicateFrames(), 0);
    }
}

QTEST_VIRTUAL_TIME_MAIN(TestUpdate)
#include "tst_update.moc"
