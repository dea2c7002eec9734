#include "serialupdata.h"
#include "benchutil.h"
#include "testimage.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

// Measures a whole firmware update through the window against the standalone simulated device:
// wall time next to the floor the protocol sets (one 50 ms poll per frame, 1.2 s at the end),
// processor time of this process, and peak memory while a large image is loaded. Not a test; run
// it by hand (offscreen by default).

namespace {

// A field of /proc/self/status in KiB (VmHWM: peak resident set, VmRSS: current).
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

class Window
{
public:
    Window()
    {
        w.show();
        ports = w.findChild<QComboBox *>(QStringLiteral("comboBox_COM"));
        bauds = w.findChild<QComboBox *>(QStringLiteral("comboBox_Bps"));
        open = w.findChild<QPushButton *>(QStringLiteral("pBtn_open"));
        browseButton = w.findChild<QPushButton *>(QStringLiteral("pBtn_glance"));
        update = w.findChild<QPushButton *>(QStringLiteral("pBtn_UpGrade"));
        pane = w.findChild<QPlainTextEdit *>(QStringLiteral("txt_Message"));
        QApplication::processEvents();
    }

    bool valid() const { return ports && bauds && open && browseButton && update && pane; }

    bool connectTo(const QString &path, const QString &baud)
    {
        ports->addItem(path);
        ports->setCurrentIndex(ports->count() - 1);
        bauds->setCurrentIndex(bauds->findText(baud));
        open->click();
        return open->text() == QLatin1String("Disconnect");
    }

    void disconnect()
    {
        if (open->text() == QLatin1String("Disconnect"))
            open->click();
    }

    // Picks `path` in the window's file dialog as soon as it shows.
    bool browse(const QString &path)
    {
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            poll.stop();
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept();
        });
        poll.start();
        browseButton->click();
        return update->isEnabled();
    }

    QString lastLine() const { return pane->toPlainText().section(QLatin1Char('\n'), -1).mid(19); }

    SerialUpdata w;
    QComboBox *ports = nullptr;
    QComboBox *bauds = nullptr;
    QPushButton *open = nullptr;
    QPushButton *browseButton = nullptr;
    QPushButton *update = nullptr;
    QPlainTextEdit *pane = nullptr;
};

int fail(const char *what)
{
    fprintf(stderr, "%s\n", what);
    return 1;
}

// What one poll of the transfer costs by itself: its overshoot is paid once per frame.
void probePolls(Window &window, int probes)
{
    const auto delay = [&window](int ms) {
        QMetaObject::invokeMethod(&window.w, "delay", Qt::DirectConnection, Q_ARG(int, ms));
    };
    for (const bool nested : {false, true}) {
        if (probes <= 0)
            break;
        double sum = 0;
        double worst = 0;
        for (int i = 0; i < probes; ++i) {
            // As in the transfer: the reply comes a few ms into the poll and recv_data waits 30 ms
            // inside it.
            if (nested)
                QTimer::singleShot(2, Qt::PreciseTimer, &window.w, [&delay] { delay(30); });
            QElapsedTimer clock;
            clock.start();
            delay(50);
            const double ms = clock.nsecsElapsed() / 1e6;
            sum += ms;
            worst = qMax(worst, ms);
        }
        out() << QStringLiteral("delay(50) %1, %2 times: mean %3 ms, worst %4 ms (%5)")
                     .arg(nested ? QStringLiteral("with a nested delay(30)")
                                 : QStringLiteral("alone"))
                     .arg(probes)
                     .arg(sum / probes, 0, 'f', 3)
                     .arg(worst, 0, 'f', 3)
                     .arg(QLatin1String(
                         QAbstractEventDispatcher::instance()->metaObject()->className()))
              << Qt::endl;
    }
}

// The transfer moves the progress bar once per frame, between two polls.
void timeProgressBar(Window &window)
{
    auto *bar = window.w.findChild<QProgressBar *>(QStringLiteral("pgBar"));
    const int oldMaximum = bar->maximum();
    bar->setMaximum(523);
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= 512; ++i)
        bar->setValue(i);
    out() << QStringLiteral("progress bar setValue, 512 steps of 523: mean %1 ms")
                 .arg(clock.nsecsElapsed() / 1e6 / 512, 0, 'f', 3)
          << Qt::endl;
    bar->setMaximum(oldMaximum);
    bar->setValue(0);
}

// Peak memory while a large image is loaded (the device refuses its first frame).
int measureMemory(Window &window, const QTemporaryDir &dir, qint64 bigMiB)
{
    const qint64 bigSize = bigMiB * 1024 * 1024;
    // Sparse: writing it costs this process no memory before the idle figure is taken.
    const QString bigPath = dir.filePath(QStringLiteral("big.bin"));
    QFile big(bigPath);
    if (!big.open(QIODevice::WriteOnly) || big.write(testimage::nameField("PM-100")) != 16 ||
        !big.resize(bigSize))
        return fail("cannot write the large image");
    big.close();

    DeviceProcess device(dir.filePath(QStringLiteral("device.log")));
    const QString path = device.start({QStringLiteral("--nak-at"), QStringLiteral("1")});
    if (path.isEmpty())
        return fail("cannot start the simulated device");
    if (!window.connectTo(path, QStringLiteral("9600")) || !window.browse(bigPath))
        return fail("cannot connect or choose the large image");

    const qint64 idleHwm = statusKiB("VmHWM");
    const qint64 idleRss = statusKiB("VmRSS");
    window.update->click();
    const qint64 peak = statusKiB("VmHWM");
    const double imageKiB = bigSize / 1024.0;
    out() << "large image " << bigSize << " bytes, outcome: " << window.lastLine() << Qt::endl;
    out() << QStringLiteral("  idle VmHWM %1 KiB (VmRSS %2 KiB), peak VmHWM %3 KiB")
                 .arg(idleHwm)
                 .arg(idleRss)
                 .arg(peak)
          << Qt::endl;
    out() << QStringLiteral("  peak - idle = %1 KiB = %2 x image; goal < 1.1 x image: %3")
                 .arg(peak - idleHwm)
                 .arg((peak - idleHwm) / imageKiB, 0, 'f', 3)
                 .arg(peak - idleHwm < 1.1 * imageKiB ? QStringLiteral("met")
                                                      : QStringLiteral("MISSED"))
          << Qt::endl;
    window.disconnect();
    return 0;
}

void reportFramePeriods(const DeviceProcess &device)
{
    // Frame to frame as the device saw them: the poll plus whatever the window does between
    // the end of one poll and the write of the next frame.
    QApplication::processEvents();
    const QList<double> at = device.arrivals(132);
    QList<double> periods;
    for (int i = 1; i < at.size(); ++i)
        periods << 1000 * (at.at(i) - at.at(i - 1));
    std::sort(periods.begin(), periods.end());
    if (!periods.isEmpty()) {
        double sum = 0;
        for (const double p : qAsConst(periods))
            sum += p;
        out() << QStringLiteral("  frame period (%1 intervals): min %2, median %3, mean %4, "
                                "99th %5, max %6 ms")
                     .arg(periods.size())
                     .arg(periods.first(), 0, 'f', 3)
                     .arg(periods.at(periods.size() / 2), 0, 'f', 3)
                     .arg(sum / periods.size(), 0, 'f', 3)
                     .arg(periods.at(periods.size() * 99 / 100), 0, 'f', 3)
                     .arg(periods.last(), 0, 'f', 3)
              << Qt::endl;
    }
}

// The press and the transfer against the protocol's floor, and the processor time over the press.
void reportUpdateTimes(int frames, double wall, double transfer, double cpu)
{
    const double floor = paceFloorSeconds(frames);
    out() << QStringLiteral("  button press %1 s (update start %2 s), transfer %3 s")
                 .arg(wall, 0, 'f', 3)
                 .arg(wall - transfer, 0, 'f', 3)
                 .arg(transfer, 0, 'f', 3)
          << Qt::endl;
    out() << QStringLiteral("  floor %1 s (%2 x 50 ms + 1.2 s): transfer %3 %, press %4 % "
                            "over it; goal < 2 %: %5")
                 .arg(floor, 0, 'f', 3)
                 .arg(frames)
                 .arg(100 * (transfer / floor - 1), 0, 'f', 2)
                 .arg(100 * (wall / floor - 1), 0, 'f', 2)
                 .arg(transfer / floor - 1 < 0.02 ? QStringLiteral("met")
                                                  : QStringLiteral("MISSED"))
          << Qt::endl;
    out() << QStringLiteral("  CPU %1 s = %2 % of one core over the press; goal < 2 %: %3")
                 .arg(cpu, 0, 'f', 3)
                 .arg(100 * cpu / wall, 0, 'f', 2)
                 .arg(cpu / wall < 0.02 ? QStringLiteral("met") : QStringLiteral("MISSED"))
          << Qt::endl;
}

// A whole update at 115200: wall and processor time against the protocol's floor.
int measureUpdate(Window &window, const QTemporaryDir &dir, qint64 imageKiB,
                  const QString &answerDelay)
{
    const QByteArray data = testimage::payload(imageKiB * 1024);
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    const QString receivedPath = dir.filePath(QStringLiteral("received.bin"));
    QFile image(imagePath);
    if (!image.open(QIODevice::WriteOnly) || image.write(testimage::nameField("PM-100") + data) < 0)
        return fail("cannot write the image");
    image.close();

    DeviceProcess device(dir.filePath(QStringLiteral("device.log")));
    const QString path = device.start({QStringLiteral("--answer-delay"), answerDelay,
                                       QStringLiteral("--save-image"), receivedPath});
    if (path.isEmpty())
        return fail("cannot start the simulated device");
    if (!window.connectTo(path, QStringLiteral("115200")) || !window.browse(imagePath))
        return fail("cannot connect or choose the image");

    // The transfer itself starts with its "started" line; the update start waits before it.
    QElapsedTimer clock;
    qint64 startedNs = -1;
    QObject::connect(window.pane, &QPlainTextEdit::textChanged, window.pane, [&] {
        if (startedNs < 0 && window.lastLine().contains(QLatin1String("started")))
            startedNs = clock.nsecsElapsed();
    });
    const double cpuBefore = cpuSeconds();
    clock.start();
    window.update->click();
    const double wall = clock.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    const double transfer = startedNs < 0 ? 0 : wall - startedNs / 1e9;

    QFile received(receivedPath);
    QByteArray padded = data;
    padded.append(QByteArray((128 - data.size() % 128) % 128, 0x1A));
    const bool identical = received.open(QIODevice::ReadOnly) && received.readAll() == padded;
    out() << "update of " << data.size() << " bytes at 115200, device pid " << device.pid()
          << " answering after " << answerDelay << " ms, outcome: " << window.lastLine()
          << ", received image " << (identical ? "identical" : "DIFFERENT") << Qt::endl;
    reportUpdateTimes((data.size() + 127) / 128, wall, transfer, cpu);
    reportFramePeriods(device);
    window.disconnect();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("image-kib"), QStringLiteral("Payload of the timed update."),
         QStringLiteral("KiB"), QStringLiteral("64")},
        {QStringLiteral("answer-delay"), QStringLiteral("Device answer delay per frame."),
         QStringLiteral("MS"), QStringLiteral("2")},
        {QStringLiteral("big-mib"), QStringLiteral("Size of the image loaded for memory."),
         QStringLiteral("MiB"), QStringLiteral("60")},
        {QStringLiteral("skip-memory"), QStringLiteral("Leave out the large image.")},
        {QStringLiteral("skip-update"), QStringLiteral("Leave out the timed update.")},
        {QStringLiteral("probe-polls"),
         QStringLiteral("Time this many 50 ms waits (the transfer's poll) first."),
         QStringLiteral("N"), QStringLiteral("100")},
    });
    parser.process(app);

    QTemporaryDir dir;
    if (!dir.isValid())
        return fail("no temporary directory");
    Window window;
    if (!window.valid())
        return fail("window widgets not found");

    const int probes = parser.value(QStringLiteral("probe-polls")).toInt();
    if (probes > 0) {
        probePolls(window, probes);
        timeProgressBar(window);
    }
    if (!parser.isSet(QStringLiteral("skip-memory"))) {
        if (const int rc =
                measureMemory(window, dir, parser.value(QStringLiteral("big-mib")).toLongLong()))
            return rc;
    }
    if (!parser.isSet(QStringLiteral("skip-update"))) {
        if (const int rc =
                measureUpdate(window, dir, parser.value(QStringLiteral("image-kib")).toLongLong(),
                              parser.value(QStringLiteral("answer-delay"))))
            return rc;
    }
    return 0;
}
