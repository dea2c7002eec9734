#include "devicesim.h"
#include "flashrun.h"
#include "joblock.h"
#include "portlock.h"
#include "portpath.h"
#include "protocol.h"
#include "record.h"
#include "timing.h"
#include "windowdriver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString sha256Of(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(
        QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex());
}

// The bytes a device got after the update command: frames and the end byte only.
QByteArray afterUpdateCommand(const DeviceSimulator &sim)
{
    const QByteArray all = sim.receivedBytes();
    const int at = all.indexOf(protocol::updateCommand());
    return at < 0 ? QByteArray() : all.mid(at + protocol::updateCommand().size());
}

// Sets the line to a rate the program never uses, so that any setting it makes shows.
bool setUnusedRate(const QString &port)
{
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    const bool ok = fd >= 0 && ::tcgetattr(fd, &t) == 0 && ::cfsetspeed(&t, B19200) == 0 &&
                    ::tcsetattr(fd, TCSANOW, &t) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Whether process `pid` has a descriptor of `path` open (also of a node already removed).
bool holdsOpen(qint64 pid, const QString &path)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target == path || target == path + QStringLiteral(" (deleted)"))
            return true;
    }
    return false;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFileBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QJsonObject recordOfPort(const QList<QJsonObject> &records, const QString &port)
{
    for (const QJsonObject &r : records) {
        if (r.value(QStringLiteral("port")).toString() == port)
            return r;
    }
    return QJsonObject();
}

} // namespace

class TestFlashCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void oneDeviceByteExact();
    void fourDevicesOneRefuses();
    void failureStatus_data();
    void failureStatus();
    void verify_data();
    void verify();
    void verifyLetsGoOfVanishedPort();
    void skipIfVersion();
    void imageForAnotherProduct();
    void interruptMidTransfer();
    void identifyJson();
    void badInput_data();
    void badInput();
    void recordLinesFromTwoProcesses();
    void refusals_data();
    void refusals();
    void recordIntegrity_data();
    void recordIntegrity();
    void jobRefusals_data();
    void jobRefusals();
    void writeJobRefusals_data();
    void writeJobRefusals();

private:
    DeviceSimulator *addDevice();
    QString image(const QByteArray &name, int payload);
    // An update of `ports`, recorded, without the pace's waits unless `paced`; `extra` appended.
    QStringList updateArgs(const QStringList &ports, const QString &fw,
                           const QStringList &extra = {}, bool paced = false,
                           const QString &baud = QStringLiteral("9600")) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<DeviceSimulator>> m_sims;
    QString m_record;
};

void TestFlashCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_record = m_dir->filePath(QStringLiteral("record.jsonl"));
}

void TestFlashCli::cleanup()
{
    m_sims.clear();
    m_dir.reset();
}

DeviceSimulator *TestFlashCli::addDevice()
{
    m_sims.push_back(std::make_unique<DeviceSimulator>());
    DeviceSimulator *sim = m_sims.back().get();
    if (!sim->start())
        qFatal("cannot start a simulated device: %s", qPrintable(sim->errorString()));
    return sim;
}

QString TestFlashCli::image(const QByteArray &name, int payload)
{
    return writeImage(m_dir->path(), QString::fromLatin1(name) + QStringLiteral(".bin"), name,
                      payload);
}

QStringList TestFlashCli::updateArgs(const QStringList &ports, const QString &fw,
                                     const QStringList &extra, bool paced,
                                     const QString &baud) const
{
    QStringList args;
    for (const QString &port : ports)
        args << QStringLiteral("--port") << port;
    args << QStringLiteral("--baud") << baud << QStringLiteral("--image") << fw
         << QStringLiteral("--record") << m_record;
    if (!paced)
        args << QStringLiteral("--pace") << QStringLiteral("0");
    return args + extra;
}

void TestFlashCli::oneDeviceByteExact()
{
    DeviceSimulator *sim = addDevice();
    sim->setEotAnswer("\r\nOK\r\n");
    const QString fw = image("PM-100", 1000);
    FlashRun run(updateArgs({sim->slavePath()}, fw));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(sim->receivedImage(), paddedPayload(imagePayload(fw)));
    QVERIFY(sim->eotReceived());
    QVERIFY(run.out().contains("success"));

    bool ok = false;
    const QList<QJsonObject> records = readJsonLines(m_record, &ok);
    QVERIFY(ok);
    QCOMPARE(records.size(), 1);
    const QJsonObject r = records.first();
    QVERIFY(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"))
                .match(r.value(QStringLiteral("time")).toString())
                .hasMatch());
    QCOMPARE(r.value(QStringLiteral("port")).toString(), sim->slavePath());
    QVERIFY(r.value(QStringLiteral("adapterSerial")).isNull()); // a pty has no USB serial
    // ... nor a latency timer
    QVERIFY(r.contains(QStringLiteral("adapterLatencyMsFound")) &&
            r.value(QStringLiteral("adapterLatencyMsFound")).isNull());
    QVERIFY(r.contains(QStringLiteral("adapterLatencyMs")) &&
            r.value(QStringLiteral("adapterLatencyMs")).isNull());
    QCOMPARE(r.value(QStringLiteral("product")).toString(), QStringLiteral("PM-100"));
    QCOMPARE(r.value(QStringLiteral("serialNumber")).toString(), QStringLiteral("SN0001"));
    QCOMPARE(r.value(QStringLiteral("versionBefore")).toString(), QStringLiteral("V1.0.0"));
    QVERIFY(r.value(QStringLiteral("versionAfter")).isNull());
    QCOMPARE(r.value(QStringLiteral("image")).toString(), fw);
    QCOMPARE(r.value(QStringLiteral("imageSize")).toInt(), 1016);
    QCOMPARE(r.value(QStringLiteral("imageSha256")).toString(), sha256Of(fw));
    QCOMPARE(r.value(QStringLiteral("frames")).toInt(), sim->framesAccepted());
    QCOMPARE(r.value(QStringLiteral("resends")).toInt(), 0);
    QCOMPARE(r.value(QStringLiteral("endConfirmed")).toBool(), true);
    QCOMPARE(r.value(QStringLiteral("endReply")).toString(), QStringLiteral("0d0a4f4b0d0a"));
    QVERIFY(r.value(QStringLiteral("durationMs")).toInt() > 0);
    QCOMPARE(r.value(QStringLiteral("result")).toString(), QStringLiteral("success"));
    QCOMPARE(r.value(QStringLiteral("status")).toInt(), 0);
}

void TestFlashCli::fourDevicesOneRefuses()
{
    QStringList ports;
    for (int i = 0; i < 4; ++i)
        ports << addDevice()->slavePath();
    m_sims.at(2)->setNakAtFrame(3);
    const QString fw = image("PM-100", 10 * protocol::kBlockSize);
    FlashRun run(updateArgs(ports, fw, {QStringLiteral("--json")}));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 6);

    bool ok = false;
    const QList<QJsonObject> records = readJsonLines(m_record, &ok);
    QVERIFY(ok);
    QCOMPARE(records.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const DeviceSimulator &sim = *m_sims.at(i);
        const QJsonObject r = recordOfPort(records, sim.slavePath());
        if (i == 2) {
            QCOMPARE(r.value(QStringLiteral("result")).toString(), QStringLiteral("refused"));
            QCOMPARE(r.value(QStringLiteral("frames")).toInt(), 2);
            QVERIFY(!sim.eotReceived());
        } else {
            QCOMPARE(r.value(QStringLiteral("result")).toString(), QStringLiteral("success"));
            QCOMPARE(sim.receivedImage(), paddedPayload(imagePayload(fw)));
        }
    }

    // Standard output is JSON only, ending with the run's status.
    const QList<QJsonObject> events = run.jsonLines(&ok);
    QVERIFY(ok);
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last().value(QStringLiteral("event")).toString(), QStringLiteral("finished"));
    QCOMPARE(events.last().value(QStringLiteral("status")).toInt(), 6);
    int results = 0;
    for (const QJsonObject &e : events)
        results += e.value(QStringLiteral("event")).toString() == QLatin1String("result");
    QCOMPARE(results, 4);
}

void TestFlashCli::failureStatus_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("messageHas");

    QTest::newRow("no such port") << "no port" << 3 << "portOpenFailed"
                                  << "";
    QTest::newRow("device silent") << "silent" << 4 << "noAnswer"
                                   << "";
    QTest::newRow("waiting for firmware, at 9600") << "waiting" << 4 << "noAnswer"
                                                   << "--baud 115200";
    QTest::newRow("stops answering at frame 3") << "stops" << 7 << "stoppedAnswering"
                                                << "";
    QTest::newRow("line hung up at frame 3")
        << "hang-up" << 8 << "portLost"
        << "the line was hung up: adapter unplugged or device reset";
    QTest::newRow("end not confirmed") << "no end" << 9 << "endNotConfirmed"
                                       << "";
}

void TestFlashCli::failureStatus()
{
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(QString, result);
    QFETCH(QString, messageHas);

    DeviceSimulator *sim = addDevice();
    QString port = sim->slavePath();
    if (fault == QLatin1String("no port"))
        port = m_dir->filePath(QStringLiteral("ttyNONE"));
    else if (fault == QLatin1String("silent"))
        sim->setBehaviour(DeviceSimulator::Silent);
    else if (fault == QLatin1String("waiting"))
        sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    else if (fault == QLatin1String("stops"))
        sim->setSilentFromFrame(3);
    else if (fault == QLatin1String("hang-up"))
        sim->setHangUpAtFrame(3);
    else if (fault == QLatin1String("no end"))
        sim->setAnswerEot(false);
    FlashRun run(updateArgs({port}, image("PM-100", 5 * protocol::kBlockSize)));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), status);
    const QList<QJsonObject> records = readJsonLines(m_record);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value(QStringLiteral("result")).toString(), result);
    QCOMPARE(records.first().value(QStringLiteral("status")).toInt(), status);
    const QString message = records.first().value(QStringLiteral("message")).toString();
    QVERIFY2(message.contains(messageHas), qPrintable(message));
}

void TestFlashCli::verify_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<bool>("startsWaiting");
    QTest::addColumn<bool>("comesBackWaiting");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("versionAfter");

    QTest::newRow("comes back with the new version") << "9600" << false << false << 0 << "V2.0.0";
    // Only 115200 shows a device waiting for firmware; this one waits from the start too.
    QTest::newRow("comes back waiting for firmware") << "115200" << true << true << 14 << "";
}

void TestFlashCli::verify()
{
    QFETCH(QString, baud);
    QFETCH(bool, startsWaiting);
    QFETCH(bool, comesBackWaiting);
    QFETCH(int, status);
    QFETCH(QString, versionAfter);

    DeviceSimulator *sim = addDevice();
    if (startsWaiting)
        sim->setBehaviour(DeviceSimulator::WaitingForFirmware);
    sim->setRestartAfterUpdate(300, "V2.0.0");
    sim->setComesBackWaiting(comesBackWaiting);
    const QString fw = image("PM-100", 500);
    QStringList args =
        updateArgs({sim->slavePath()}, fw, {QStringLiteral("--verify")}, false, baud);
    if (!comesBackWaiting)
        args << QStringLiteral("--expect-version") << QStringLiteral("V2.0.0");
    FlashRun run(args);
    // While the program waits for the restart with its port closed, the port stays its own.
    bool lockedInPause = false;
    connect(sim, &DeviceSimulator::transferFinished, this, [&] {
        QTimer::singleShot(timing::kRestartSettleMs / 2, this, [&] {
            ports::PortLock probe;
            lockedInPause = !probe.acquire(sim->slavePath()).locked();
        });
    });
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), status);
    QCOMPARE(sim->restarts(), 1);
    QVERIFY(lockedInPause);

    const QList<QJsonObject> records = readJsonLines(m_record);
    QCOMPARE(records.size(), 1);
    const QJsonObject r = records.first();
    QCOMPARE(r.value(QStringLiteral("status")).toInt(), status);
    if (versionAfter.isEmpty())
        QVERIFY(r.value(QStringLiteral("versionAfter")).isNull());
    else
        QCOMPARE(r.value(QStringLiteral("versionAfter")).toString(), versionAfter);
    if (comesBackWaiting)
        QVERIFY(r.value(QStringLiteral("message")).toString().contains(QLatin1String("waiting")));
    // A device found waiting told no product; the record says so.
    QCOMPARE(r.value(QStringLiteral("waitingForFirmware")).toBool(), startsWaiting);
    QCOMPARE(r.value(QStringLiteral("product")).isNull(), startsWaiting);
    QCOMPARE(r.value(QStringLiteral("endConfirmed")).toBool(), true);
    // The verdict line tells what came back after the restart.
    if (!versionAfter.isEmpty())
        QVERIFY2(run.out().contains("[now product PM-100, serial number SN0001, firmware version " +
                                    versionAfter.toUtf8() + ']'),
                 run.out().constData());
}

// A device that re-enumerates as it restarts must get its old name back: the lock kept over the
// restart must not keep the vanished device's number taken, as any open descriptor would.
void TestFlashCli::verifyLetsGoOfVanishedPort()
{
    DeviceSimulator *sim = addDevice();
    sim->setRestartAfterUpdate(300, "V2.0.0");
    const QString port = sim->slavePath();
    FlashRun run(updateArgs({port}, image("PM-100", 500), {QStringLiteral("--verify")}));
    bool heldInPause = false;
    connect(sim, &DeviceSimulator::transferFinished, this, [&] {
        QTimer::singleShot(timing::kRestartSettleMs / 2, sim, [&] {
            heldInPause = holdsOpen(run.processId(), port);
            sim->hangUp();
        });
    });
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(!sim->isRunning(), 10000);
    QVERIFY(heldInPause);
    // Well before the program's reopen, which would let go of the old node anyway.
    QTRY_VERIFY_WITH_TIMEOUT(!holdsOpen(run.processId(), port), timing::kRestartSettleMs / 4);
    run.interrupt();
    QVERIFY(run.wait());
    QCOMPARE(run.exitCode(), 130);
}

void TestFlashCli::skipIfVersion()
{
    DeviceSimulator *sim = addDevice();
    FlashRun run(updateArgs({sim->slavePath()}, image("PM-100", 500),
                            {QStringLiteral("--skip-if-version"), QStringLiteral("V1.0.0")}, true));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 11);
    QVERIFY(!sim->receivedBytes().contains(protocol::updateCommand()));
    QVERIFY(!sim->inReceiveMode());
    const QList<QJsonObject> records = readJsonLines(m_record);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value(QStringLiteral("result")).toString(), QStringLiteral("skipped"));
}

void TestFlashCli::imageForAnotherProduct()
{
    DeviceSimulator *sim = addDevice();
    FlashRun run(updateArgs({sim->slavePath()}, image("PM-200", 500), {}, true));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 5);
    // The handshake only: not even the update command went out.
    QCOMPARE(sim->receivedBytes(), protocol::function41Frame() + protocol::shortInfoQuery());
    const QList<QJsonObject> records = readJsonLines(m_record);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value(QStringLiteral("result")).toString(),
             QStringLiteral("wrongProduct"));
    QCOMPARE(records.first().value(QStringLiteral("frames")).toInt(), 0);
}

void TestFlashCli::interruptMidTransfer()
{
    DeviceSimulator *a = addDevice();
    DeviceSimulator *b = addDevice();
    FlashRun run(updateArgs({a->slavePath(), b->slavePath()},
                            image("PM-100", 100 * protocol::kBlockSize), {}, true));
    bool sent = false;
    connect(a, &DeviceSimulator::bytesReceived, this, [&] {
        if (!sent && a->framesReceived() >= 3) {
            sent = true;
            run.interrupt();
        }
    });
    run.start();
    QVERIFY(run.wait());
    QVERIFY(sent);
    QCOMPARE(run.exitCode(), 130);

    const QList<QJsonObject> records = readJsonLines(m_record);
    QCOMPARE(records.size(), 2);
    for (DeviceSimulator *sim : {a, b}) {
        const QJsonObject r = recordOfPort(records, sim->slavePath());
        QCOMPARE(r.value(QStringLiteral("result")).toString(), QStringLiteral("cancelled"));
        QCOMPARE(r.value(QStringLiteral("frames")).toInt(), sim->framesAccepted());
        QVERIFY(sim->framesReceived() < 100);
        // Whole frames only, and no end byte.
        QCOMPARE(afterUpdateCommand(*sim).size() % protocol::kFrameSize, 0);
        QVERIFY(!sim->eotReceived());
    }
}

void TestFlashCli::identifyJson()
{
    DeviceSimulator *sim = addDevice();
    sim->setIdentity("PM-300", "SN-77", "V3.1");
    FlashRun run({QStringLiteral("--port"), sim->slavePath(), QStringLiteral("--baud"),
                  QStringLiteral("9600"), QStringLiteral("--identify"), QStringLiteral("--json")});
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 0);
    bool ok = false;
    const QList<QJsonObject> events = run.jsonLines(&ok);
    QVERIFY(ok);
    const auto result = std::find_if(events.begin(), events.end(), [](const QJsonObject &e) {
        return e.value(QStringLiteral("event")).toString() == QLatin1String("result");
    });
    QVERIFY(result != events.end());
    QCOMPARE(result->value(QStringLiteral("product")).toString(), QStringLiteral("PM-300"));
    QCOMPARE(result->value(QStringLiteral("serialNumber")).toString(), QStringLiteral("SN-77"));
    QCOMPARE(result->value(QStringLiteral("version")).toString(), QStringLiteral("V3.1"));
    QCOMPARE(result->value(QStringLiteral("waitingForFirmware")).toBool(), false);
    // Nothing beyond the handshake.
    QVERIFY(!sim->receivedBytes().contains(protocol::updateCommand()));
}

void TestFlashCli::badInput_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("stderrHas");

    QTest::newRow("missing image") << "missing"
                                   << "image";
    QTest::newRow("image is a directory") << "directory"
                                          << "regular";
    QTest::newRow("image is a FIFO") << "fifo"
                                     << "regular";
    QTest::newRow("image over 64 MiB") << "huge"
                                       << "bytes";
    QTest::newRow("image shorter than its name field") << "short"
                                                       << "name field";
    QTest::newRow("unreadable record file") << "record"
                                            << "record";
    QTest::newRow("same port twice") << "twice"
                                     << "twice";
    QTest::newRow("unknown baud rate") << "baud"
                                       << "baud";
    QTest::newRow("expected version without verify") << "expect"
                                                     << "--verify";
}

void TestFlashCli::badInput()
{
    QFETCH(QString, problem);
    QFETCH(QString, stderrHas);

    DeviceSimulator *sim = addDevice();
    QString fw = image("PM-100", 500);
    QStringList extra;
    QString record = m_record;
    if (problem == QLatin1String("missing")) {
        fw = m_dir->filePath(QStringLiteral("nothing.bin"));
    } else if (problem == QLatin1String("directory")) {
        fw = m_dir->path();
    } else if (problem == QLatin1String("fifo")) {
        fw = m_dir->filePath(QStringLiteral("fifo.bin"));
        QCOMPARE(::mkfifo(QFile::encodeName(fw).constData(), 0600), 0);
    } else if (problem == QLatin1String("huge")) {
        QFile f(m_dir->filePath(QStringLiteral("huge.bin")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(64 * 1024 * 1024 + 1)); // sparse: no disk used
        fw = f.fileName();
    } else if (problem == QLatin1String("short")) {
        QFile f(m_dir->filePath(QStringLiteral("short.bin")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("PM-100");
        fw = f.fileName();
    } else if (problem == QLatin1String("record")) {
        record = m_dir->path(); // a directory cannot take lines
    } else if (problem == QLatin1String("twice")) {
        extra << QStringLiteral("--port") << sim->slavePath();
    } else if (problem == QLatin1String("baud")) {
        extra << QStringLiteral("--baud") << QStringLiteral("57600");
    } else if (problem == QLatin1String("expect")) {
        extra << QStringLiteral("--expect-version") << QStringLiteral("V2");
    }

    FlashRun run(QStringList{QStringLiteral("--port"), sim->slavePath(), QStringLiteral("--image"),
                             fw, QStringLiteral("--record"), record} +
                 extra);
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 2);
    QVERIFY2(run.err().contains(stderrHas.toUtf8()), run.err().constData());
    QVERIFY(run.out().isEmpty());
    // Refused before the port was touched.
    QTest::qWait(50);
    QVERIFY(sim->receivedBytes().isEmpty());
    if (problem != QLatin1String("record"))
        QVERIFY(!QFile::exists(m_record) || QFileInfo(m_record).size() == 0);
}

void TestFlashCli::recordLinesFromTwoProcesses()
{
    // Lines much longer than a pipe's atomic write, appended by two processes at once.
    constexpr int kLines = 300;
    const QString path = m_record;
    pid_t children[2] = {-1, -1};
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        QVERIFY(children[c] >= 0);
        if (children[c] == 0) {
            flash::RecordFile file;
            QString error;
            if (!file.open(path, &error))
                ::_exit(1);
            flash::AttemptRecord r;
            r.port = QStringLiteral("writer%1").arg(c);
            r.message = QString(20000, QLatin1Char('a' + c));
            for (int i = 0; i < kLines; ++i) {
                r.frames = i;
                if (!file.append(flash::recordLine(r), &error))
                    ::_exit(1);
            }
            ::_exit(0);
        }
    }
    for (const pid_t child : children) {
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    bool ok = false;
    const QList<QJsonObject> lines = readJsonLines(path, &ok);
    QVERIFY(ok);
    QCOMPARE(lines.size(), 2 * kLines);
    int next[2] = {0, 0};
    for (const QJsonObject &line : lines) {
        const int c = line.value(QStringLiteral("port")).toString() == QLatin1String("writer1");
        QCOMPARE(line.value(QStringLiteral("message")).toString(),
                 QString(20000, QLatin1Char('a' + c)));
        QCOMPARE(line.value(QStringLiteral("frames")).toInt(), next[c]++);
    }
}

void TestFlashCli::refusals_data()
{
    // In `arguments`: {port} is the device's port, {short} the same without "/dev/", {link} a
    // symlink to it, {image} a good image, {bare} one of just its name field, {record} the
    // record file, {fifo} a FIFO, {absent} a path where nothing is, {dangling} a link to it.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    // On standard error, or for a device's verdict on standard output.
    QTest::addColumn<QString>("message");
    // "locked": another program holds the port; "unnamed": it answers without its product.
    QTest::addColumn<QStringList>("device");
    // What the device may have received; empty: not a byte, and its line rate untouched.
    QTest::addColumn<QByteArray>("onLine");

    const QStringList update{"--baud", "9600", "--image", "{image}"};
    QTest::newRow("port in use, reached through a symlink")
        << QStringList{"--port", "{link}", "--record", "{record}"} + update << 3
        << "in use by another program" << QStringList{"locked"} << QByteArray();
    QTest::newRow("one port as pts/N and through a symlink")
        << QStringList{"--port", "{short}", "--port", "{link}"} + update << 2 << "named twice"
        << QStringList() << QByteArray();
    QTest::newRow("record is a FIFO")
        << QStringList{"--port", "{port}", "--record", "{fifo}"} + update << 2
        << "not a regular file" << QStringList() << QByteArray();
    QTest::newRow("record is the image")
        << QStringList{"--port", "{port}", "--record", "{image}"} + update << 2 << "the image"
        << QStringList() << QByteArray();
    QTest::newRow("record is the port, through a symlink")
        << QStringList{"--port", "{port}", "--record", "{link}"} + update << 2 << "the port"
        << QStringList() << QByteArray();
    // A slot's port may appear later: the record must not be made in its place.
    QTest::newRow("record is a port still absent")
        << QStringList{"--port", "{absent}", "--record", "{absent}"} + update << 2 << "the port"
        << QStringList() << QByteArray();
    QTest::newRow("record leads to a station's absent port through a link")
        << QStringList{"--station", "--port", "{absent}", "--record", "{dangling}"} + update << 2
        << "the port" << QStringList() << QByteArray();
    QTest::newRow("record given twice")
        << QStringList{"--port", "{port}", "--record", "{record}", "--record", "{record}"} + update
        << 2 << "--record is given 2 times" << QStringList() << QByteArray();
    QTest::newRow("device names no product")
        << QStringList{"--port", "{port}", "--record", "{record}"} + update << 5
        << "the device did not name its product [firmware version V1.0.0]" << QStringList{"unnamed"}
        << protocol::function41Frame() + protocol::shortInfoQuery();
    QTest::newRow("image of its name field only")
        << QStringList{"--port", "{port}", "--baud", "9600", "--image", "{bare}"} << 2
        << "only its 16-byte name field" << QStringList() << QByteArray();
}

void TestFlashCli::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    QFETCH(QStringList, device);
    QFETCH(QByteArray, onLine);

    DeviceSimulator *sim = addDevice();
    const QString fw = image("PM-100", 500);
    const QByteArray imageBefore = fileBytes(fw);
    const QString link = m_dir->filePath(QStringLiteral("by-id-link"));
    QVERIFY(QFile::link(sim->slavePath(), link));
    const QString fifo = m_dir->filePath(QStringLiteral("record.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString absent = m_dir->filePath(QStringLiteral("ttyABSENT"));
    const QString dangling = m_dir->filePath(QStringLiteral("record-link"));
    QVERIFY(QFile::link(absent, dangling));
    ports::PortLock otherProgram;
    if (device.contains(QLatin1String("locked")))
        QVERIFY(otherProgram.acquire(sim->slavePath()).locked());
    if (device.contains(QLatin1String("unnamed")))
        sim->setIdentityReply("\r\nSW VERSION:V1.0.0\r\n");
    QVERIFY(setUnusedRate(sim->slavePath()));
    QCOMPARE(sim->currentBaud(), 19200);

    for (QString &a : arguments) {
        a.replace(QLatin1String("{port}"), sim->slavePath())
            .replace(QLatin1String("{short}"), sim->slavePath().mid(5))
            .replace(QLatin1String("{link}"), link)
            .replace(QLatin1String("{image}"), fw)
            .replace(QLatin1String("{bare}"), writeImage(m_dir->path(), "bare.bin", "PM-100", 0))
            .replace(QLatin1String("{record}"), m_record)
            .replace(QLatin1String("{fifo}"), fifo)
            .replace(QLatin1String("{absent}"), absent)
            .replace(QLatin1String("{dangling}"), dangling);
    }
    FlashRun run(arguments);
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), status);
    QVERIFY2(run.err().contains(message.toUtf8()) || run.out().contains(message.toUtf8()),
             run.err().constData());
    QTest::qWait(50);
    QCOMPARE(sim->receivedBytes(), onLine);
    if (onLine.isEmpty())
        QCOMPARE(sim->currentBaud(), 19200);
    QCOMPARE(fileBytes(fw), imageBefore);
    if (status == 2)
        QVERIFY(fileBytes(m_record).isEmpty());
    QVERIFY(!QFileInfo::exists(absent));
}

void TestFlashCli::recordIntegrity_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("result"); // of the one line added; empty: none added

    // A full disk cuts the line short; the limit leaves room for a part of it only.
    QTest::newRow("full disk") << "full" << 12 << "";
    QTest::newRow("full disk, device silent") << "full silent" << 4 << "";
    QTest::newRow("hang-up signal mid-transfer") << "hang-up" << 130 << "cancelled";
    QTest::newRow("two writers, one over the limit") << "two writers" << 12 << "success";
    // Left by a crash: the next line must not be glued onto it.
    QTest::newRow("record ends in a cut line") << "cut" << 0 << "success";
}

void TestFlashCli::recordIntegrity()
{
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(QString, result);

    // Just under two 512-byte blocks, so a limit of 2 takes a few bytes of the next line.
    QByteArray earlier = "{\"pad\":\"" + QByteArray(988, 'x') + "\"}\n";
    if (fault == QLatin1String("cut"))
        earlier += "{\"port\":\"/dev/tt";
    {
        QFile f(m_record);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(earlier) == earlier.size());
    }
    DeviceSimulator *sim = addDevice();
    if (fault == QLatin1String("full silent"))
        sim->setBehaviour(DeviceSimulator::Silent);
    const QString fw = image("PM-100", 100 * protocol::kBlockSize);
    FlashRun run(updateArgs({sim->slavePath()}, fw, {}, fault == QLatin1String("hang-up")));
    if (fault.startsWith(QLatin1String("full")) || fault == QLatin1String("two writers"))
        run.limitFileSize(2);
    std::unique_ptr<FlashRun> other;
    if (fault == QLatin1String("two writers")) {
        other = std::make_unique<FlashRun>(updateArgs({addDevice()->slavePath()}, fw));
        other->start();
    }
    bool hungUp = false;
    connect(sim, &DeviceSimulator::bytesReceived, this, [&] {
        if (fault == QLatin1String("hang-up") && !hungUp && sim->framesReceived() >= 3) {
            hungUp = true;
            run.sendSignal(SIGHUP);
        }
    });
    // Under nohup the child would inherit an ignored SIGHUP and rightly keep going.
    const auto hangUpBefore = std::signal(SIGHUP, SIG_DFL);
    run.start();
    std::signal(SIGHUP, hangUpBefore);
    QVERIFY(run.wait());
    QCOMPARE(run.exitCode(), status);
    if (other) {
        QVERIFY(other->wait());
        QCOMPARE(other->exitCode(), 0);
    }
    if (status != 130 && status != 0)
        QVERIFY2(run.err().contains("record not written"), run.err().constData());

    // What was there stays byte for byte, followed by whole lines only.
    const QByteArray after = fileBytes(m_record);
    QVERIFY(after.startsWith(earlier));
    QVERIFY(after.endsWith('\n'));
    QVERIFY(earlier.endsWith('\n') || after.at(earlier.size()) == '\n');
    bool ok = false;
    const QList<QJsonObject> added = parseJsonLines(after.mid(earlier.size()), &ok);
    QVERIFY(ok);
    QCOMPARE(added.size(), result.isEmpty() ? 0 : 1);
    if (!result.isEmpty())
        QCOMPARE(added.first().value(QStringLiteral("result")).toString(), result);
    if (fault == QLatin1String("hang-up")) {
        QCOMPARE(added.first().value(QStringLiteral("frames")).toInt(), sim->framesAccepted());
        QCOMPARE(afterUpdateCommand(*sim).size() % protocol::kFrameSize, 0);
        QVERIFY(!sim->eotReceived());
    }
}

QTEST_GUILESS_MAIN(TestFlashCli)
namespace {

// A job for the device's port; {name}, {image}, {sha}, {port} and {record} filled in by the test.
const char kJobText[] = R"({"name": "{name}", "station": "bench", "image": "{image}",
 "imageSha256": "{sha}", "baud": 9600, "slots": ["{port}"], "record": "{record}"})";

} // namespace

void TestFlashCli::jobRefusals_data()
{
    QTest::addColumn<QStringList>("extra"); // after --job {job}
    QTest::addColumn<QString>("jobText");   // "fifo": the job file is a FIFO
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const QString job = QString::fromLatin1(kJobText);
    const QString fixes = QStringLiteral("does not go with --job: the job file fixes");
    const QList<QStringList> refused = {{"--image", "x.bin"},       {"--port", "/dev/null"},
                                        {"--baud", "9600"},         {"--verify"},
                                        {"--expect-version", "V1"}, {"--skip-if-version", "V1"},
                                        {"--record", "r.jsonl"},    {"--pace", "0"},
                                        {"--attempts", "2"}};
    for (const QStringList &option : refused)
        QTest::newRow(qPrintable(option.first()))
            << option << job << 2 << option.first() + " " + fixes;
    QTest::newRow("a key misspelt")
        << QStringList() << QString(job).replace("\"baud\"", "\"bauds\"") << 2 << "bauds";
    QTest::newRow("a key given twice")
        << QStringList()
        << QString(job).replace("\"baud\": 9600", "\"baud\": 9600, \"baud\": 115200") << 2
        << "baud";
    QTest::newRow("the image is not the job's")
        << QStringList() << QString(job).replace("{sha}", QString(64, QLatin1Char('0'))) << 2
        << "0000000000000000000000000000000000000000000000000000000000000000";
    QTest::newRow("the job file is a FIFO") << QStringList() << "fifo" << 2 << "regular";
    QTest::newRow("the job runs already")
        << QStringList() << "locked" << 3 << "job already running";
    QTest::newRow("--job with --list") << QStringList{"--list"} << job << 2 << "exclude each other";
}

// Every refusal comes before the port is opened: its other end sees no byte and no rate set.
void TestFlashCli::jobRefusals()
{
    QFETCH(QStringList, extra);
    QFETCH(QString, jobText);
    QFETCH(int, status);
    QFETCH(QString, message);

    DeviceSimulator *sim = addDevice();
    QVERIFY(setUnusedRate(sim->slavePath()));
    const QString fw = image("PM-100", 500);
    const QString sha = QString::fromLatin1(
        QCryptographicHash::hash(fileBytes(fw), QCryptographicHash::Sha256).toHex());
    const QString jobFile = m_dir->filePath(QStringLiteral("job.json"));
    const QString name = QStringLiteral("WO-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    flash::JobLock running;
    if (jobText == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(jobFile).constData(), 0600), 0);
    } else {
        if (jobText == QLatin1String("locked")) {
            jobText = QString::fromLatin1(kJobText);
            QString error;
            QCOMPARE(running.acquire(name, flash::JobLock::defaultFolder(), &error),
                     flash::JobLock::Outcome::Locked);
        }
        jobText.replace("{name}", name).replace("{image}", fw).replace("{port}", sim->slavePath());
        jobText.replace("{sha}", sha).replace("{record}", m_record);
        QVERIFY(writeFileBytes(jobFile, jobText.toUtf8()));
    }
    FlashRun run(QStringList{QStringLiteral("--job"), jobFile} + extra);
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), status);
    QVERIFY2(run.err().contains(message.toUtf8()), run.err().constData());
    if (message.startsWith(QLatin1String("0000")))
        QVERIFY2(run.err().contains(sha.toLatin1()), run.err().constData());
    QTest::qWait(50);
    QCOMPARE(sim->receivedBytes(), QByteArray());
    QCOMPARE(sim->currentBaud(), 19200);
    QVERIFY(!QFileInfo::exists(m_record));
}

// A job that could never run, or one that would replace another, is not written.
void TestFlashCli::writeJobRefusals_data()
{
    QTest::addColumn<QString>("record"); // "{image}": the image itself
    QTest::addColumn<bool>("existing");
    QTest::addColumn<QString>("message");
    QTest::newRow("the record is the image")
        << "{image}" << false << "the record {image}: it is the image";
    QTest::newRow("a job file there already") << "r.jsonl" << true << "it exists already";
}

void TestFlashCli::writeJobRefusals()
{
    QFETCH(QString, record);
    QFETCH(bool, existing);
    QFETCH(QString, message);

    const QString fw = image("PM-100", 500);
    const QString jobFile = m_dir->filePath(QStringLiteral("job.json"));
    const QByteArray before = "{}\n";
    if (existing)
        QVERIFY(writeFileBytes(jobFile, before));
    record = record == QLatin1String("{image}") ? fw : m_dir->filePath(record);
    message.replace("{image}", fw);
    FlashRun run({"--write-job", jobFile, "--port", "/dev/ttyS0", "--image", fw, "--record", record,
                  "--job-name", "WO-7", "--station-name", "s1"});
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 2);
    QVERIFY2(run.err().contains(message.toUtf8()), run.err().constData());
    QCOMPARE(QFileInfo::exists(jobFile), existing);
    if (existing)
        QCOMPARE(fileBytes(jobFile), before);
}

#include "tst_flashcli.moc"
