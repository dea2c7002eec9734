// Starts the tool's window together with a simulated device, so the whole update can be tried on
// a machine with nothing plugged in. The simulated port is added at the end of the port list, after
// the real ports, and selected; sample images are written to a fresh folder that the file dialog
// opens in.

#include "devicesim.h"
#include "serialupdata.h"
#include "testimage.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

QString hex(const QByteArray &bytes)
{
    const int shown = 24;
    QString text = QString::fromLatin1(bytes.left(shown).toHex(' '));
    if (bytes.size() > shown)
        text += QStringLiteral(" ... (%1 bytes)").arg(bytes.size());
    return text;
}

// One image for the simulated device, one for another product (refused with "Firmware Errors").
bool writeSamples(const QTemporaryDir &samples, const QByteArray &product)
{
    return testimage::write(samples.filePath(QString::fromLatin1(product) + "_V1.1.bin"),
                            testimage::image(product, 20 * 1024, 0x5eed)) &&
           testimage::write(samples.filePath(QStringLiteral("OTHER-DEVICE_V2.0.bin")),
                            testimage::image("OTHER-DEVICE", 4 * 1024, 0x5eed));
}

void printTraffic(DeviceSimulator &device, QTextStream &out)
{
    QObject::connect(&device, &DeviceSimulator::bytesReceived, [&out](const QByteArray &b) {
        out << "tool -> device  " << hex(b) << '\n';
        out.flush();
    });
    QObject::connect(&device, &DeviceSimulator::bytesSent, [&out](const QByteArray &b) {
        out << "device -> tool  " << hex(b) << '\n';
        out.flush();
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Pelmar Firmware Update Tool with a simulated device attached."));
    parser.addHelpOption();
    const QCommandLineOption productOption(QStringLiteral("product"),
                                           QStringLiteral("Product name the device reports."),
                                           QStringLiteral("name"), QStringLiteral("PM-100"));
    const QCommandLineOption waitingOption(
        QStringLiteral("waiting"),
        QStringLiteral("Start the device in its bootloader, already waiting for firmware."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Do not print the line traffic."));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Attach this port (e.g. a standalone simulator's) instead of starting one."),
        QStringLiteral("path"));
    parser.addOptions({productOption, waitingOption, quietOption, portOption});
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);

    DeviceSimulator device;
    const QByteArray product = parser.value(productOption).toLatin1();
    device.setIdentity(product, "SN20261207", "V1.0.0");
    if (parser.isSet(waitingOption))
        device.setBehaviour(DeviceSimulator::WaitingForFirmware);
    const bool ownDevice = !parser.isSet(portOption);
    if (ownDevice && !device.start()) {
        err << "Cannot start the simulated device: " << device.errorString() << '\n';
        return 1;
    }

    QTemporaryDir samples(QDir::tempPath() + QStringLiteral("/pelmar-demo-XXXXXX"));
    if (!samples.isValid() || !writeSamples(samples, product)) {
        err << "Cannot write the sample images to " << QDir::tempPath() << '\n';
        return 1;
    }
    QDir::setCurrent(samples.path());

    const QString port = ownDevice ? device.slavePath() : parser.value(portOption);
    if (ownDevice)
        out << "Simulated device on " << port << '\n';
    out << "Sample images in " << samples.path() << '\n';
    out.flush();
    if (!parser.isSet(quietOption))
        printTraffic(device, out);

    SerialUpdata window;
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("comboBox_COM"));
    ports->addItem(port);
    ports->setCurrentIndex(ports->count() - 1);
    window.show();
    return app.exec();
}
