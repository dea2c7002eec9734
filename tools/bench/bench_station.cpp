#include "benchutil.h"
#include "exchange.h"
#include "progress.h"
#include "protocol.h"
#include "testimage.h"
#include "timing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Measures pelmar-flash --station against standalone simulated devices that give bytes their
// line time and come and go on stable paths (symbolic links, as /dev/serial/by-path/ names do):
// how soon a device that appears is talked to, how soon a slot is ready again after a removal,
// arrival to verdict against the time the exchange itself needs, and the station's processor time
// and peak memory while it waits on absent slots and while it transfers. Not a test; run it by
// hand. The devices are processes of their own, so their processor time stays out of the figures.

namespace {

constexpr int kBaud = 115200;

struct Config
{
    int slotCount = 8;
    int units = 5;
    int payload = 3072;
    quint32 seed = 14;
    int minWaitMs = 1000;
    int maxWaitMs = 6000;
    // Taken out about 3.5 s after the verdict, which comes once the restart is watched: the settle
    // and a 115200 handshake, 11.2 s after the update. A port that vanishes before that counts as
    // the restart's, up to its deadline, and is no removal.
    int holdMs = 14500;
    int restartMs = 500;
    int idleSlots = 16;
    int idleSeconds = 30;
    int transferSlots = 8;
    int transferPayload = 32768;
    int stayCycles = 3;
    QStringList phases;
    bool keep = false;
};

double epochNow()
{
    return QDateTime::currentMSecsSinceEpoch() / 1000.0;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

double maximum(const QList<double> &values)
{
    return values.isEmpty() ? 0 : *std::max_element(values.begin(), values.end());
}

QString figures(const QList<double> &seconds, const QString &unit = QStringLiteral("s"))
{
    if (seconds.isEmpty())
        return QStringLiteral("no samples");
    return QStringLiteral("median %1 %3, max %2 %3 (n = %4)")
        .arg(median(seconds), 0, 'f', 3)
        .arg(maximum(seconds), 0, 'f', 3)
        .arg(unit)
        .arg(seconds.size());
}

int sumWaits(const protocol::Steps &steps)
{
    int ms = 0;
    for (const protocol::Step &s : steps)
        ms += s.waitMs;
    return ms;
}

// What the exchange itself takes for a fresh device at 115200 that is not waiting for firmware:
// the cancel byte and its wait, the whole cancel poll (such a device does not answer it), the
// query, one ready poll (the handshake's answer is still the latest), the update command, every
// frame at the pace (the same estimate as the progress figures), the end, and the watch of the
// restart (the port left closed, then one handshake the restarted device answers). Writes overlap
// the waits that follow them, so line times add nothing but the frames'.
int contractHandshakeMs()
{
    return sumWaits(protocol::fastCancel()) + protocol::kCancelPoll.timeoutMs() +
           sumWaits(protocol::fastQuery());
}

double contractSeconds(int frames)
{
    const int startMs = protocol::kReadyPoll.pollMs + sumWaits(protocol::updateStart());
    const double framesUs = double(frames) * flash::estimatedFrameUs(kBaud, timing::kReplyPollMs);
    const int restartMs = timing::kRestartSettleMs + contractHandshakeMs();
    return (contractHandshakeMs() + startMs + sumWaits(protocol::transferEnd()) + restartMs) /
               1000.0 +
           framesUs / 1e6;
}

int framesOf(int payload)
{
    return (payload + protocol::kBlockSize - 1) / protocol::kBlockSize;
}

// The simulated device with commands on its standard input, started without waiting for its port
// (a device with a plug pattern announces none until its first unit arrives).
class SimProcess
{
public:
    explicit SimProcess(const QString &logPath) : m_logPath(logPath) {}
    ~SimProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
    }
    bool start(const QStringList &arguments)
    {
        m_process.setStandardOutputFile(m_logPath);
        m_process.start(QStringLiteral(PELMAR_DEVICESIM_PATH), arguments);
        return m_process.waitForStarted(5000);
    }
    void command(const QByteArray &line)
    {
        m_process.write(line + '\n');
        m_process.waitForBytesWritten(1000);
    }
    QByteArray log() const
    {
        QFile f(m_logPath);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool waitForLog(const QByteArray &text, int ms) const
    {
        QElapsedTimer waited;
        waited.start();
        while (!log().contains(text)) {
            if (waited.elapsed() > ms)
                return false;
            QThread::msleep(20);
        }
        return true;
    }

private:
    QString m_logPath;
    QProcess m_process;
};

// One visit of a device to its port, on the wall clock (seconds since the epoch).
struct Visit
{
    double arrived = -1;   // plugged in, or powered on
    double firstByte = -1; // the first byte from the station that the line began to carry
    double left = -1;      // unplugged, or powered off
};

// The plug and power events carry the wall clock; the received bursts carry the device's clock,
// which starts when its first port is made: at the first "plugged in" of a plug pattern. A burst
// is stamped when its last byte arrived, so its line time is taken off to get its first byte.
QList<Visit> visitsOf(const QByteArray &log)
{
    static const QRegularExpression event(
        QStringLiteral("^-- (plugged in|unplugged|power on|power off) at ([0-9.]+)"));
    static const QRegularExpression burst(
        QStringLiteral("^\\s*([0-9.]+) s\\s+([0-9]+) baud tool->device\\s+([0-9]+) bytes"));
    QList<Visit> visits;
    double anchor = -1;
    for (const QByteArray &raw : log.split('\n')) {
        const QString line = QString::fromLatin1(raw);
        const auto e = event.match(line);
        if (e.hasMatch()) {
            const double at = e.captured(2).toDouble();
            const QString what = e.captured(1);
            if (what == QLatin1String("plugged in") && anchor < 0)
                anchor = at;
            if (what == QLatin1String("plugged in") || what == QLatin1String("power on"))
                visits.append(Visit{at, -1, -1});
            else if (!visits.isEmpty() && visits.last().left < 0)
                visits.last().left = at;
            continue;
        }
        // A device whose port is there from its start arrived at an unknown moment.
        if (visits.isEmpty() && line.startsWith(QLatin1String("Simulated device on"))) {
            visits.append(Visit{});
            continue;
        }
        const auto b = burst.match(line);
        if (b.hasMatch() && anchor >= 0 && !visits.isEmpty() && visits.last().left < 0 &&
            visits.last().firstByte < 0) {
            const double lineSeconds =
                b.captured(3).toDouble() * protocol::kBitsPerByte / b.captured(2).toDouble();
            visits.last().firstByte = anchor + b.captured(1).toDouble() - lineSeconds;
        }
    }
    return visits;
}

// pelmar-flash started directly, so that wait4 reports its own processor time and peak memory;
// /proc gives its processor time while it runs.
class Station
{
public:
    struct Exit
    {
        double wallSeconds = 0;
        double cpuSeconds = 0;
        long peakRssKiB = 0;
        int status = -1;
    };

    Station(const QString &outputPath, const QString &errorPath)
        : m_outputPath(outputPath), m_errorPath(errorPath)
    {
    }
    ~Station()
    {
        if (m_pid > 0)
            stop();
    }

    bool start(const QStringList &arguments);
    bool running();
    double cpuNow() const;
    double elapsed() const { return m_wall.nsecsElapsed() / 1e9; }
    QList<QJsonObject> events() const;
    QByteArray errors() const;
    // SIGTERM, then up to 20 s for it to end (SIGKILL after that).
    Exit stop();

private:
    Exit reap(int options);

    QString m_outputPath;
    QString m_errorPath;
    pid_t m_pid = -1;
    QElapsedTimer m_wall;
    Exit m_exit;
};

bool Station::start(const QStringList &arguments)
{
    m_wall.start();
    m_pid = spawnFlash(arguments, m_outputPath, m_errorPath);
    return m_pid > 0;
}

Station::Exit Station::reap(int options)
{
    int status = 0;
    rusage usage{};
    if (m_pid <= 0 || wait4(m_pid, &status, options, &usage) != m_pid)
        return m_exit;
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    m_exit.wallSeconds = elapsed();
    m_exit.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    m_exit.peakRssKiB = usage.ru_maxrss;
    m_exit.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_pid = -1;
    return m_exit;
}

bool Station::running()
{
    if (m_pid > 0)
        reap(WNOHANG);
    return m_pid > 0;
}

// Seconds of processor time its threads have had, from the scheduler's nanoseconds (utime and
// stime come in ticks of 10 ms, too coarse for an idle station).
double Station::cpuNow() const
{
    if (m_pid <= 0)
        return -1;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(m_pid);
    double seconds = 0;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            seconds += f.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return seconds;
}

QList<QJsonObject> Station::events() const
{
    QFile f(m_outputPath);
    QList<QJsonObject> result;
    if (!f.open(QIODevice::ReadOnly))
        return result;
    QList<QByteArray> lines = f.readAll().split('\n');
    lines.removeLast(); // empty, or a line still being written
    for (const QByteArray &line : lines) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject())
            result << doc.object();
    }
    return result;
}

QByteArray Station::errors() const
{
    QFile f(m_errorPath);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
}

Station::Exit Station::stop()
{
    if (m_pid <= 0)
        return m_exit;
    ::kill(m_pid, SIGTERM);
    QElapsedTimer waited;
    waited.start();
    while (running() && waited.elapsed() < 20000)
        QThread::msleep(20);
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        reap(0);
    }
    return m_exit;
}

QString kind(const QJsonObject &e)
{
    return e.value(QStringLiteral("event")).toString();
}

QString slotOf(const QJsonObject &e)
{
    return e.value(QStringLiteral("slot")).toString();
}

QString stateOf(const QJsonObject &e)
{
    return kind(e) == QLatin1String("slot") ? e.value(QStringLiteral("state")).toString()
                                            : QString();
}

double epochOf(const QJsonObject &e)
{
    const QDateTime t =
        QDateTime::fromString(e.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    return t.isValid() ? t.toMSecsSinceEpoch() / 1000.0 : -1;
}

bool isVerdict(const QString &state)
{
    return state == QLatin1String("pass") || state == QLatin1String("fail") ||
           state == QLatin1String("skip");
}

// One "result" per device that answered; a slot shows its verdict again when the version it
// reports after its restart is first seen, so slot events are not counted.
int countVerdicts(const QList<QJsonObject> &events)
{
    return int(std::count_if(events.begin(), events.end(), [](const QJsonObject &e) {
        return kind(e) == QLatin1String("result");
    }));
}

// The first event of the slot from `from` on (and before `until`, if given) that matches.
template <typename Match>
double firstAfter(const QList<QJsonObject> &events, const QString &slot, double from, double until,
                  Match match)
{
    for (const QJsonObject &e : events) {
        const double t = epochOf(e);
        if (slotOf(e) == slot && t >= from && (until < 0 || t <= until) && match(e))
            return t;
    }
    return -1;
}

QString statusLine(const Station::Exit &x)
{
    return QStringLiteral("exit status %1, wall %2 s, CPU %3 s (%4 % of a core), peak RSS %5 KiB")
        .arg(x.status)
        .arg(x.wallSeconds, 0, 'f', 1)
        .arg(x.cpuSeconds, 0, 'f', 2)
        .arg(x.wallSeconds > 0 ? x.cpuSeconds / x.wallSeconds * 100 : 0, 0, 'f', 3)
        .arg(x.peakRssKiB);
}

QStringList stationArguments(const QStringList &slotPaths, const QString &image)
{
    QStringList args{QStringLiteral("--station")};
    for (const QString &s : slotPaths)
        args << QStringLiteral("--port") << s;
    args << QStringLiteral("--image") << image << QStringLiteral("--baud") << QString::number(kBaud)
         << QStringLiteral("--json");
    return args;
}

// Long port lists are shortened to the first and the last slot.
void printCommand(const QStringList &args)
{
    QStringList shown;
    const int ports = int(args.count(QStringLiteral("--port")));
    int seen = 0;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--port") && ports > 2 && ++seen > 1 && seen < ports) {
            if (seen == 2)
                shown << QStringLiteral("... (%1 slots)").arg(ports);
            ++i;
            continue;
        }
        shown << args.at(i);
    }
    out() << "  pelmar-flash " << shown.join(QLatin1Char(' ')) << '\n';
    out().flush();
}

QString imageFor(const QTemporaryDir &dir, const QString &name, int payload)
{
    const QString path = dir.filePath(name);
    if (!testimage::write(path, testimage::image("PM-100", payload)))
        qFatal("cannot write the image %s", qPrintable(path));
    return path;
}

bool startStation(Station &station, const QStringList &args)
{
    printCommand(args);
    if (!station.start(args)) {
        out() << "  cannot start pelmar-flash\n";
        return false;
    }
    return true;
}

void reportFailure(Station &station, const QString &what)
{
    out() << "  " << what
          << "; pelmar-flash said: " << QString::fromLocal8Bit(station.errors().left(400)) << "\n";
    out().flush();
}

// Idle: absent slots only. Its processor time over the whole run from wait4, and from /proc
// after the start-up (which loads Qt and the image) is over.
void idlePhase(const Config &c, const QTemporaryDir &dir)
{
    out() << "\n== Idle: " << c.idleSlots << " slots whose paths are absent, " << c.idleSeconds
          << " s, then SIGTERM (goal <= 0.5 % of a core)\n";
    QStringList slotPaths;
    for (int i = 1; i <= c.idleSlots; ++i)
        slotPaths << dir.filePath(QStringLiteral("absent/by-path/slot-%1").arg(i));
    Station station(dir.filePath(QStringLiteral("idle.jsonl")),
                    dir.filePath(QStringLiteral("idle.err")));
    if (!startStation(station, stationArguments(slotPaths, imageFor(dir, "idle.bin", c.payload))))
        return;
    const double settle = qMin(2.0, c.idleSeconds / 4.0);
    QThread::msleep(static_cast<unsigned long>(settle * 1000));
    const double cpu0 = station.cpuNow();
    const double t0 = station.elapsed();
    while (station.running() && station.elapsed() < c.idleSeconds)
        QThread::msleep(100);
    if (!station.running()) {
        reportFailure(station, QStringLiteral("it ended on its own"));
        return;
    }
    const double cpu1 = station.cpuNow();
    const double t1 = station.elapsed();
    const Station::Exit x = station.stop();
    out() << "  whole run: " << statusLine(x) << '\n';
    out() << "  after the first " << settle << " s: CPU " << (cpu1 - cpu0) << " s in " << (t1 - t0)
          << " s = " << (cpu1 - cpu0) / (t1 - t0) * 100 << " % of a core (/proc schedstat)\n";
    out().flush();
}

// Hot-plug: each slot's device comes and goes by a seeded plug pattern.
struct PlugRun
{
    QStringList slotPaths;
    std::vector<std::unique_ptr<SimProcess>> devices;
};

QStringList deviceArguments(const Config &c, const QString &link, int slot)
{
    return {QStringLiteral("--line-speed"),
            QStringLiteral("--link"),
            link,
            QStringLiteral("--serial"),
            QStringLiteral("SLOT%1").arg(slot, 2, 10, QLatin1Char('0')),
            QStringLiteral("--plug-pattern"),
            QStringLiteral("%1:%2:%3:%4")
                .arg(c.seed + slot)
                .arg(c.units)
                .arg(c.minWaitMs)
                .arg(c.maxWaitMs),
            QStringLiteral("--hold"),
            QString::number(c.holdMs),
            QStringLiteral("--restart-ms"),
            QString::number(c.restartMs),
            QStringLiteral("--new-version"),
            QStringLiteral("V2.0.0")};
}

// Until every slot has an event (its first state) or 3 s have passed.
void waitForSlots(Station &station, const QStringList &slotPaths)
{
    QElapsedTimer waited;
    waited.start();
    while (station.running() && waited.elapsed() < 3000) {
        QSet<QString> seen;
        for (const QJsonObject &e : station.events())
            seen.insert(slotOf(e));
        if (std::all_of(slotPaths.begin(), slotPaths.end(),
                        [&](const QString &s) { return seen.contains(s); }))
            return;
        QThread::msleep(50);
    }
}

bool allPatternsDone(const PlugRun &run)
{
    return std::all_of(run.devices.begin(), run.devices.end(),
                       [](const auto &d) { return d->log().contains("-- plug pattern done"); });
}

// Runs until every pattern is done, printing a line now and then. A device comes and goes within
// its wait, its contract, its hold and a removal, so a minute and a half without a new verdict
// while devices are still due means a slot has stopped taking them.
void waitForPatterns(const Config &c, Station &station, const PlugRun &run)
{
    double nextNote = 15, lastChange = 0;
    int verdicts = 0;
    while (station.running() && !allPatternsDone(run)) {
        QThread::msleep(200);
        const int now = countVerdicts(station.events());
        if (now != verdicts)
            verdicts = now, lastChange = station.elapsed();
        if (station.elapsed() - lastChange > 90) {
            out() << "  no new verdict for 90 s with " << verdicts << " of "
                  << c.slotCount * c.units << " devices done: stopped\n";
            return;
        }
        if (station.elapsed() >= nextNote) {
            out() << "  " << int(station.elapsed()) << " s: " << verdicts << " verdicts of "
                  << c.slotCount * c.units << '\n';
            out().flush();
            nextNote += 15;
        }
    }
    QThread::msleep(1500); // the last removal's "empty"
}

struct PlugFigures
{
    QList<double> detection;
    QList<double> noticed; // port appears -> the station's "connecting"
    QList<double> removal;
    QList<double> ratio;
    QList<double> verdictSeconds;
    QMap<QString, int> verdicts;
    int visits = 0;
    int missingVerdicts = 0;
    int missingReady = 0;
    int updatedTwice = 0;
};

void addSlotFigures(const QList<QJsonObject> &events, const QString &slot, const QByteArray &log,
                    double contract, PlugFigures &f)
{
    for (const Visit &v : visitsOf(log)) {
        ++f.visits;
        const double connecting =
            firstAfter(events, slot, v.arrived, v.left,
                       [](const QJsonObject &e) { return kind(e) == QLatin1String("connecting"); });
        // Without a new attempt the first byte is a probe of the visit before, not a detection.
        if (connecting >= 0) {
            f.noticed << connecting - v.arrived;
            if (v.firstByte >= 0)
                f.detection << v.firstByte - v.arrived;
        }
        const double verdict =
            firstAfter(events, slot, v.arrived, v.left,
                       [](const QJsonObject &e) { return isVerdict(stateOf(e)); });
        if (verdict < 0) {
            ++f.missingVerdicts;
        } else {
            f.verdictSeconds << verdict - v.arrived;
            f.ratio << (verdict - v.arrived) / contract;
        }
        if (v.left < 0)
            continue;
        const double ready = firstAfter(events, slot, v.left, -1, [](const QJsonObject &e) {
            return stateOf(e) == QLatin1String("empty");
        });
        if (ready < 0)
            ++f.missingReady;
        else
            f.removal << ready - v.left;
    }
    static const QRegularExpression twice(
        QStringLiteral("removed \\(transfers: ([2-9]|\\d\\d+)\\)"));
    f.updatedTwice += QString::fromLatin1(log).count(twice);
}

void printPlugFigures(const PlugFigures &f, double contract, int frames)
{
    out() << "  visits " << f.visits << "; verdicts:";
    for (auto it = f.verdicts.begin(); it != f.verdicts.end(); ++it)
        out() << ' ' << it.key() << ' ' << it.value();
    out() << "; visits without a verdict " << f.missingVerdicts << ", removals without "
          << "\"empty\" " << f.missingReady << ", units updated twice " << f.updatedTwice << '\n';
    out() << "  detection, port appears -> first byte on the line: " << figures(f.detection)
          << "\n    (the first byte is the cancel byte, which the exchange sends "
          << timing::kAfterFastBaudMs << " ms after setting 115200; without that wait: median "
          << median(f.detection) - timing::kAfterFastBaudMs / 1000.0 << " s)\n";
    out() << "  port appears -> \"connecting\": " << figures(f.noticed) << '\n';
    out() << "  removal (port vanishes) -> slot \"empty\": " << figures(f.removal) << '\n';
    out() << "  arrival -> verdict: " << figures(f.verdictSeconds) << "; contract " << contract
          << " s (" << frames << " frames)\n";
    out() << "  arrival -> verdict / contract: " << figures(f.ratio, QStringLiteral("x"))
          << " (goal <= 1.03 x on the median)\n";
    out().flush();
}

void plugPhase(const Config &c, const QTemporaryDir &dir)
{
    const int frames = framesOf(c.payload);
    const double contract = contractSeconds(frames);
    out() << "\n== Hot-plug: " << c.slotCount << " slots, " << c.units << " devices each, image "
          << c.payload << " bytes, arrivals " << c.minWaitMs << "-" << c.maxWaitMs
          << " ms after the previous removal (seed " << c.seed << "), taken out " << c.holdMs
          << " ms after the update (restart " << c.restartMs << " ms)\n";
    QDir().mkpath(dir.filePath(QStringLiteral("plug/by-path")));
    PlugRun run;
    for (int i = 1; i <= c.slotCount; ++i)
        run.slotPaths << dir.filePath(QStringLiteral("plug/by-path/slot-%1").arg(i));
    Station station(dir.filePath(QStringLiteral("plug.jsonl")),
                    dir.filePath(QStringLiteral("plug.err")));
    if (!startStation(station,
                      stationArguments(run.slotPaths, imageFor(dir, "plug.bin", c.payload))))
        return;
    waitForSlots(station, run.slotPaths);
    for (int i = 1; i <= c.slotCount; ++i) {
        run.devices.push_back(
            std::make_unique<SimProcess>(dir.filePath(QStringLiteral("plug-device%1.log").arg(i))));
        if (!run.devices.back()->start(deviceArguments(c, run.slotPaths.at(i - 1), i)))
            qFatal("the simulated device did not start");
    }
    waitForPatterns(c, station, run);
    if (!station.running())
        reportFailure(station, QStringLiteral("pelmar-flash ended before the devices were done"));
    const Station::Exit x = station.stop();
    const QList<QJsonObject> events = station.events();
    PlugFigures f;
    for (const QJsonObject &e : events) {
        if (kind(e) == QLatin1String("result"))
            ++f.verdicts[e.value(QStringLiteral("result")).toString()];
    }
    for (int i = 0; i < c.slotCount; ++i)
        addSlotFigures(events, run.slotPaths.at(i), run.devices.at(i)->log(), contract, f);
    out() << "  " << statusLine(x) << '\n';
    printPlugFigures(f, contract, frames);
}

// Transfers: every slot's device is there from the start, so that they all transfer at once; the
// processor time is taken from /proc between the last transfer start and the first end.
void transferPhase(const Config &c, const QTemporaryDir &dir)
{
    out() << "\n== Transferring: " << c.transferSlots << " slots at once, image "
          << c.transferPayload << " bytes (goal <= 5 % of a core)\n";
    QDir().mkpath(dir.filePath(QStringLiteral("transfer/by-path")));
    std::vector<std::unique_ptr<DeviceProcess>> devices;
    QStringList slotPaths;
    for (int i = 1; i <= c.transferSlots; ++i) {
        slotPaths << dir.filePath(QStringLiteral("transfer/by-path/slot-%1").arg(i));
        devices.push_back(std::make_unique<DeviceProcess>(
            dir.filePath(QStringLiteral("transfer-device%1.log").arg(i))));
        if (devices.back()
                ->start({QStringLiteral("--line-speed"), QStringLiteral("--link"), slotPaths.last(),
                         QStringLiteral("--serial"), QStringLiteral("T%1").arg(i)})
                .isEmpty())
            qFatal("the simulated device did not start");
    }
    QStringList args =
        stationArguments(slotPaths, imageFor(dir, "transfer.bin", c.transferPayload));
    args << QStringLiteral("--stop-after") << QString::number(c.transferSlots);
    Station station(dir.filePath(QStringLiteral("transfer.jsonl")),
                    dir.filePath(QStringLiteral("transfer.err")));
    if (!startStation(station, args))
        return;
    double cpu0 = -1, t0 = 0, cpu1 = -1, t1 = 0;
    const double limit = contractSeconds(framesOf(c.transferPayload)) * 3 + 60;
    while (station.running() && station.elapsed() < limit) {
        const double cpu = station.cpuNow();
        const double t = station.elapsed();
        int started = 0, ending = 0;
        for (const QJsonObject &e : station.events()) {
            started += kind(e) == QLatin1String("transferStarted") ? 1 : 0;
            ending += kind(e) == QLatin1String("ending") ? 1 : 0;
        }
        if (cpu0 < 0 && started >= c.transferSlots && ending == 0) {
            cpu0 = cpu;
            t0 = t;
        } else if (cpu0 >= 0 && cpu1 < 0 && ending > 0) {
            cpu1 = cpu;
            t1 = t;
        }
        QThread::msleep(20);
    }
    const Station::Exit x = station.stop();
    out() << "  whole run (handshakes included): " << statusLine(x) << '\n';
    if (cpu0 >= 0 && cpu1 >= 0 && t1 > t0)
        out() << "  while all " << c.transferSlots << " transfer: CPU " << (cpu1 - cpu0) << " s in "
              << (t1 - t0) << " s = " << (cpu1 - cpu0) / (t1 - t0) * 100 << " % of a core\n";
    else
        reportFailure(station, QStringLiteral("the slots were never all transferring at once"));
    out().flush();
}

// A port that stays (a fixture that powers the device when it is seated): the device is powered
// off after each verdict, and on again once its slot is empty.
bool waitFor(Station &station, int seconds,
             const std::function<bool(const QList<QJsonObject> &)> &done)
{
    QElapsedTimer waited;
    waited.start();
    while (station.running() && waited.elapsed() < seconds * 1000) {
        if (done(station.events()))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// Power off after each verdict, on again once the slot is empty.
void runStayCycles(const Config &c, Station &station, SimProcess &device)
{
    const double handshake = contractHandshakeMs() / 1000.0;
    for (int cycle = 0; cycle < c.stayCycles; ++cycle) {
        if (!waitFor(station, int(contractSeconds(framesOf(c.payload)) + 3 * handshake + 30),
                     [cycle](const QList<QJsonObject> &e) { return countVerdicts(e) > cycle; })) {
            reportFailure(station, QStringLiteral("no verdict in cycle %1").arg(cycle + 1));
            return;
        }
        QThread::msleep(static_cast<unsigned long>(c.holdMs));
        const double off = epochNow();
        device.command("power off");
        if (!waitFor(station, 60, [off](const QList<QJsonObject> &events) {
                return std::any_of(events.begin(), events.end(), [off](const QJsonObject &e) {
                    return stateOf(e) == QLatin1String("empty") && epochOf(e) >= off - 0.002;
                });
            })) {
            reportFailure(station, QStringLiteral("the slot never became empty"));
            return;
        }
        if (cycle + 1 < c.stayCycles)
            device.command("power on");
    }
}

void printStayFigures(const QList<QJsonObject> &events, const QString &slot, const QByteArray &log)
{
    QList<double> removal, arrival;
    for (const Visit &v : visitsOf(log)) {
        const double verdict =
            firstAfter(events, slot, v.arrived, v.left,
                       [](const QJsonObject &e) { return isVerdict(stateOf(e)); });
        if (verdict >= 0 && v.arrived >= 0)
            arrival << verdict - v.arrived;
        const double ready =
            v.left < 0 ? -1 : firstAfter(events, slot, v.left, -1, [](const QJsonObject &e) {
                return stateOf(e) == QLatin1String("empty");
            });
        if (ready >= 0)
            removal << ready - v.left;
    }
    out() << "  power off -> slot \"empty\" (departure probes): " << figures(removal) << '\n';
    out() << "  power on -> verdict: " << figures(arrival) << " (the arrival is found by "
          << "handshakes back to back, each up to " << contractHandshakeMs() / 1000.0 << " s)\n";
    out().flush();
}

void stayPhase(const Config &c, const QTemporaryDir &dir)
{
    out() << "\n== A port that stays: verdict -> power off " << c.holdMs
          << " ms later -> slot empty -> power on, " << c.stayCycles << " times\n";
    QDir().mkpath(dir.filePath(QStringLiteral("stay/by-path")));
    const QString slot = dir.filePath(QStringLiteral("stay/by-path/slot-1"));
    SimProcess device(dir.filePath(QStringLiteral("stay-device.log")));
    if (!device.start({QStringLiteral("--line-speed"), QStringLiteral("--link"), slot,
                       QStringLiteral("--serial"), QStringLiteral("STAY"),
                       QStringLiteral("--restart-ms"), QString::number(c.restartMs),
                       QStringLiteral("--new-version"), QStringLiteral("V2.0.0")}) ||
        !device.waitForLog("Simulated device on", 5000))
        qFatal("the simulated device did not start");
    Station station(dir.filePath(QStringLiteral("stay.jsonl")),
                    dir.filePath(QStringLiteral("stay.err")));
    if (!startStation(station, stationArguments({slot}, imageFor(dir, "stay.bin", c.payload))))
        return;
    runStayCycles(c, station, device);
    out() << "  " << statusLine(station.stop()) << '\n';
    printStayFigures(station.events(), slot, device.log());
}

QString configError(const Config &c)
{
    const QStringList known{QStringLiteral("plug"), QStringLiteral("transfer"),
                            QStringLiteral("stay"), QStringLiteral("idle")};
    for (const QString &phase : c.phases) {
        if (!known.contains(phase))
            return QStringLiteral("unknown phase \"%1\" (plug, transfer, stay, idle)").arg(phase);
    }
    if (c.slotCount < 1 || c.units < 1 || c.payload < 1 || c.minWaitMs < 0 ||
        c.maxWaitMs < c.minWaitMs || c.holdMs < 0 || c.idleSlots < 1 || c.idleSeconds < 1 ||
        c.transferSlots < 1 || c.transferPayload < 1 || c.stayCycles < 1)
        return QStringLiteral(
            "every count must be a positive number, and --min-wait <= --max-wait");
    return QString();
}

Config readConfig(const QCoreApplication &app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Benchmark of pelmar-flash --station against hot-plugged simulated devices at 115200."));
    p.addHelpOption();
    const auto opt = [&p](const char *name, const char *text, const QString &value) {
        p.addOption(
            {QString::fromLatin1(name), QString::fromLatin1(text), QStringLiteral("N"), value});
    };
    // --quick changes the defaults; options given beside it still count.
    Config d;
    if (app.arguments().contains(QStringLiteral("--quick"))) {
        d.slotCount = 2, d.units = 2, d.minWaitMs = 500, d.maxWaitMs = 1500;
        d.idleSeconds = 5, d.transferSlots = 2, d.transferPayload = 4096, d.stayCycles = 2;
    }
    opt("slots", "Hot-plug slots.", QString::number(d.slotCount));
    opt("units", "Devices per hot-plug slot.", QString::number(d.units));
    opt("payload", "Image payload in bytes (hot-plug and stay phases).",
        QString::number(d.payload));
    opt("seed", "Seed of the plug patterns (slot k uses seed + k).", QString::number(d.seed));
    opt("min-wait", "Shortest wait before an arrival, ms.", QString::number(d.minWaitMs));
    opt("max-wait", "Longest wait before an arrival, ms.", QString::number(d.maxWaitMs));
    opt("hold", "A device is taken out this long after its update, ms.", QString::number(d.holdMs));
    opt("idle-slots", "Absent slots of the idle phase.", QString::number(d.idleSlots));
    opt("idle-seconds", "Length of the idle phase.", QString::number(d.idleSeconds));
    opt("transfer-slots", "Slots transferring at once.", QString::number(d.transferSlots));
    opt("transfer-payload", "Image payload of the transfer phase.",
        QString::number(d.transferPayload));
    opt("stay-cycles", "Power cycles on a port that stays.", QString::number(d.stayCycles));
    p.addOption({QStringLiteral("phases"),
                 QStringLiteral("Phases to run, comma-separated: plug, transfer, stay, idle."),
                 QStringLiteral("LIST"), QStringLiteral("plug,transfer,stay,idle")});
    p.addOption(
        {QStringLiteral("quick"), QStringLiteral("A short smoke run (under two minutes).")});
    p.addOption({QStringLiteral("keep"),
                 QStringLiteral("Keep the logs and event files, and print where they are.")});
    p.process(app);

    Config c;
    const auto n = [&p](const char *name) { return p.value(QString::fromLatin1(name)).toInt(); };
    c.slotCount = n("slots"), c.units = n("units"), c.payload = n("payload");
    c.seed = p.value(QStringLiteral("seed")).toUInt();
    c.minWaitMs = n("min-wait"), c.maxWaitMs = n("max-wait"), c.holdMs = n("hold");
    c.idleSlots = n("idle-slots"), c.idleSeconds = n("idle-seconds");
    c.transferSlots = n("transfer-slots"), c.transferPayload = n("transfer-payload");
    c.stayCycles = n("stay-cycles");
    c.phases = p.value(QStringLiteral("phases")).split(QLatin1Char(','));
    c.keep = p.isSet(QStringLiteral("keep"));
    return c;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Config c = readConfig(app);
    if (!configError(c).isEmpty()) {
        QTextStream(stderr) << "bench_station: " << configError(c) << '\n';
        return 2;
    }
    QTemporaryDir dir;
    dir.setAutoRemove(!c.keep);
    if (c.keep)
        out() << "Logs and events in " << dir.path() << '\n';
    out() << "pelmar-flash --station at " << kBaud << " against simulated devices with line "
          << "speed. Contract of a device (fresh, not waiting for firmware): handshake "
          << contractHandshakeMs() << " ms (cancel steps + the whole cancel poll + query) + "
          << "ready poll " << protocol::kReadyPoll.pollMs << " ms + update command "
          << sumWaits(protocol::updateStart()) << " ms + frames x "
          << flash::estimatedFrameUs(kBaud, timing::kReplyPollMs) / 1000.0 << " ms + end "
          << sumWaits(protocol::transferEnd()) << " ms + the restart watched "
          << timing::kRestartSettleMs + contractHandshakeMs() << " ms (settle + handshake)\n";
    out().flush();
    if (c.phases.contains(QStringLiteral("plug")))
        plugPhase(c, dir);
    if (c.phases.contains(QStringLiteral("transfer")))
        transferPhase(c, dir);
    if (c.phases.contains(QStringLiteral("stay")))
        stayPhase(c, dir);
    if (c.phases.contains(QStringLiteral("idle")))
        idlePhase(c, dir);
    return 0;
}
