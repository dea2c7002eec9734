#include "adapterlatency.h"
#include "devicesim.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using ports::LatencyRefusal;
Q_DECLARE_METATYPE(ports::LatencyRefusal)

namespace {

bool writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

QByteArray readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray("(none)");
}

} // namespace

class TestLatency : public QObject
{
    Q_OBJECT

private slots:
    void lowerAndRestore_data();
    void lowerAndRestore();
    void serialFlagSetAndRestored();
};

void TestLatency::lowerAndRestore_data()
{
    QTest::addColumn<QString>("place"); // where sysfs shows the tty: "number", "name"
    QTest::addColumn<QString>("timer"); // the file's content; "proc": a file the kernel keeps
    QTest::addColumn<bool>("replaced"); // the adapter is plugged again before the restore
    QTest::addColumn<int>("found");
    QTest::addColumn<int>("used");
    QTest::addColumn<LatencyRefusal>("refusal");
    QTest::addColumn<QByteArray>("whileOpen");
    QTest::addColumn<QByteArray>("afterRestore");

    const LatencyRefusal none = LatencyRefusal::None;
    QTest::newRow("FTDI at 16 ms, by device number")
        << "number"
        << "16\n"
        << false << 16 << 1 << none << QByteArray("1") << QByteArray("16");
    QTest::newRow("FTDI at 16 ms, by tty name")
        << "name"
        << "16\n"
        << false << 16 << 1 << none << QByteArray("1") << QByteArray("16");
    QTest::newRow("pseudo-terminal or CH340: no timer, the ioctl refused harmlessly")
        << "number" << QString() << false << -1 << -1 << none << QByteArray("(none)")
        << QByteArray("(none)");
    // Root passes file modes, not the kernel's own refusal of a read-only setting (65536 is
    // NGROUPS_MAX).
    QTest::newRow("write refused by the system")
        << "number"
        << "proc" << false << 65536 << 65536 << LatencyRefusal::NotAllowed << QByteArray("65536")
        << QByteArray("65536");
    QTest::newRow("another adapter on the same name by the restore")
        << "number"
        << "16\n"
        << true << 16 << 1 << none << QByteArray("1") << QByteArray("1");
}

void TestLatency::lowerAndRestore()
{
    QFETCH(QString, place);
    QFETCH(QString, timer);
    QFETCH(bool, replaced);
    QFETCH(int, found);
    QFETCH(int, used);
    QFETCH(LatencyRefusal, refusal);
    QFETCH(QByteArray, whileOpen);
    QFETCH(QByteArray, afterRestore);

    // The port: a pseudo-terminal reached through a link, as under /dev/serial/by-id.
    DeviceSimulator sim;
    QVERIFY(sim.start());
    QSerialPort port(sim.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("usb-FTDI_FT232R_A10K-if00-port0"));
    QVERIFY(QFile::link(sim.slavePath(), link));
    struct stat st
    {
    };
    QVERIFY(::fstat(ports::descriptorOf(port), &st) == 0);
    const QString sysfs = dir.filePath(QStringLiteral("sys"));
    const QString byNumber =
        QStringLiteral("/dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    const QString byName = QStringLiteral("/class/tty/") + sim.slavePath().mid(5).replace('/', '!');
    const QString tty = sysfs + (place == QLatin1String("number") ? byNumber : byName);
    const QString file = tty + QStringLiteral("/device/latency_timer");
    QVERIFY(QDir().mkpath(tty + QStringLiteral("/device")));
    if (timer == QLatin1String("proc"))
        QVERIFY(QFile::link(QStringLiteral("/proc/sys/kernel/ngroups_max"), file));
    else if (!timer.isEmpty())
        QVERIFY(writeText(file, timer.toLatin1()));

    ports::AdapterLatency latency(sysfs);
    latency.lower(link, ports::descriptorOf(port));
    QCOMPARE(latency.foundMs(), found);
    QCOMPARE(latency.usedMs(), used);
    QCOMPARE(latency.refusal(), refusal);
    QCOMPARE(latency.refusalError() != 0, refusal != LatencyRefusal::None);
    QCOMPARE(readText(file), whileOpen);
    if (replaced) {
        // A new node, as sysfs gives the new adapter's (set to 1 ms by a udev rule).
        QVERIFY(writeText(file + QStringLiteral(".new"), "1\n"));
        QVERIFY(::rename(QFile::encodeName(file + QStringLiteral(".new")).constData(),
                         QFile::encodeName(file).constData()) == 0);
    }
    latency.restore(ports::descriptorOf(port));
    QCOMPARE(readText(file), afterRestore);
    QCOMPARE(latency.foundMs(), found); // kept for the record
}

// A real tty whose driver takes the flag: only ASYNC_LOW_LATENCY changes, and goes back.
void TestLatency::serialFlagSetAndRestored()
{
    const int fd = ::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct before{};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &before) != 0 || (before.flags & ASYNC_LOW_LATENCY)) {
        if (fd >= 0)
            ::close(fd);
        QSKIP("no /dev/ttyS0 that takes TIOCSSERIAL with the flag off");
    }
    QTemporaryDir emptySysfs;
    ports::AdapterLatency latency(emptySysfs.path());
    latency.lower(QStringLiteral("/dev/ttyS0"), fd);
    serial_struct open{};
    QVERIFY(::ioctl(fd, TIOCGSERIAL, &open) == 0);
    latency.restore(fd);
    serial_struct after{};
    QVERIFY(::ioctl(fd, TIOCGSERIAL, &after) == 0);
    ::close(fd);
    QCOMPARE(open.flags, before.flags | ASYNC_LOW_LATENCY);
    QCOMPARE(after.flags, before.flags);
    QVERIFY(!latency.hasTimer());
}

QTEST_GUILESS_MAIN(TestLatency)
#include "tst_latency.moc"
