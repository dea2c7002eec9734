#include "benchutil.h"
#include "testimage.h"
#include "protocol.h"
#include "timing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

// Measures pelmar-flash against standalone simulated devices that give bytes their line time
// (--line-speed): several devices at once next to one alone, the program's processor time and
// peak memory, and the time per frame with and without the default pace. Not a test; run it by
// hand. The devices run as their own processes, so their processor time stays out of the figures.

namespace {

constexpr int kFrameBytesOnLine = protocol::kFrameSize + 1; // the frame and its one-byte answer

struct Run
{
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakRssKiB = 0;
    int status = -1;
    QList<QJsonObject> events;
};

// Starts the program directly, so that wait4 reports its own processor time and peak memory.
Run runFlash(const QStringList &arguments, const QString &outputPath)
{
    Run run;
    QElapsedTimer wall;
    wall.start();
    const pid_t pid = spawnFlash(arguments, outputPath);
    if (pid <= 0)
        qFatal("cannot start pelmar-flash");
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wallSeconds = wall.nsecsElapsed() / 1e9;
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.peakRssKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

    QFile file(outputPath);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QJsonDocument doc = QJsonDocument::fromJson(line);
            if (doc.isObject())
                run.events << doc.object();
        }
    }
    return run;
}

QDateTime timeOf(const QJsonObject &event)
{
    return QDateTime::fromString(event.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
}

struct Transfer
{
    double seconds = 0;      // transfer start to the device's result, the end included
    double frameSeconds = 0; // transfer start to the last frame accepted, per frame
    int frames = 0;
};

// Per port, from its JSON events.
QList<Transfer> transfers(const Run &run)
{
    QMap<QString, QDateTime> started;
    QMap<QString, QDateTime> lastFrame;
    QMap<QString, int> frames;
    QList<Transfer> result;
    for (const QJsonObject &e : run.events) {
        const QString port = e.value(QStringLiteral("port")).toString();
        const QString kind = e.value(QStringLiteral("event")).toString();
        if (kind == QLatin1String("transferStarted")) {
            started[port] = timeOf(e);
        } else if (kind == QLatin1String("progress")) {
            lastFrame[port] = timeOf(e);
            frames[port] = e.value(QStringLiteral("frames")).toInt();
        } else if (kind == QLatin1String("result") && started.contains(port)) {
            Transfer t;
            t.frames = frames.value(port);
            t.seconds = started[port].msecsTo(timeOf(e)) / 1000.0;
            if (t.frames > 0)
                t.frameSeconds = started[port].msecsTo(lastFrame[port]) / 1000.0 / t.frames;
            result << t;
        }
    }
    return result;
}

Run updateDevices(int count, bool lineSpeed, int pace, const QString &image,
                  const QTemporaryDir &dir, int adapterLatencyMs = 0)
{
    std::vector<std::unique_ptr<DeviceProcess>> devices;
    QStringList args;
    QStringList deviceArgs{QStringLiteral("--answer-latency"), QString::number(adapterLatencyMs)};
    if (lineSpeed)
        deviceArgs << QStringLiteral("--line-speed");
    for (int i = 0; i < count; ++i) {
        devices.push_back(
            std::make_unique<DeviceProcess>(dir.filePath(QStringLiteral("device%1.log").arg(i))));
        const QString port = devices.back()->start(deviceArgs);
        if (port.isEmpty())
            qFatal("the simulated device did not start");
        args << QStringLiteral("--port") << port;
    }
    args << QStringLiteral("--baud") << QStringLiteral("115200") << QStringLiteral("--image")
         << image << QStringLiteral("--json") << QStringLiteral("--pace") << QString::number(pace);
    const Run run = runFlash(args, dir.filePath(QStringLiteral("events.jsonl")));
    if (run.status != 0)
        qFatal("pelmar-flash ended with status %d", run.status);
    return run;
}

// A USB adapter that holds the device's answers for its latency timer, against the same runs
// without it: what lowering the timer to 1 ms wins.
void reportAdapterLatency(const QString &image, const QTemporaryDir &dir, int latencyMs,
                          const Transfer &paced, const Transfer &fast)
{
    const Transfer pacedHeld =
        transfers(updateDevices(1, true, 50, image, dir, latencyMs)).value(0);
    const Transfer fastHeld = transfers(updateDevices(1, true, 0, image, dir, latencyMs)).value(0);
    out() << "Adapter latency " << latencyMs << " ms: default pace " << paced.frameSeconds * 1000
          << " -> " << pacedHeld.frameSeconds * 1000 << " ms/frame (+"
          << (pacedHeld.frameSeconds / paced.frameSeconds - 1) * 100 << " %), --pace 0 "
          << fast.frameSeconds * 1000 << " -> " << fastHeld.frameSeconds * 1000 << " ms/frame ("
          << fastHeld.frameSeconds / fast.frameSeconds << " x)\n";
    out().flush();
}

struct Settings
{
    int devices = 8;
    int payload = 65536;
    int latencyMs = 16;
};

Settings readSettings(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Benchmark of pelmar-flash."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("devices"), QStringLiteral("Devices updated at once."), QStringLiteral("N"),
         QStringLiteral("8")},
        {QStringLiteral("payload"), QStringLiteral("Image payload in bytes."),
         QStringLiteral("BYTES"), QStringLiteral("65536")},
        {QStringLiteral("latency"),
         QStringLiteral("The USB adapter's latency timer to compare with (FTDI's default)."),
         QStringLiteral("MS"), QStringLiteral("16")},
    });
    parser.process(app);
    return {parser.value(QStringLiteral("devices")).toInt(),
            parser.value(QStringLiteral("payload")).toInt(),
            parser.value(QStringLiteral("latency")).toInt()};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Settings settings = readSettings(app);
    const int many = settings.devices;
    const int payload = settings.payload;

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    if (!testimage::write(image, testimage::image("PM-100", payload)))
        qFatal("cannot write the image");
    const int frames = (payload + 127) / 128;
    const double paceFloor = paceFloorSeconds(frames);
    const double lineFloorMs = kFrameBytesOnLine * protocol::kBitsPerByte * 1000.0 / 115200;

    out() << "Image: " << payload << " bytes, " << frames << " frames, at 115200, devices with "
          << "line speed\n\n";

    const Run one = updateDevices(1, true, 50, image, dir);
    const Transfer oneT = transfers(one).value(0);
    out() << "1 device, default pace: wall " << one.wallSeconds << " s, transfer " << oneT.seconds
          << " s (" << (oneT.seconds / paceFloor - 1) * 100 << " % over the floor of " << paceFloor
          << " s), " << oneT.frameSeconds * 1000 << " ms/frame; CPU " << one.cpuSeconds
          << " s, peak RSS " << one.peakRssKiB << " KiB\n";
    out().flush();

    const Run all = updateDevices(many, true, 50, image, dir);
    double worst = 0;
    for (const Transfer &t : transfers(all))
        worst = qMax(worst, t.seconds);
    out() << many << " devices, default pace: wall " << all.wallSeconds << " s ("
          << all.wallSeconds / one.wallSeconds << " x one device), slowest transfer " << worst
          << " s (" << (worst / paceFloor - 1) * 100 << " % over the floor); CPU " << all.cpuSeconds
          << " s = " << all.cpuSeconds / all.wallSeconds * 100 << " % of one core; peak RSS "
          << all.peakRssKiB << " KiB\n";
    out().flush();

    const Run fast = updateDevices(1, true, 0, image, dir);
    const Transfer fastT = transfers(fast).value(0);
    out() << "1 device, --pace 0: " << fastT.frameSeconds * 1000 << " ms/frame, "
          << fastT.frameSeconds * 1000 / lineFloorMs << " x the line's floor of " << lineFloorMs
          << " ms (132-byte frame + 1-byte answer); CPU " << fast.cpuSeconds << " s\n";
    out().flush();

    // Without line speed: what the program and the pty add per frame on their own.
    const Run bare = updateDevices(1, false, 0, image, dir);
    const Transfer bareT = transfers(bare).value(0);
    out() << "1 device, --pace 0, no line speed: " << bareT.frameSeconds * 1000
          << " ms/frame (software round trip)\n";
    out().flush();

    reportAdapterLatency(image, dir, settings.latencyMs, oneT, fastT);
    return 0;
}
