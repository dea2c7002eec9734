#include "runner.h"

#include "imagefile.h"
#include "interrupt.h"
#include "protocol.h"
#include "record.h"
#include "reporter.h"
#include "sessiondriver.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

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

void printError(const QString &text)
{
    const QByteArray bytes = QStringLiteral("pelmar-flash: %1\n").arg(text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString hexId(bool has, quint16 id)
{
    return has ? QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')) : QString();
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

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

struct Image
{
    QByteArray bytes;
    QString path;
    QString sha256;
};

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
    image->bytes = loaded.bytes;
    image->path = QFileInfo(fileName).absoluteFilePath();
    image->sha256 = QString::fromLatin1(
        QCryptographicHash::hash(loaded.bytes, QCryptographicHash::Sha256).toHex());
    return true;
}

AttemptRecord recordOf(const SessionDriver &driver, const Options &options, const Image &image,
                       const QString &adapterSerial)
{
    const SessionMachine &m = driver.machine();
    const DeviceIdentity &before = m.identityBefore();
    AttemptRecord r;
    r.time = driver.startedAt();
    r.port = driver.portName();
    r.adapterSerial = adapterSerial;
    r.baud = options.baud;
    r.product = before.productReceived ? before.product : QString();
    r.serialNumber = before.serialNumber;
    r.versionBefore = before.version;
    if (m.verifying())
        r.versionAfter = m.identity().version;
    r.image = image.path;
    r.imageSize = image.bytes.size();
    r.imageSha256 = image.sha256;
    r.frames = m.framesAccepted();
    r.totalFrames = m.framesTotal();
    r.resends = m.resends();
    r.durationMs = driver.durationMs();
    r.result = m.result();
    r.message = m.message();
    return r;
}

} // namespace

int listPorts(const Options &options)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &p : ports) {
        const QString vendor = hexId(p.hasVendorIdentifier(), p.vendorIdentifier());
        const QString product = hexId(p.hasProductIdentifier(), p.productIdentifier());
        if (options.json) {
            QJsonObject o;
            o.insert(QStringLiteral("port"), p.systemLocation());
            o.insert(QStringLiteral("name"), p.portName());
            o.insert(QStringLiteral("description"), orNull(p.description()));
            o.insert(QStringLiteral("manufacturer"), orNull(p.manufacturer()));
            o.insert(QStringLiteral("vendorId"), orNull(vendor));
            o.insert(QStringLiteral("productId"), orNull(product));
            o.insert(QStringLiteral("serialNumber"), orNull(p.serialNumber()));
            printOut(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) +
                     QLatin1Char('\n'));
            continue;
        }
        const auto shown = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
        printOut(QStringLiteral("%1  description: %2, manufacturer: %3, USB id: %4:%5, "
                                "USB serial: %6\n")
                     .arg(p.systemLocation(), shown(p.description()), shown(p.manufacturer()),
                          shown(vendor), shown(product), shown(p.serialNumber())));
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
    RecordFile record;
    QString error;
    if (!options.recordPath.isEmpty() && !record.open(options.recordPath, &error)) {
        printError(
            QStringLiteral("cannot open the record file %1: %2").arg(options.recordPath, error));
        return kUsageStatus;
    }

    SessionConfig config;
    config.mode = update ? SessionConfig::Mode::Update : SessionConfig::Mode::Identify;
    config.baud = options.baud;
    config.attempts = options.attempts;
    config.paceMs = options.paceMs;
    config.image = image.bytes;
    config.verify = options.verify;
    config.expectVersion = options.expectVersion;
    config.skipIfVersion = options.skipIfVersion;

    const Reporter::Style style = options.json         ? Reporter::Style::Json
                                  : stdoutIsTerminal() ? Reporter::Style::Live
                                                       : Reporter::Style::Plain;
    Reporter reporter(style, options.baud, options.paceMs,
                      qMax(0, image.bytes.size() - protocol::kNameFieldSize));
    InterruptWatcher interrupt;
    QEventLoop loop;

    std::vector<std::unique_ptr<SessionDriver>> drivers;
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    int running = 0;
    for (const QString &port : options.ports) {
        drivers.push_back(std::make_unique<SessionDriver>(port, config));
        SessionDriver *driver = drivers.back().get();
        const QString adapterSerial = adapterSerialOf(port, present);
        QObject::connect(driver, &SessionDriver::noted, &reporter, &Reporter::noted);
        QObject::connect(
            driver, &SessionDriver::finished, &loop, [&, adapterSerial](SessionDriver *d) {
                if (update && record.isOpen()) {
                    QString why;
                    if (!record.append(recordLine(recordOf(*d, options, image, adapterSerial)),
                                       &why))
                        printError(QStringLiteral("cannot append to the record file %1: %2")
                                       .arg(options.recordPath, why));
                }
                reporter.finished(d);
                if (--running == 0)
                    loop.quit();
            });
        reporter.add(driver);
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

    QVector<Result> results;
    for (const auto &driver : drivers)
        results << driver->machine().result();
    const int status = aggregateStatus(results, interrupt.interrupted());
    reporter.runFinished(status, interrupt.interrupted());
    return status;
}

} // namespace flash
