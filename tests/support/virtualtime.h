#pragma once

#include "steadyclock.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QSet>
#include <QTest>
#include <QVector>

#include <atomic>
#include <functional>

class QEventDispatcherUNIX;

// The main thread's event dispatcher for tests that run on a virtual clock. Qt's timers run on
// that clock, and steadyclock reads it, so the window's waits and the simulated device's timers
// and stamps all keep the same time. The clock jumps to the next timer only when nothing is in
// flight: no posted event waiting, no window system event waiting, and no descriptor of a socket
// notifier ready. The last covers bytes written to a pseudo-terminal and not yet read on the
// other side: the kernel hands them on in a worker of its own, and a poll() of the reading side
// waits for that hand-over (FIONREAD does not). Descriptors are polled as their notifiers ask, so
// the port's pending writes count as well. Everything else (the descriptors themselves, posted
// events, window system events) is handled as Qt's own Unix dispatcher does.
class VirtualTimeDispatcher : public QAbstractEventDispatcher, public steadyclock::Source
{
    Q_OBJECT

public:
    VirtualTimeDispatcher();
    ~VirtualTimeDispatcher() override;

    qint64 nowNs() const override { return m_nowNs; }
    // How often the clock has jumped: a test can tell that time moved without it being spent.
    int jumps() const { return m_jumps; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, int interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;
    void flush() override {}

private:
    struct Timer
    {
        int id;
        int intervalMs;
        Qt::TimerType type;
        QObject *object;
        qint64 dueNs;
        quint64 order; // registration order: timers due together fire in it
    };

    bool handleReady(QEventLoop::ProcessEventsFlags flags);
    bool fireDueTimers();
    bool nothingInFlight(QEventLoop::ProcessEventsFlags flags) const;
    const Timer *nextTimer() const;
    int indexOf(const Timer &timer) const;

    QEventDispatcherUNIX *m_inner;
    QVector<Timer> m_timers;
    QSet<QSocketNotifier *> m_notifiers;
    qint64 m_nowNs = 0;
    quint64 m_order = 0;
    int m_jumps = 0;
    std::atomic<bool> m_interrupted{false};
};

// QTest::qWait, qWaitFor and the QTRY_ macros handle events without ever waiting for more, so
// the clock stands still in them: tests on this clock use settle() and waitFor() below.
namespace virtualtime {

// Puts a VirtualTimeDispatcher in for the main thread and steadyclock; before the application
// object is made. Returns it (owned by the thread).
VirtualTimeDispatcher *install();
// The dispatcher put in, or null on the real clock.
VirtualTimeDispatcher *dispatcher();

// Runs the event loop for `ms` on the test's clock (virtual or real).
void settle(int ms);
// Runs the event loop until `done` holds or `ms` have passed on the test's clock; returns done().
bool waitFor(const std::function<bool()> &done, int ms = 5000);
// Milliseconds on the test's clock since an arbitrary start.
inline qint64 nowMs()
{
    return steadyclock::nowNs() / 1000000;
}

} // namespace virtualtime

// As QTEST_MAIN, on a virtual clock. The text cursor does not blink: its timer would keep the
// clock jumping while the test waits for something real, such as a file dialog's directory.
#define QTEST_VIRTUAL_TIME_MAIN(TestObject)                                                        \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        virtualtime::install();                                                                    \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        QApplication::setCursorFlashTime(0);                                                       \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
