#include "devicesim.h"
#include "identity.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
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

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread exists so that only the signalfd sees them.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &quitSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelmar-devicesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated firmware-update device on a pseudo-terminal. Open the printed "
                       "/dev/pts path in the tool. Runs until interrupted."));
    parser.addHelpOption();
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
        {QStringLiteral("nak-at"), QStringLiteral("Refuse frame K."), QStringLiteral("K")},
        {QStringLiteral("silent-from"), QStringLiteral("Stop answering from frame K on."),
         QStringLiteral("K")},
        {QStringLiteral("hangup-at"),
         QStringLiteral("Hang up when frame K arrives; a new line appears 2 s later."),
         QStringLiteral("K")},
        {QStringLiteral("answer-delay"), QStringLiteral("Delay every frame answer."),
         QStringLiteral("MS")},
        {QStringLiteral("line-speed"),
         QStringLiteral("Bytes take the time the line's rate gives them (10 bits a byte) in both "
                        "directions, as on a physical line. Bytes from the tool are printed once "
                        "the line has delivered them, one line per burst.")},
        {QStringLiteral("restart-ms"),
         QStringLiteral(
             "After a transfer ends with EOT, restart: answer nothing for MS milliseconds, "
             "then be a normal device again."),
         QStringLiteral("MS")},
        {QStringLiteral("new-version"),
         QStringLiteral("Firmware version after the restart (implies --restart-ms 0 if not "
                        "given)."),
         QStringLiteral("version")},
        {QStringLiteral("comes-back-waiting"),
         QStringLiteral("After the restart, still wait for firmware (implies --restart-ms 0 if "
                        "not given).")},
        {QStringLiteral("save-image"),
         QStringLiteral("Write the received image to FILE when a transfer ends."),
         QStringLiteral("FILE")},
    });
    parser.process(app);

    int deviceBaud = 0;
    int nakAt = 0;
    int silentFrom = 0;
    int hangUpAt = 0;
    int answerDelay = 0;
    int restartMs = -1;
    if (!parseCount(parser, QStringLiteral("device-baud"), &deviceBaud) ||
        !parseCount(parser, QStringLiteral("nak-at"), &nakAt) ||
        !parseCount(parser, QStringLiteral("silent-from"), &silentFrom) ||
        !parseCount(parser, QStringLiteral("hangup-at"), &hangUpAt) ||
        !parseCount(parser, QStringLiteral("answer-delay"), &answerDelay) ||
        !parseCount(parser, QStringLiteral("restart-ms"), &restartMs))
        return 2;
    const bool comesBackWaiting = parser.isSet(QStringLiteral("comes-back-waiting"));
    if (restartMs < 0 && (comesBackWaiting || parser.isSet(QStringLiteral("new-version"))))
        restartMs = 0;
    const bool lineSpeed = parser.isSet(QStringLiteral("line-speed"));

    DeviceSimulator device;
    device.setIdentity(parser.value(QStringLiteral("product")).toUtf8(),
                       parser.value(QStringLiteral("serial")).toUtf8(),
                       parser.value(QStringLiteral("version")).toUtf8());
    if (parser.isSet(QStringLiteral("no-product")))
        device.setIdentityReply(
            "\r\nSW VERSION:" + parser.value(QStringLiteral("version")).toUtf8() + "\r\n");
    if (parser.isSet(QStringLiteral("end-answer")))
        device.setEotAnswer(
            QByteArray::fromHex(parser.value(QStringLiteral("end-answer")).toLatin1()));
    device.setDeviceBaud(deviceBaud);
    device.setNakAtFrame(nakAt);
    device.setSilentFromFrame(silentFrom);
    device.setHangUpAtFrame(hangUpAt);
    device.setAnswerDelayMs(answerDelay);
    device.setLineSpeed(lineSpeed);
    device.setRestartAfterUpdate(restartMs, parser.value(QStringLiteral("new-version")).toUtf8());
    device.setComesBackWaiting(comesBackWaiting);
    if (parser.isSet(QStringLiteral("silent")))
        device.setBehaviour(DeviceSimulator::Silent);
    else if (parser.isSet(QStringLiteral("waiting")))
        device.setBehaviour(DeviceSimulator::WaitingForFirmware);

    // At line speed a burst is taken in a little at a time; it is printed whole, stamped when its
    // last byte was taken in.
    DeviceSimulator::Received burst;
    const auto printBurst = [&burst] {
        if (!burst.bytes.isEmpty())
            printLine(describe(burst, "tool->device"));
        burst = {};
    };
    QObject::connect(&device, &DeviceSimulator::bytesReceived, [&device, &burst, &printBurst] {
        const DeviceSimulator::Received chunk = device.record().constLast();
        if (!burst.bytes.isEmpty() && burst.baud != chunk.baud)
            printBurst();
        burst = {chunk.atUs, chunk.baud, burst.bytes + chunk.bytes};
        if (device.bytesOnLine() == 0)
            printBurst();
    });
    QObject::connect(&device, &DeviceSimulator::bytesSent,
                     [&device] { printLine(describe(device.sent().constLast(), "device->tool")); });
    QObject::connect(&device, &DeviceSimulator::receiveModeChanged, [](bool receiving) {
        printLine(receiving ? QStringLiteral("-- receive mode")
                            : QStringLiteral("-- console mode"));
    });
    const QString imagePath = parser.value(QStringLiteral("save-image"));
    QObject::connect(&device, &DeviceSimulator::transferFinished, [&device, imagePath] {
        printLine(QStringLiteral("-- transfer finished: %1 frames accepted, %2 bytes")
                      .arg(device.framesAccepted())
                      .arg(device.receivedImage().size()));
        if (device.isRestarting())
            printLine(QStringLiteral("-- restarting"));
        if (imagePath.isEmpty())
            return;
        QFile file(imagePath);
        if (file.open(QIODevice::WriteOnly) && file.write(device.receivedImage()) >= 0)
            printLine(QStringLiteral("-- image written to %1").arg(imagePath));
        else
            printLine(QStringLiteral("-- cannot write %1: %2").arg(imagePath, file.errorString()));
    });
    QObject::connect(&device, &DeviceSimulator::restarted, [&device] {
        const bool waiting = device.behaviour() == DeviceSimulator::WaitingForFirmware;
        printLine(waiting ? QStringLiteral("-- restarted, still waiting for firmware")
                          : QStringLiteral("-- restarted"));
        if (!waiting)
            printIdentity(device);
    });
    QObject::connect(&device, &DeviceSimulator::hungUp, [&device, &app, &printBurst] {
        printBurst();
        printLine(QStringLiteral("-- hung up"));
        QTimer::singleShot(2000, &device, [&device, &app] {
            if (!device.start()) {
                printLine(QStringLiteral("-- cannot restart: %1").arg(device.errorString()));
                app.exit(1);
                return;
            }
            printLine(QStringLiteral("Simulated device on %1").arg(device.slavePath()));
        });
    });

    const int signalFd = signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        QTextStream(stderr) << "signalfd failed\n";
        return 1;
    }
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [signalFd, &app] {
        signalfd_siginfo info{};
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            app.quit();
    });

    if (!device.start()) {
        QTextStream(stderr) << "Cannot create the device: " << device.errorString() << '\n';
        return 1;
    }
    printLine(QStringLiteral("Simulated device on %1").arg(device.slavePath()));
    printIdentity(device);

    const int result = app.exec();
    close(signalFd);
    printLine(QStringLiteral("-- stopped"));
    return result;
}
