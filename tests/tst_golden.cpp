#include "devicesim.h"
#include "flashrun.h"
#include "options.h"
#include "portlist.h"
#include "stablenames.h"
#include "terminalrun.h"
#include "testimage.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

// What pelmar-flash shows, byte for byte, compared with tests/golden/: events, lines, the board,
// the report, --list over a fake tree, --help and the usage errors. Times, durations, ids, rates
// and the temporary folder are masked. PELMAR_GOLDEN_WRITE=1 writes the files instead (a golden
// that changes is a change the user sees: say why in its commit).
namespace {

QString goldenPath(const QString &name)
{
    return QStringLiteral(PELMAR_SOURCE_DIR "/tests/golden/%1.txt").arg(name);
}

// Every value that differs from run to run.
QString masked(QString text, const QString &dir)
{
    static const QVector<QPair<QRegularExpression, QString>> masks = {
        {QRegularExpression(QStringLiteral(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z)")),
         QStringLiteral("<TIME>")},
        {QRegularExpression(QStringLiteral(R"("id":"[0-9a-f-]{36}")")),
         QStringLiteral(R"("id":"<ID>")")},
        {QRegularExpression(QStringLiteral(
             R"x("(durationMs|elapsedMs|waitedMs|bytesPerSecond|secondsLeft)":[0-9.]+)x")),
         QStringLiteral(R"x("\1":<N>)x")},
        // A pseudo-terminal's number is whatever the kernel had free.
        {QRegularExpression(QStringLiteral(R"("slotPath":"/dev/pts/\d+")")),
         QStringLiteral(R"("slotPath":"/dev/pts/<N>")")},
        {QRegularExpression(QStringLiteral(R"([0-9.]+ KiB/s, \d+:\d\d left)")),
         QStringLiteral("<RATE>, <LEFT> left")},
        {QRegularExpression(QStringLiteral(R"(\d+ devices/h  elapsed \d+:\d\d:\d\d)")),
         QStringLiteral("<N> devices/h  elapsed <ELAPSED>")},
    };
    text.replace(dir, QStringLiteral("<DIR>"));
    for (const auto &m : masks)
        text.replace(m.first, m.second);
    return text.replace(QLatin1Char('\x1b'), QStringLiteral("\\e"));
}

// Lines grouped by the port (or slot) they name, in order within each; the rest last. Two
// devices run side by side, so only each one's own order is fixed.
QString byPort(const QString &text, const QStringList &ports)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const auto rank = [&ports](const QString &line) {
        for (int i = 0; i < ports.size(); ++i) {
            if (line.contains(ports.at(i)))
                return i;
        }
        return int(ports.size());
    };
    std::stable_sort(lines.begin(), lines.end(),
                     [&](const QString &a, const QString &b) { return rank(a) < rank(b); });
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void compareGolden(const QString &name, const QString &actual)
{
    QFile file(goldenPath(name));
    if (qEnvironmentVariableIsSet("PELMAR_GOLDEN_WRITE")) {
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(actual.toUtf8());
        return;
    }
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QStringList expected = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QStringList got = actual.split(QLatin1Char('\n'));
    for (int i = 0; i < qMin(expected.size(), got.size()); ++i)
        QVERIFY2(got.at(i) == expected.at(i),
                 qPrintable(QStringLiteral("%1.txt line %2:\n  got:      %3\n  expected: %4")
                                .arg(name)
                                .arg(i + 1)
                                .arg(got.at(i), expected.at(i))));
    QCOMPARE(got.size(), expected.size());
}

QString fileText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestGolden : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void programRuns_data();
    void programRuns();
    void report_data();
    void report();
    void listing();
    void usageErrors();

private:
    DeviceSimulator *device(const QString &link, const QByteArray &product = "PM-100");
    FlashRun *plainRun(const QStringList &arguments);
    QStringList updateArguments(const QStringList &ports, const QString &record) const;
    QStringList stationArguments(const QStringList &slotNames, const QString &record) const;

    QTemporaryDir m_dir;
    QString m_image;
    std::vector<std::unique_ptr<DeviceSimulator>> m_devices;
    std::vector<std::unique_ptr<FlashRun>> m_runs;
    std::unique_ptr<TerminalRun> m_liveRun;
    std::unique_ptr<TerminalRun> m_boardRun;
    QHash<QString, QString> m_outputs; // case name -> masked text
};

DeviceSimulator *TestGolden::device(const QString &link, const QByteArray &product)
{
    m_devices.push_back(std::make_unique<DeviceSimulator>());
    DeviceSimulator *d = m_devices.back().get();
    d->setIdentity(product, "SN" + link.toLatin1(), "1.0");
    d->setRestartAfterUpdate(300, "1.1");
    d->setLinkPath(m_dir.filePath(link));
    return d->plug() ? d : nullptr;
}

FlashRun *TestGolden::plainRun(const QStringList &arguments)
{
    m_runs.push_back(std::make_unique<FlashRun>(arguments));
    m_runs.back()->setWorkingDirectory(m_dir.path());
    m_runs.back()->start();
    return m_runs.back().get();
}

QStringList TestGolden::updateArguments(const QStringList &ports, const QString &record) const
{
    QStringList args{QStringLiteral("--image"),  m_image,
                     QStringLiteral("--baud"),   QStringLiteral("9600"),
                     QStringLiteral("--verify"), QStringLiteral("--expect-version"),
                     QStringLiteral("1.1"),      QStringLiteral("--record"),
                     m_dir.filePath(record)};
    for (const QString &port : ports)
        args << QStringLiteral("--port") << QStringLiteral("./") + port;
    return args;
}

QStringList TestGolden::stationArguments(const QStringList &slotNames, const QString &record) const
{
    QStringList args{
        QStringLiteral("--station"), QStringLiteral("--image"),  m_image,
        QStringLiteral("--baud"),    QStringLiteral("9600"),     QStringLiteral("--stop-after"),
        QStringLiteral("1"),         QStringLiteral("--record"), m_dir.filePath(record)};
    for (const QString &slot : slotNames)
        args << QStringLiteral("--port") << QStringLiteral("./") + slot;
    return args;
}

// Every program run at once: each waits mostly on its device, and the test stays short.
void TestGolden::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_image = m_dir.filePath(QStringLiteral("PM-100_V1.1.bin"));
    QVERIFY(testimage::write(m_image, testimage::image("PM-100", 200)));
    for (const char *link : {"devA", "devC", "devE", "slotA", "slotC", "slotE"})
        QVERIFY(device(QString::fromLatin1(link)));
    QVERIFY(device(QStringLiteral("devB"), "PM-200"));
    QVERIFY(device(QStringLiteral("devD"), "PM-200"));

    FlashRun *json = plainRun(updateArguments({"devA", "devB"}, "run.jsonl") << "--json");
    FlashRun *plain = plainRun(updateArguments({"devC", "devD"}, "plain.jsonl"));
    FlashRun *station = plainRun(stationArguments({"slotA", "slotB"}, "station.jsonl") << "--json");
    FlashRun *stationPlain = plainRun(stationArguments({"slotC", "slotD"}, "stationplain.jsonl"));
    m_liveRun =
        std::make_unique<TerminalRun>(updateArguments({"devE"}, "live.jsonl"), 100, "xterm");
    m_boardRun = std::make_unique<TerminalRun>(stationArguments({"slotE", "slotF"}, "board.jsonl"),
                                               80, "xterm");
    m_liveRun->setWorkingDirectory(m_dir.path());
    m_boardRun->setWorkingDirectory(m_dir.path());
    QVERIFY(m_liveRun->start());
    QVERIFY(m_boardRun->start());
    for (FlashRun *run : {json, plain, station, stationPlain})
        QVERIFY2(run->wait(40000), run->err().constData());
    QVERIFY(m_liveRun->wait(40000));
    QVERIFY(m_boardRun->wait(40000));

    const QString d = m_dir.path();
    const auto outcome = [&](const FlashRun *run) {
        return masked(QString::fromUtf8(run->err()), d) +
               QStringLiteral("exit status %1\n").arg(run->exitCode());
    };
    const QStringList runPorts{"./devA", "./devB", "./devC", "./devD"};
    m_outputs.insert("run-json",
                     byPort(masked(QString::fromUtf8(json->out()), d), runPorts) + outcome(json));
    m_outputs.insert("run-plain",
                     byPort(masked(QString::fromUtf8(plain->out()), d), runPorts) + outcome(plain));
    m_outputs.insert("run-record", byPort(masked(fileText(m_dir.filePath("run.jsonl")) +
                                                     fileText(m_dir.filePath("plain.jsonl")),
                                                 d),
                                          runPorts));
    m_outputs.insert("run-live", masked(QString::fromUtf8(m_liveRun->lastFrame()), d) +
                                     QStringLiteral("exit status %1\n").arg(m_liveRun->exitCode()));
    m_outputs.insert("station-json",
                     masked(QString::fromUtf8(station->out()), d) + outcome(station));
    m_outputs.insert("station-plain",
                     masked(QString::fromUtf8(stationPlain->out()), d) + outcome(stationPlain));
    m_outputs.insert("station-board",
                     masked(QString::fromUtf8(m_boardRun->lastFrame()), d) +
                         QStringLiteral("exit status %1\n").arg(m_boardRun->exitCode()));
    m_outputs.insert("station-record", masked(fileText(m_dir.filePath("station.jsonl")) +
                                                  fileText(m_dir.filePath("stationplain.jsonl")) +
                                                  fileText(m_dir.filePath("board.jsonl")),
                                              d));
}

void TestGolden::cleanupTestCase()
{
    m_runs.clear();
    m_liveRun.reset();
    m_boardRun.reset();
    m_devices.clear();
}

void TestGolden::programRuns_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"run-json", "run-plain", "run-record", "run-live", "station-json",
                             "station-plain", "station-board", "station-record"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestGolden::programRuns()
{
    QFETCH(QString, name);
    compareGolden(name, m_outputs.value(name));
}

void TestGolden::report_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QStringList files{"records/east.jsonl", "records/west.jsonl"};
    QTest::newRow("report-text") << QStringList{"--report"} + files;
    QTest::newRow("report-json") << QStringList{"--report", "--json"} + files;
    QTest::newRow("report-filtered")
        << QStringList{"--report", "--station", "line3-east", "--job", "WO-2"} + files;
    QTest::newRow("help") << QStringList{"--help"};
}

void TestGolden::report()
{
    QFETCH(QStringList, arguments);
    FlashRun run(arguments);
    run.setWorkingDirectory(QStringLiteral(PELMAR_SOURCE_DIR "/tests/golden"));
    QVERIFY(run.finish());
    compareGolden(QString::fromLatin1(QTest::currentDataTag()),
                  QString::fromUtf8(run.out() + run.err()) +
                      QStringLiteral("exit status %1\n").arg(run.exitCode()));
}

// --list over a fake /dev/serial and sysfs: the nodes are real character devices, so that the
// timer is found by device number as on a real system.
void TestGolden::listing()
{
    QTemporaryDir tree;
    QVERIFY(tree.isValid());
    const QString root = tree.path();
    QVERIFY(QDir(root).mkpath("serial/by-path") && QDir(root).mkpath("serial/by-id"));
    QVERIFY(QDir(root).mkpath("sys/dev/char/1:3/device"));
    QVERIFY(QDir(root).mkpath("sys/dev/char/1:7/device"));
    QVERIFY(testimage::write(root + "/sys/dev/char/1:3/device/latency_timer", "16\n"));
    QVERIFY(testimage::write(root + "/sys/dev/char/1:7/device/latency_timer", "1\n"));
    QVERIFY(
        QFile::link("/dev/null", root + "/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0"));
    QVERIFY(QFile::link("/dev/null", root + "/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0"));
    QVERIFY(QFile::link("/dev/full", root + "/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0"));
    QVERIFY(QFile::link("/nowhere", root + "/serial/by-id/dangling"));
    const QList<ports::ListedPort> ports{
        {"/dev/null", "null", "FT232R USB UART", "FTDI", "0403", "6001", "A1B2C3"},
        {"/dev/zero", "zero", "", "", "", "", ""},
        {"/dev/full", "full", "USB Serial", "QinHeng", "1a86", "7523", ""},
    };
    const ports::StableNameMap stable = ports::readStableNames(root + "/serial");
    const QString sysfs = root + "/sys";
    compareGolden("list", masked(flash::portListing(ports, stable, sysfs, false) +
                                     flash::portListing(ports, stable, sysfs, true),
                                 root));
}

// Every usage error of the command line, as main() prints it, with the image's and the record's
// refusals that come before any port is opened.
void TestGolden::usageErrors()
{
    const QString image = m_image;
    const QString nameOnly = m_dir.filePath("name-only.bin");
    QVERIFY(testimage::write(nameOnly, testimage::nameField("PM-100")));
    const QVector<QStringList> commandLines = {
        {},
        {"--list", "--port", "x"},
        {"--list", "--json", "--verify"},
        {"--list", "--station"},
        {"--list", "--stop-after", "3"},
        {"--list", "extra"},
        {"--identify"},
        {"--identify", "--port", "p", "--verify"},
        {"--identify", "--port", "p", "--record", "r"},
        {"--identify", "--port", "p", "--pace", "0"},
        {"--identify", "--port", "p", "--station"},
        {"--identify", "--list", "--port", "p"},
        {"--image", "f", "--port", "p", "--stop-after", "2"},
        {"--image", "f", "--port", "p", "--expect-version", "1"},
        {"--image", "f", "--port", "p", "--verify", "--expect-version", " "},
        {"--image", "f", "--port", "p", "--skip-if-version", ""},
        {"--image", "f", "--port", "p", "--record", ""},
        {"--image", "f", "--port", ""},
        {"--image", "f", "--port", "/dev/null", "--port", "/dev/../dev/null"},
        {"--image", "f", "--image", "g", "--port", "p"},
        {"--image", "f", "--port", "p", "--baud", "19200"},
        {"--image", "f", "--port", "p", "--pace", "-1"},
        {"--image", "f", "--port", "p", "--pace", "4601"},
        {"--image", "f", "--port", "p", "--attempts", "0"},
        {"--image", "f", "--port", "p", "--attempts", "21"},
        {"--station", "--image", "f", "--port", "p", "--stop-after", "0"},
        {"--image", "f", "--port", "p", "--to", "postgresql://h/d"},
        {"--image", "f", "--port", "p", "--since", "2026-01-01"},
        {"--image", "f", "--port", "p", "--job", "J"},
        {"--image", "f", "--port", "p", "extra"},
        {"--image", "f", "--port", "p", "--bogus"},
        {"--report"},
        {"--report", "a", "--port", "p"},
        {"--report", "a", "--record", "r"},
        {"--report", "a", "--stop-after", "1"},
        {"--report", "a", "--to", "postgresql://h/d"},
        {"--report", "a", "--since", "yesterday"},
        {"--report", "a", "--station", " "},
        {"--report", "a", "postgresql://h/d"},
        {"--report", "postgresql://h/d", "--station"},
        {"--ship", "a"},
        {"--ship", "--to", "postgresql://h/d"},
        {"--ship", "a", "--to", "postgresql://h/d", "--port", "p"},
        {"--ship", "a", "--to", "postgresql://h/d", "--station", " "},
        {"--init-db", "--to", "postgresql://h/d", "x"},
        {"--init-db", "--to", "postgresql://h/d", "--json"},
        {"--init-db", "--to", ""},
        {"--init-db", "--ship", "a", "--to", "postgresql://h/d"},
        {"--image", "/nonexistent/x.bin", "--port", "p"},
        {"--image", nameOnly, "--port", "p"},
        {"--image", image, "--port", "p", "--record", image},
        {"--image", image, "--port", "/dev/null", "--record", "/dev/null"},
        {"--station", "--image", image, "--port", "absent", "--record", "/dev/absent"},
    };
    QString text;
    for (const QStringList &arguments : commandLines) {
        FlashRun run(arguments);
        QVERIFY(run.finish());
        text += QStringLiteral("$ pelmar-flash %1\n%2exit status %3\n")
                    .arg(arguments.join(QLatin1Char(' ')), QString::fromUtf8(run.err()))
                    .arg(run.exitCode());
    }
    compareGolden("usage", masked(text, m_dir.path()));
}

QTEST_GUILESS_MAIN(TestGolden)
#include "tst_golden.moc"
