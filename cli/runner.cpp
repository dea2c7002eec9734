#include "runner.h"

#include "imagefile.h"
#include "interrupt.h"
#include "portlock.h"
#include "protocol.h"
#include "record.h"
#include "printers.h"
#include "sessiondriver.h"
#include "stablenames.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QUuid>

#include <cstdio>
#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace flash {

namespace {

void printOut(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

void printError(const QString &text)
{
    const QByteArray bytes = QStringLiteral("pelmar-flash: %1\n").arg(text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

namespace {

QString hexId(bool has, quint16 id)
{
    return has ? QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')) : QString();
}

} // namespace

bool stdoutIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDOUT_FILENO) == 1;
#else
    return false;
#endif
}

// QSerialPortInfo(name) matches the short name only; a port may be given by its full path or a
// link to it.
QString adapterSerialOf(const QString &port, const QList<QSerialPortInfo> &present)
{
    const QString key = portKey(port);
    for (const QSerialPortInfo &info : present) {
        if (info.portName() == port || info.systemLocation() == port ||
            portKey(info.systemLocation()) == key)
            return info.serialNumber();
    }
    return QString();
}

AttemptRecord attemptRecord(const SessionMachine &m, const Options &options, const Image &image)
{
    const DeviceIdentity &before = m.identityBefore();
    AttemptRecord r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.baud = options.baud;
    r.product = before.productReceived ? before.product : QString();
    r.serialNumber = before.serialNumber;
    r.versionBefore = before.version;
    if (m.verifying()) {
        r.versionAfter = m.identity().version;
        r.serialNumberAfter = m.identity().serialNumber;
    }
    r.image = image.path;
    r.imageSize = image.bytes.size();
    r.imageSha256 = image.sha256;
    r.frames = m.framesAccepted();
    r.totalFrames = m.framesTotal();
    r.resends = m.resends();
    r.waitingForFirmware = before.waitingForFirmware;
    r.endByteSent = m.endByteSent();
    r.endConfirmed = m.endConfirmed();
    r.endReply = m.endReply();
    r.result = m.result();
    r.message = m.message();
    return r;
}

bool loadImage(const QString &fileName, Image *image)
{
    const FirmwareImage loaded = loadFirmwareImage(fileName);
    if (!loaded.ok) {
        printError(QStringLiteral("cannot use the image %1: %2").arg(fileName, loaded.error));
        return false;
    }
    if (loaded.bytes.size() < protocol::kNameFieldSize) {
        printError(QStringLiteral("cannot use the image %1: it has %2 bytes, fewer than its "
                                  "%3-byte name field")
                       .arg(fileName)
                       .arg(loaded.bytes.size())
                       .arg(protocol::kNameFieldSize));
        return false;
    }
    // The device would get the update command and an end byte, and be left without firmware.
    if (loaded.bytes.size() == protocol::kNameFieldSize) {
        printError(QStringLiteral("cannot use the image %1: it holds only its %2-byte name "
                                  "field, no firmware")
                       .arg(fileName)
                       .arg(protocol::kNameFieldSize));
        return false;
    }
    image->bytes = loaded.bytes;
    image->path = QFileInfo(fileName).absoluteFilePath();
    image->sha256 = QString::fromLatin1(
        QCryptographicHash::hash(loaded.bytes, QCryptographicHash::Sha256).toHex());
    return true;
}

AttemptRecord recordOf(const SessionDriver &driver, const Options &options, const Image &image,
                       const QString &adapterSerial)
{
    AttemptRecord r = attemptRecord(driver.machine(), options, image);
    r.time = driver.startedAt();
    r.port = driver.portName();
    r.adapterSerial = adapterSerial;
    r.durationMs = driver.durationMs();
    return r;
}

// The record must not land in the firmware (the next run would flash text) or down a line.
QString recordClash(const Options &options, const Image &image)
{
    if (!image.path.isEmpty() && portlock::sameNode(options.recordPath, image.path))
        return QStringLiteral("it is the image");
    for (const QString &port : options.ports) {
        if (portlock::sameNode(options.recordPath, portlock::systemPath(port)))
            return QStringLiteral("it is the port %1").arg(port);
    }
    return QString();
}

// Adds each attempt's line to --record. A line that could not be added is told on standard error
// where it stays visible: at once, or after a live display's last redraw, which would climb over
// it.
class RecordKeeper
{
public:
    RecordKeeper(const Options &options, const Image &image, bool live)
        : m_options(options), m_image(image), m_live(live)
    {
    }

    bool open()
    {
        if (m_options.recordPath.isEmpty())
            return true;
        QString error = recordClash(m_options, m_image);
        if (error.isEmpty() && m_file.open(m_options.recordPath, &error))
            return true;
        printError(
            QStringLiteral("cannot open the record file %1: %2").arg(m_options.recordPath, error));
        return false;
    }

    void write(const SessionDriver &driver, const QString &adapterSerial)
    {
        QString why;
        if (!m_file.isOpen() ||
            m_file.append(recordLine(recordOf(driver, m_options, m_image, adapterSerial)), &why))
            return;
        m_lost << QStringLiteral("record not written for %1: cannot append to the record file "
                                 "%2: %3")
                      .arg(driver.portName(), m_options.recordPath, why);
        if (!m_live)
            printError(m_lost.last());
    }

    bool lost() const { return !m_lost.isEmpty(); }

    void reportLate() const
    {
        if (m_live) {
            for (const QString &text : m_lost)
                printError(text);
        }
    }

private:
    const Options &m_options;
    const Image &m_image;
    bool m_live;
    RecordFile m_file;
    QStringList m_lost;
};

SessionConfig sessionConfig(const Options &options, const Image &image)
{
    SessionConfig config;
    config.mode = options.command == Options::Command::Update ? SessionConfig::Mode::Update
                                                              : SessionConfig::Mode::Identify;
    config.baud = options.baud;
    config.attempts = options.attempts;
    config.paceMs = options.paceMs;
    config.image = image.bytes;
    config.verify = options.verify;
    config.expectVersion = options.expectVersion;
    config.skipIfVersion = options.skipIfVersion;
    return config;
}

namespace {

// A lost record line outranks only success and skipping: the device's failure or the cancel is
// the more urgent news.
int finalStatus(const std::vector<std::unique_ptr<SessionDriver>> &drivers, bool interrupted,
                bool recordLost)
{
    QVector<Result> results;
    for (const auto &driver : drivers)
        results << driver->machine().result();
    const int status = aggregateStatus(results, interrupted);
    if (recordLost &&
        (status == exitStatus(Result::Success) || status == exitStatus(Result::Skipped)))
        return kRecordNotWrittenStatus;
    return status;
}

RunSummary summaryOf(const std::vector<std::unique_ptr<SessionDriver>> &drivers, int status,
                     bool interrupted)
{
    RunSummary s;
    s.status = status;
    s.interrupted = interrupted;
    s.devices = int(drivers.size());
    for (const auto &driver : drivers)
        s.succeeded += driver->machine().result() == Result::Success;
    return s;
}

} // namespace

int listPorts(const Options &options)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    // The names that stay when a device is plugged again, so a station can be set up by hub port.
    const StableNameMap stable = readStableNames();
    for (const QSerialPortInfo &p : ports) {
        const QString vendor = hexId(p.hasVendorIdentifier(), p.vendorIdentifier());
        const QString product = hexId(p.hasProductIdentifier(), p.productIdentifier());
        const StableNames names = stableNamesOf(stable, p.systemLocation());
        if (options.json) {
            QJsonObject o;
            o.insert(QStringLiteral("port"), p.systemLocation());
            o.insert(QStringLiteral("name"), p.portName());
            o.insert(QStringLiteral("description"), orNull(p.description()));
            o.insert(QStringLiteral("manufacturer"), orNull(p.manufacturer()));
            o.insert(QStringLiteral("vendorId"), orNull(vendor));
            o.insert(QStringLiteral("productId"), orNull(product));
            o.insert(QStringLiteral("serialNumber"), orNull(p.serialNumber()));
            o.insert(QStringLiteral("stableNames"), stableNamesJson(names));
            printOut(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) +
                     QLatin1Char('\n'));
            continue;
        }
        const auto shown = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
        printOut(QStringLiteral("%1  description: %2, manufacturer: %3, USB id: %4:%5, "
                                "USB serial: %6%7\n")
                     .arg(p.systemLocation(), shown(p.description()), shown(p.manufacturer()),
                          shown(vendor), shown(product), shown(p.serialNumber()),
                          names.isEmpty() ? QString()
                                          : QStringLiteral("\n    ") + stableNamesText(names)));
    }
    if (ports.isEmpty() && !options.json)
        std::fputs("pelmar-flash: no serial ports found\n", stderr);
    return 0;
}

int runDevices(const Options &options)
{
    const bool update = options.command == Options::Command::Update;
    Image image;
    if (update && !loadImage(options.image, &image))
        return kUsageStatus;
    const PrinterStyle style = options.json         ? PrinterStyle::Json
                               : stdoutIsTerminal() ? PrinterStyle::Live
                                                    : PrinterStyle::Plain;
    RecordKeeper record(options, image, style == PrinterStyle::Live);
    if (!record.open())
        return kUsageStatus;
    const SessionConfig config = sessionConfig(options, image);
    const std::unique_ptr<Printer> printer =
        makePrinter(style, {options.baud, options.paceMs,
                            qMax(0, image.bytes.size() - protocol::kNameFieldSize)});
    InterruptWatcher interrupt;
    QEventLoop loop;

    std::vector<std::unique_ptr<SessionDriver>> drivers;
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    int running = 0;
    for (const QString &port : options.ports) {
        drivers.push_back(std::make_unique<SessionDriver>(port, config));
        SessionDriver *driver = drivers.back().get();
        const QString adapterSerial = adapterSerialOf(port, present);
        QObject::connect(driver, &SessionDriver::noted, driver,
                         [&](SessionDriver *d, Note note) { printer->noted(*d, note); });
        QObject::connect(driver, &SessionDriver::finished, &loop,
                         [&, adapterSerial](SessionDriver *d) {
                             if (update)
                                 record.write(*d, adapterSerial);
                             printer->finished(*d);
                             if (--running == 0)
                                 loop.quit();
                         });
        printer->added(*driver);
        ++running;
    }
    QObject::connect(&interrupt, &InterruptWatcher::interruptRequested, &loop, [&] {
        for (const auto &driver : drivers)
            driver->cancel();
    });

    for (const auto &driver : drivers)
        driver->start();
    if (running > 0)
        loop.exec();

    const int status = finalStatus(drivers, interrupt.interrupted(), record.lost());
    printer->runFinished(summaryOf(drivers, status, interrupt.interrupted()));
    record.reportLate();
    return status;
}

} // namespace flash
