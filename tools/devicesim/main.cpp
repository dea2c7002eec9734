#include "devicesim.h"
#include "hotplug.h"
#include "identity.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void printLine(const QString &line)
{
    out() << line << Qt::endl;
}

// Plug events carry the wall clock so that another process (a benchmark) can line them up with
// its own events.
void printEvent(const QString &what)
{
    printLine(QStringLiteral("-- %1 at %2")
                  .arg(what)
                  .arg(QDateTime::currentMSecsSinceEpoch() / 1000.0, 0, 'f', 3));
}

QString describe(const DeviceSimulator::Received &chunk, const char *direction)
{
    QString ascii;
    for (const char c : chunk.bytes)
        ascii += (c >= 0x20 && c < 0x7F) ? QLatin1Char(c) : QLatin1Char('.');
    return QStringLiteral("%1 s %2 baud %3 %4 bytes: %5 |%6|")
        .arg(chunk.atUs / 1e6, 11, 'f', 6)
        .arg(chunk.baud, 7)
        .arg(QLatin1String(direction))
        .arg(chunk.bytes.size(), 3)
        .arg(QString::fromLatin1(chunk.bytes.toHex(' ').toUpper()), ascii);
}

bool parseCount(const QCommandLineParser &parser, const QString &name, int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *value = parser.value(name).toInt(&ok);
    if (!ok || *value < 0) {
        QTextStream(stderr) << "--" << name << " needs a non-negative number\n";
        return false;
    }
    return true;
}

// Shows what the tool will make of the identity reply, so a custom product name, serial number or
// version can be checked before connecting.
void printIdentity(const DeviceSimulator &device)
{
    const Identity shown =
        parseIdentity(device.currentIdentityReply(),
                      {QStringLiteral("Device Name:"), QStringLiteral("Device Serial Number:"),
                       QStringLiteral("Firmware Version:")});
    printLine(QStringLiteral("-- identity as the tool shows it:%1").arg(shown.text));
}

void printPort(const DeviceSimulator &device)
{
    printLine(QStringLiteral("Simulated device on %1").arg(device.slavePath()));
    if (!device.linkPath().isEmpty())
        printLine(QStringLiteral("-- link %1 -> %2").arg(device.linkPath(), device.slavePath()));
}

void addDeviceOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {QStringLiteral("product"), QStringLiteral("Product name."), QStringLiteral("name"),
         QStringLiteral("PM-100")},
        {QStringLiteral("serial"), QStringLiteral("Serial number."), QStringLiteral("serial"),
         QStringLiteral("SN0001")},
        {QStringLiteral("version"), QStringLiteral("Firmware version."), QStringLiteral("version"),
         QStringLiteral("V1.0.0")},
        {QStringLiteral("waiting"), QStringLiteral("Start as a bootloader waiting for firmware.")},
        {QStringLiteral("no-product"),
         QStringLiteral("Answer the handshake with the version line only, naming no product.")},
        {QStringLiteral("end-answer"),
         QStringLiteral("Answer the end byte with these bytes, in hex (default 06; \"\": "
                        "nothing)."),
         QStringLiteral("hex")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
        {QStringLiteral("device-baud"),
         QStringLiteral("Only understand bytes sent at this rate (0: any)."), QStringLiteral("N")},
        {QStringLiteral("line-speed"),
         QStringLiteral("Bytes take the time the line's rate gives them (10 bits a byte) in both "
                        "directions, as on a physical line. Bytes from the tool are printed once "
                        "the line has delivered them, one line per burst.")},
        {QStringLiteral("answer-latency"),
         QStringLiteral("Hand the device's bytes on as a USB adapter with this latency timer does "
                        "(FTDI's default is 16): held until MS have passed since the first one "
                        "held, or at once when 62 are held."),
         QStringLiteral("MS")},
        {QStringLiteral("save-image"),
         QStringLiteral("Write the received image to FILE when a transfer ends."),
         QStringLiteral("FILE")},
    });
}

void addFaultOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {QStringLiteral("nak-at"), QStringLiteral("Refuse frame K."), QStringLiteral("K")},
        {QStringLiteral("silent-from"), QStringLiteral("Stop answering from frame K on."),
         QStringLiteral("K")},
        {QStringLiteral("hangup-at"),
         QStringLiteral("Hang up when frame K arrives; a new line appears 2 s later."),
         QStringLiteral("K")},
        {QStringLiteral("answer-delay"), QStringLiteral("Delay every frame answer."),
         QStringLiteral("MS")},
        {QStringLiteral("restart-ms"),
         QStringLiteral(
             "After a transfer ends with EOT, restart: answer nothing for MS milliseconds, "
             "then be a normal device again."),
         QStringLiteral("MS")},
        {QStringLiteral("new-version"),
         QStringLiteral("Firmware version after the restart (implies --restart-ms 0 if not "
                        "given)."),
         QStringLiteral("version")},
        {QStringLiteral("new-serial"),
         QStringLiteral("Serial number after the restart, as new firmware with a new format "
                        "reports it (implies --restart-ms 0 if not given)."),
         QStringLiteral("serial")},
        {QStringLiteral("comes-back-waiting"),
         QStringLiteral("After the restart, still wait for firmware (implies --restart-ms 0 if "
                        "not given).")},
    });
}

void addHotPlugOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {QStringLiteral("link"),
         QStringLiteral("Keep a symbolic link at PATH to the port while it is there (a stable "
                        "name, as in /dev/serial/by-id/)."),
         QStringLiteral("PATH")},
        {QStringLiteral("unplugged"),
         QStringLiteral("Start with no port; the \"plug\" command makes it appear.")},
        {QStringLiteral("power-off"),
         QStringLiteral("Start with the port there but the device off (\"power on\" starts it).")},
        {QStringLiteral("plug-pattern"),
         QStringLiteral("Plug COUNT units one after another, unit k with serial number "
                        "SERIAL-k, each after a random wait of MIN to MAX ms (seeded) from the "
                        "start or the previous unit's removal. A unit stays until \"unplug\" "
                        "(or --hold)."),
         QStringLiteral("SEED:COUNT:MIN:MAX")},
        {QStringLiteral("hold"),
         QStringLiteral("With --plug-pattern: a unit unplugs itself MS after it has been updated "
                        "(after its restart, if it restarts)."),
         QStringLiteral("MS")},
    });
}

struct Settings
{
    int deviceBaud = 0;
    int nakAt = 0;
    int silentFrom = 0;
    int hangUpAt = 0;
    int answerDelay = 0;
    int answerLatency = 0;
    int restartMs = -1;
    int holdMs = -1;
    bool usePattern = false;
    PlugPattern::Plan pattern;
};

bool readSettings(const QCommandLineParser &parser, Settings *s)
{
    if (!parseCount(parser, QStringLiteral("device-baud"), &s->deviceBaud) ||
        !parseCount(parser, QStringLiteral("nak-at"), &s->nakAt) ||
        !parseCount(parser, QStringLiteral("silent-from"), &s->silentFrom) ||
        !parseCount(parser, QStringLiteral("hangup-at"), &s->hangUpAt) ||
        !parseCount(parser, QStringLiteral("answer-delay"), &s->answerDelay) ||
        !parseCount(parser, QStringLiteral("answer-latency"), &s->answerLatency) ||
        !parseCount(parser, QStringLiteral("restart-ms"), &s->restartMs) ||
        !parseCount(parser, QStringLiteral("hold"), &s->holdMs))
        return false;
    if (s->restartMs < 0 &&
        (parser.isSet(QStringLiteral("comes-back-waiting")) ||
         parser.isSet(QStringLiteral("new-version")) || parser.isSet(QStringLiteral("new-serial"))))
        s->restartMs = 0;
    s->usePattern = parser.isSet(QStringLiteral("plug-pattern"));
    if (s->usePattern &&
        !PlugPattern::parsePlan(parser.value(QStringLiteral("plug-pattern")), &s->pattern)) {
        QTextStream(stderr) << "--plug-pattern needs SEED:COUNT:MIN:MAX (COUNT >= 1, "
                               "0 <= MIN <= MAX <= 86400000)\n";
        return false;
    }
    return true;
}

void configureDevice(DeviceSimulator &device, const QCommandLineParser &parser, const Settings &s)
{
    device.setIdentity(parser.value(QStringLiteral("product")).toUtf8(),
                       parser.value(QStringLiteral("serial")).toUtf8(),
                       parser.value(QStringLiteral("version")).toUtf8());
    if (parser.isSet(QStringLiteral("no-product")))
        device.setIdentityReply(
            "\r\nSW VERSION:" + parser.value(QStringLiteral("version")).toUtf8() + "\r\n");
    if (parser.isSet(QStringLiteral("end-answer")))
        device.setEotAnswer(
            QByteArray::fromHex(parser.value(QStringLiteral("end-answer")).toLatin1()));
    device.setDeviceBaud(s.deviceBaud);
    device.setNakAtFrame(s.nakAt);
    device.setSilentFromFrame(s.silentFrom);
    device.setHangUpAtFrame(s.hangUpAt);
    device.setAnswerDelayMs(s.answerDelay);
    device.setLineSpeed(parser.isSet(QStringLiteral("line-speed")));
    device.setAnswerLatencyMs(s.answerLatency);
    device.setRestartAfterUpdate(s.restartMs, parser.value(QStringLiteral("new-version")).toUtf8());
    device.setComesBackWaiting(parser.isSet(QStringLiteral("comes-back-waiting")));
    device.setNewSerial(parser.value(QStringLiteral("new-serial")).toUtf8());
    if (parser.isSet(QStringLiteral("silent")))
        device.setBehaviour(DeviceSimulator::Silent);
    else if (parser.isSet(QStringLiteral("waiting")))
        device.setBehaviour(DeviceSimulator::WaitingForFirmware);
    device.setLinkPath(parser.value(QStringLiteral("link")));
}

// At line speed a burst is taken in a little at a time; it is printed whole, stamped when its
// last byte was taken in.
class BurstPrinter
{
public:
    void add(const DeviceSimulator::Received &chunk, bool lineIdle)
    {
        if (!m_burst.bytes.isEmpty() && m_burst.baud != chunk.baud)
            flush();
        m_burst = {chunk.atUs, chunk.baud, m_burst.bytes + chunk.bytes};
        if (lineIdle)
            flush();
    }
    void flush()
    {
        if (!m_burst.bytes.isEmpty())
            printLine(describe(m_burst, "tool->device"));
        m_burst = {};
    }

private:
    DeviceSimulator::Received m_burst;
};

void printTraffic(DeviceSimulator &device, BurstPrinter &bursts)
{
    QObject::connect(&device, &DeviceSimulator::bytesReceived, [&device, &bursts] {
        bursts.add(device.record().constLast(), device.bytesOnLine() == 0);
    });
    QObject::connect(&device, &DeviceSimulator::bytesSent,
                     [&device] { printLine(describe(device.sent().constLast(), "device->tool")); });
    QObject::connect(&device, &DeviceSimulator::receiveModeChanged, [](bool receiving) {
        printLine(receiving ? QStringLiteral("-- receive mode")
                            : QStringLiteral("-- console mode"));
    });
}

void saveImage(const DeviceSimulator &device, const QString &imagePath)
{
    QFile file(imagePath);
    if (file.open(QIODevice::WriteOnly) && file.write(device.receivedImage()) >= 0)
        printLine(QStringLiteral("-- image written to %1").arg(imagePath));
    else
        printLine(QStringLiteral("-- cannot write %1: %2").arg(imagePath, file.errorString()));
}

void printTransfers(DeviceSimulator &device, const QString &imagePath)
{
    QObject::connect(&device, &DeviceSimulator::transferFinished, [&device, imagePath] {
        printLine(QStringLiteral("-- transfer finished: %1 frames accepted, %2 bytes")
                      .arg(device.framesAccepted())
                      .arg(device.receivedImage().size()));
        if (device.isRestarting())
            printLine(QStringLiteral("-- restarting"));
        if (!imagePath.isEmpty())
            saveImage(device, imagePath);
    });
    QObject::connect(&device, &DeviceSimulator::restarted, [&device] {
        const bool waiting = device.behaviour() == DeviceSimulator::WaitingForFirmware;
        printLine(waiting ? QStringLiteral("-- restarted, still waiting for firmware")
                          : QStringLiteral("-- restarted"));
        if (!waiting)
            printIdentity(device);
    });
}

// A hang-up by fault (--hangup-at) brings a new line 2 s later; an unplugged port stays away.
void restartAfterHangUp(DeviceSimulator &device, BurstPrinter &bursts)
{
    QObject::connect(&device, &DeviceSimulator::hungUp, [&device, &bursts] {
        bursts.flush();
        printLine(QStringLiteral("-- hung up"));
        if (!device.isPlugged())
            return;
        QTimer::singleShot(2000, &device, [&device] {
            if (!device.isPlugged() || device.isRunning())
                return;
            if (!device.start()) {
                printLine(QStringLiteral("-- cannot restart: %1").arg(device.errorString()));
                QCoreApplication::exit(1);
                return;
            }
            printPort(device);
        });
    });
}

void printPlugEvents(DeviceSimulator &device)
{
    QObject::connect(&device, &DeviceSimulator::plugged, [&device] {
        printEvent(QStringLiteral("plugged in"));
        printPort(device);
        if (device.behaviour() == DeviceSimulator::WaitingForFirmware)
            printLine(QStringLiteral("-- waiting for firmware"));
        else
            printIdentity(device);
    });
    QObject::connect(&device, &DeviceSimulator::unplugged,
                     [] { printEvent(QStringLiteral("unplugged")); });
    QObject::connect(&device, &DeviceSimulator::poweredChanged, [&device](bool on) {
        printEvent(on ? QStringLiteral("power on") : QStringLiteral("power off"));
        if (on)
            printIdentity(device);
    });
    QObject::connect(&device, &DeviceSimulator::swapped, [&device](const QByteArray &serial) {
        printEvent(QStringLiteral("swapped for serial number %1").arg(QString::fromUtf8(serial)));
        if (device.isPlugged())
            printIdentity(device);
    });
}

// Commands on standard input; a program that gives none (a closed or empty input) is unaffected.
void readCommands(DeviceSimulator &device)
{
    if (::fcntl(STDIN_FILENO, F_GETFD) < 0)
        return;
    // A background job reading its terminal would be stopped; ignored, the read fails instead.
    std::signal(SIGTTIN, SIG_IGN);
    auto *reader = new PlugCommandReader(STDIN_FILENO, &device, &device);
    QObject::connect(
        reader, &PlugCommandReader::refused, [](const QByteArray &line, const QString &why) {
            printLine(QStringLiteral("-- refused \"%1\": %2").arg(QString::fromUtf8(line), why));
        });
    QObject::connect(reader, &PlugCommandReader::closed, [](const QString &why) {
        if (why != QLatin1String("end of input"))
            printLine(QStringLiteral("-- no commands: standard input: %1").arg(why));
    });
}

void runPattern(DeviceSimulator &device, const QCommandLineParser &parser, const Settings &s)
{
    auto *pattern = new PlugPattern(&device, s.pattern,
                                    parser.value(QStringLiteral("serial")).toUtf8(), &device);
    pattern->setHoldMs(s.holdMs);
    QObject::connect(pattern, &PlugPattern::waiting, [](int unit, int ms) {
        printLine(QStringLiteral("-- unit %1 arrives in %2 ms").arg(unit).arg(ms));
    });
    QObject::connect(pattern, &PlugPattern::unitRemoved, [](int unit, int transfers) {
        printLine(QStringLiteral("-- unit %1 removed (transfers: %2)").arg(unit).arg(transfers));
    });
    QObject::connect(pattern, &PlugPattern::plugFailed, [](int unit, const QString &why) {
        printLine(QStringLiteral("-- unit %1 cannot be plugged: %2").arg(unit).arg(why));
    });
    QObject::connect(pattern, &PlugPattern::finished,
                     [] { printLine(QStringLiteral("-- plug pattern done")); });
    pattern->start();
}

// The signalfd's notifier lives as long as the application; the descriptor is closed by exit.
bool quitOnSignals(const sigset_t &quitSignals, QCoreApplication &app)
{
    const int signalFd = signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0)
        return false;
    auto *notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, [signalFd, &app] {
        signalfd_siginfo info{};
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            app.quit();
    });
    return true;
}

bool bringUp(DeviceSimulator &device, const QCommandLineParser &parser, const Settings &s)
{
    if (s.usePattern) {
        runPattern(device, parser, s);
        return true;
    }
    if (parser.isSet(QStringLiteral("unplugged"))) {
        printLine(QStringLiteral("-- unplugged"));
        return true;
    }
    if (!device.start()) {
        QTextStream(stderr) << "Cannot create the device: " << device.errorString() << '\n';
        return false;
    }
    if (parser.isSet(QStringLiteral("power-off")))
        device.setPowered(false);
    printPort(device);
    printIdentity(device);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread exists so that only the signalfd sees them. On SIGHUP too, so
    // that a closed terminal still removes the link.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    sigaddset(&quitSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &quitSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelmar-devicesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated firmware-update device on a pseudo-terminal. Open the printed /dev/pts path "
        "(or the --link path) in the tool. Runs until interrupted. Commands on standard input, "
        "one a line: plug, unplug, swap SERIAL, power off, power on."));
    parser.addHelpOption();
    addDeviceOptions(parser);
    addFaultOptions(parser);
    addHotPlugOptions(parser);
    parser.process(app);

    Settings settings;
    if (!readSettings(parser, &settings))
        return 2;
    DeviceSimulator device;
    configureDevice(device, parser, settings);
    BurstPrinter bursts;
    printTraffic(device, bursts);
    printTransfers(device, parser.value(QStringLiteral("save-image")));
    restartAfterHangUp(device, bursts);
    printPlugEvents(device);
    if (!quitOnSignals(quitSignals, app)) {
        QTextStream(stderr) << "signalfd failed\n";
        return 1;
    }
    if (!bringUp(device, parser, settings))
        return 1;
    readCommands(device);

    const int result = app.exec();
    printLine(QStringLiteral("-- stopped"));
    return result;
}
