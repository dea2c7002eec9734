// The virtual clock the window's behaviour tests run on: timers fire in order at their times, and
// the clock never jumps over something already in flight (bytes between the two ends of a
// pseudo-terminal, posted events), which would let a wait end before an answer that is there.
#include "serialupdata.h"
#include "virtualtime.h"

#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A raw pseudo-terminal pair, both ends non-blocking.
struct Pty
{
    int master = -1;
    int slave = -1;
    QString slavePath;

    bool open()
    {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return false;
        termios tio{};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
        slavePath = QString::fromLocal8Bit(name);
        return true;
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }
};

// Reads everything that reaches `fd` and notes the clock at each read.
class Reader : public QObject
{
public:
    explicit Reader(int fd) : m_notifier(fd, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
            char buf[256];
            while (::read(m_notifier.socket(), buf, sizeof buf) > 0)
                readAtMs << virtualtime::nowMs();
        });
    }
    QList<qint64> readAtMs;

private:
    QSocketNotifier m_notifier;
};

} // namespace

class TestVirtualTime : public QObject
{
    Q_OBJECT

private slots:
    void timersFireInOrder();
    void repeatingTimer();
    void noJumpOverBytesInFlight_data();
    void noJumpOverBytesInFlight();
    void noJumpOverQueuedPortWrite();
    void noJumpOverPostedEvents();
    void nestedLoops();
    void heldBackDeleteDoesNotHoldClock();
    void windowWaitIsExact_data();
    void windowWaitIsExact();
};

void TestVirtualTime::timersFireInOrder()
{
    const qint64 start = virtualtime::nowMs();
    QList<QPair<char, qint64>> fired;
    QObject scope;
    const auto note = [&](char name) {
        return [&fired, name] { fired.append({name, virtualtime::nowMs()}); };
    };
    QTimer::singleShot(60000, Qt::PreciseTimer, &scope, note('d'));
    QTimer::singleShot(500, Qt::PreciseTimer, &scope, note('b'));
    QTimer::singleShot(10, Qt::CoarseTimer, &scope, note('a'));
    QTimer::singleShot(500, Qt::VeryCoarseTimer, &scope, note('c'));
    const int jumpsBefore = virtualtime::dispatcher()->jumps();

    virtualtime::settle(60000);

    const QList<QPair<char, qint64>> expected = {
        {'a', start + 10}, {'b', start + 500}, {'c', start + 500}, {'d', start + 60000}};
    QCOMPARE(fired, expected);
    QCOMPARE(virtualtime::nowMs(), start + 60000);
    // 10, 500 and 60000 (the settle's own timer is due with the last).
    QCOMPARE(virtualtime::dispatcher()->jumps() - jumpsBefore, 3);
}

void TestVirtualTime::repeatingTimer()
{
    const qint64 start = virtualtime::nowMs();
    QList<qint64> ticks;
    QTimer timer;
    timer.setInterval(100);
    connect(&timer, &QTimer::timeout, this, [&] {
        ticks << virtualtime::nowMs() - start;
        if (ticks.size() == 2)
            QCOMPARE(timer.remainingTime(), 100);
    });
    timer.start();
    QVERIFY(virtualtime::waitFor([&] { return ticks.size() == 3; }, 1000));
    QCOMPARE(ticks, (QList<qint64>{100, 200, 300}));
    QCOMPARE(virtualtime::nowMs(), start + 300);
}

void TestVirtualTime::noJumpOverBytesInFlight_data()
{
    QTest::addColumn<bool>("fromMaster");
    QTest::newRow("master to slave") << true;
    QTest::newRow("slave to master") << false;
}

// The kernel hands a pty's bytes on in a worker of its own: right after write() the other end
// may not show them yet. Written before a timer is due, they must still be read before it.
void TestVirtualTime::noJumpOverBytesInFlight()
{
    QFETCH(bool, fromMaster);
    Pty pty;
    QVERIFY(pty.open());
    Reader reader(fromMaster ? pty.slave : pty.master);
    const int writer = fromMaster ? pty.master : pty.slave;

    QObject scope;
    int rounds = 0;
    std::function<void()> round = [&] {
        ::write(writer, "x", 1);
        if (++rounds < 2000)
            QTimer::singleShot(1000, Qt::PreciseTimer, &scope, round);
    };
    const qint64 start = virtualtime::nowMs();
    round();
    QVERIFY(virtualtime::waitFor([&] { return reader.readAtMs.size() == 2000; }, 3000000));

    for (int i = 0; i < reader.readAtMs.size(); ++i)
        QCOMPARE(reader.readAtMs.at(i), start + 1000 * i);
}

// QSerialPort keeps a write until its descriptor is writable: the write is in flight from then.
void TestVirtualTime::noJumpOverQueuedPortWrite()
{
    Pty pty;
    QVERIFY(pty.open());
    Reader reader(pty.master);
    QSerialPort port(pty.slavePath);
    QVERIFY(port.open(QIODevice::ReadWrite));

    const qint64 start = virtualtime::nowMs();
    for (int i = 0; i < 200; ++i) {
        port.write("frame");
        virtualtime::settle(50);
    }
    QCOMPARE(reader.readAtMs.size(), 200);
    for (int i = 0; i < 200; ++i)
        QCOMPARE(reader.readAtMs.at(i), start + 50 * i);
}

// A chain of queued calls runs at the moment it was started, however long.
void TestVirtualTime::noJumpOverPostedEvents()
{
    const qint64 start = virtualtime::nowMs();
    QList<qint64> at;
    std::function<void()> step = [&] {
        at << virtualtime::nowMs();
        if (at.size() < 100)
            QMetaObject::invokeMethod(this, step, Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(this, step, Qt::QueuedConnection);
    virtualtime::settle(10);
    QCOMPARE(at.size(), 100);
    QCOMPARE(at.first(), start);
    QCOMPARE(at.last(), start);
}

// An outer wait due while an inner one still runs returns once the inner one has.
void TestVirtualTime::nestedLoops()
{
    const qint64 start = virtualtime::nowMs();
    qint64 innerEnd = -1;
    QTimer::singleShot(20, this, [&] {
        virtualtime::settle(200);
        innerEnd = virtualtime::nowMs();
    });
    virtualtime::settle(50);
    QCOMPARE(innerEnd, start + 220);
    QCOMPARE(virtualtime::nowMs(), start + 220);
}

// A deleteLater inside a nested loop waits for that loop to end; it must not count as something
// still to handle, or the clock would never move on in that loop.
void TestVirtualTime::heldBackDeleteDoesNotHoldClock()
{
    const qint64 start = virtualtime::nowMs();
    QPointer<QObject> doomed = new QObject;
    QTimer::singleShot(10, this, [&] {
        doomed->deleteLater();
        virtualtime::settle(100);
    });
    virtualtime::settle(20);
    QCOMPARE(virtualtime::nowMs(), start + 110);
    QVERIFY(virtualtime::waitFor([&] { return doomed.isNull(); }, 10));
}

void TestVirtualTime::windowWaitIsExact_data()
{
    QTest::addColumn<int>("ms");
    QTest::newRow("1 ms") << 1;
    QTest::newRow("2 ms: the real clock's early wake-up") << 2;
    QTest::newRow("4600 ms") << 4600;
}

// On the virtual clock the window's wait ends exactly at its time, by its timer.
void TestVirtualTime::windowWaitIsExact()
{
    QFETCH(int, ms);
    SerialUpdata w;
    const qint64 start = virtualtime::nowMs();
    QVERIFY(QMetaObject::invokeMethod(&w, "delay", Qt::DirectConnection, Q_ARG(int, ms)));
    QCOMPARE(virtualtime::nowMs(), start + ms);
}

QTEST_VIRTUAL_TIME_MAIN(TestVirtualTime)
#include "tst_virtualtime.moc"
