#include "runner.h"

#include "imagefile.h"
#include "interrupt.h"
#include "latencynotes.h"
#include "portpath.h"
#include "protocol.h"
#include "printers.h"
#include "record.h"
#include "recordwriter.h"
#include "sessiondriver.h"
#include "serialports.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QUuid>

#include <cstdio>
#include <memory>
#include <vector>

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
    r.adapterLatencyMsFound = driver.adapterLatency().foundMs();
    r.adapterLatencyMs = driver.adapterLatency().usedMs();
    r.durationMs = driver.durationMs();
    return r;
}

// The record must not land in the firmware (the next run would flash text) or down a line.
QString recordClash(const Options &options, const Image &image)
{
    if (!image.path.isEmpty() && ports::samePlace(options.recordPath, image.path))
        return QStringLiteral("it is the image");
    for (const QString &port : options.ports) {
        if (ports::samePlace(options.recordPath, ports::systemPath(port)))
            return QStringLiteral("it is the port %1").arg(port);
    }
    return QString();
}

bool openRecord(RecordWriter *record, const Options &options, const Image &image)
{
    if (options.recordPath.isEmpty())
        return true;
    QString error = recordClash(options, image);
    if (error.isEmpty() && record->open(options.recordPath, &error))
        return true;
    printError(QStringLiteral("cannot open the record file %1: %2").arg(options.recordPath, error));
    return false;
}

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

namespace {

QJsonObject listingJson(const ports::ListedPort &p, const ports::StableNames &names, int latencyMs)
{
    QJsonObject o;
    o.insert(QStringLiteral("port"), p.location);
    o.insert(QStringLiteral("name"), p.name);
    o.insert(QStringLiteral("description"), orNull(p.description));
    o.insert(QStringLiteral("manufacturer"), orNull(p.manufacturer));
    o.insert(QStringLiteral("vendorId"), orNull(p.vendorId));
    o.insert(QStringLiteral("productId"), orNull(p.productId));
    o.insert(QStringLiteral("serialNumber"), orNull(p.serialNumber));
    o.insert(QStringLiteral("stableNames"), ports::stableNamesJson(names));
    o.insert(QStringLiteral("latencyTimerMs"),
             latencyMs < 0 ? QJsonValue(QJsonValue::Null) : latencyMs);
    return o;
}

QString listingText(const ports::ListedPort &p, const ports::StableNames &names, int latencyMs)
{
    const auto shown = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
    const QString latency = latencyMs < 0 ? QString() : QStringLiteral("%1 ms").arg(latencyMs);
    return QStringLiteral("%1  description: %2, manufacturer: %3, USB id: %4:%5, "
                          "USB serial: %6, latency timer: %7%8\n")
        .arg(p.location, shown(p.description), shown(p.manufacturer), shown(p.vendorId),
             shown(p.productId), shown(p.serialNumber), shown(latency),
             names.isEmpty() ? QString()
                             : QStringLiteral("\n    ") + ports::stableNamesText(names));
}

} // namespace

QString portListing(const QList<ports::ListedPort> &listed, const ports::StableNameMap &stable,
                    const QString &sysfsRoot, bool json)
{
    QString out;
    for (const ports::ListedPort &p : listed) {
        const ports::StableNames names = ports::stableNamesOf(stable, p.location);
        const int latencyMs =
            ports::readLatencyTimer(ports::latencyTimerFile(p.location, sysfsRoot));
        if (json)
            out += QString::fromUtf8(QJsonDocument(listingJson(p, names, latencyMs))
                                         .toJson(QJsonDocument::Compact)) +
                   QLatin1Char('\n');
        else
            out += listingText(p, names, latencyMs);
    }
    return out;
}

int listPorts(const Options &options)
{
    const QList<ports::ListedPort> listed = ports::presentPorts();
    // The names that stay when a device is plugged again, so a station can be set up by hub port.
    printOut(
        portListing(listed, ports::readStableNames(), ports::defaultSysfsRoot(), options.json));
    if (listed.isEmpty() && !options.json)
        std::fputs("pelmar-flash: no serial ports found\n", stderr);
    return 0;
}

int runDevices(const Options &options)
{
    const bool update = options.command == Options::Command::Update;
    Image image;
    if (update && !loadImage(options.image, &image))
        return kUsageStatus;
    const PrinterStyle style = printerStyle(options.json, false);
    LatencyNotes latencyNotes(style == PrinterStyle::Live);
    RecordWriter record;
    if (!openRecord(&record, options, image))
        return kUsageStatus;
    const SessionConfig config = sessionConfig(options, image);
    const std::unique_ptr<Printer> printer =
        makePrinter(style, {options.baud, options.paceMs,
                            qMax(0, image.bytes.size() - protocol::kNameFieldSize)});
    record.setSink(printer.get());
    InterruptWatcher interrupt;
    QEventLoop loop;
    QObject::connect(&record, &RecordWriter::finished, &loop, &QEventLoop::quit);

    std::vector<std::unique_ptr<SessionDriver>> drivers;
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    int running = 0;
    for (const QString &port : options.ports) {
        drivers.push_back(std::make_unique<SessionDriver>(port, config));
        SessionDriver *driver = drivers.back().get();
        const QString adapterSerial = ports::adapterSerialOf(port, present);
        QObject::connect(driver, &SessionDriver::noted, driver,
                         [&](SessionDriver *d, Note note) { printer->noted(*d, note); });
        QObject::connect(driver, &SessionDriver::adapterLatencyKept, driver, [&](SessionDriver *d) {
            latencyNotes.tell(d->portName(), d->adapterLatency());
        });
        QObject::connect(
            driver, &SessionDriver::finished, &loop, [&, adapterSerial](SessionDriver *d) {
                if (update)
                    record.append(recordLine(recordOf(*d, options, image, adapterSerial)),
                                  d->portName());
                printer->finished(*d);
                // The lines still waiting get their bounded time.
                if (--running == 0)
                    record.finish();
            });
        printer->added(*driver);
        ++running;
    }
    QObject::connect(&interrupt, &InterruptWatcher::interruptRequested, &loop, [&] {
        // Again while only the record is waited for: its lines go to standard error now.
        if (running == 0)
            record.giveUp();
        for (const auto &driver : drivers)
            driver->cancel();
    });

    for (const auto &driver : drivers)
        driver->start();
    if (running > 0)
        loop.exec();

    const int status = finalStatus(drivers, interrupt.interrupted(), record.lost());
    printer->runFinished(summaryOf(drivers, status, interrupt.interrupted()));
    record.printUnwritten();
    latencyNotes.reportLate();
    return status;
}

} // namespace flash
