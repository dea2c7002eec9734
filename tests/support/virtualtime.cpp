#include "virtualtime.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QVarLengthArray>
#include <QtCore/private/qeventdispatcher_unix_p.h>
#include <QtCore/private/qobject_p.h>
#include <QtCore/private/qthread_p.h>
#include <qpa/qwindowsysteminterface.h>

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace {

VirtualTimeDispatcher *g_dispatcher = nullptr;

constexpr qint64 kNsPerMs = 1000000;

// What a notifier of each type waits for, and what poll() reports that wakes it (as Qt's own
// Unix dispatcher reads them).
short requested(QSocketNotifier::Type type)
{
    switch (type) {
    case QSocketNotifier::Read:
        return POLLIN;
    case QSocketNotifier::Write:
        return POLLOUT;
    case QSocketNotifier::Exception:
        break;
    }
    return POLLPRI;
}

short wakes(QSocketNotifier::Type type)
{
    switch (type) {
    case QSocketNotifier::Read:
        return POLLIN | POLLHUP | POLLERR;
    case QSocketNotifier::Write:
        return POLLOUT | POLLERR;
    case QSocketNotifier::Exception:
        break;
    }
    return POLLPRI;
}

// Qt's own test of whether the thread may sleep: events posted and not yet sent. Events held back
// for a loop further out (deleteLater) do not count, unlike hasPendingEvents().
bool postedEventsWaiting(const QObject *inThread)
{
    return !QObjectPrivate::get(inThread)->threadData.loadRelaxed()->canWaitLocked();
}

} // namespace

VirtualTimeDispatcher::VirtualTimeDispatcher() : m_inner(new QEventDispatcherUNIX(this)) {}

VirtualTimeDispatcher::~VirtualTimeDispatcher()
{
    if (g_dispatcher == this) {
        steadyclock::install(nullptr);
        g_dispatcher = nullptr;
    }
}

bool VirtualTimeDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted = false;
    emit awake();
    if (handleReady(flags))
        return true;
    if (!(flags & QEventLoop::WaitForMoreEvents) || m_interrupted)
        return false;
    const Timer *next = (flags & QEventLoop::X11ExcludeTimers) ? nullptr : nextTimer();
    if (!next) {
        // Nothing will happen on the clock: wait for something real (a thread, a descriptor).
        emit aboutToBlock();
        return m_inner->processEvents(flags);
    }
    // Something that came in since the pass above is taken by the next one, before any jump.
    if (!nothingInFlight(flags))
        return false;
    m_nowNs = qMax(m_nowNs, next->dueNs);
    ++m_jumps;
    fireDueTimers();
    return true;
}

// One pass over everything ready at this moment of the clock, never blocking. Posted events do
// not show in the Unix dispatcher's result, so they count if they were there before it.
bool VirtualTimeDispatcher::handleReady(QEventLoop::ProcessEventsFlags flags)
{
    const bool posted = postedEventsWaiting(this);
    bool handled = m_inner->processEvents(flags & ~QEventLoop::WaitForMoreEvents);
    handled |= QWindowSystemInterface::sendWindowSystemEvents(flags);
    if (!(flags & QEventLoop::X11ExcludeTimers))
        handled |= fireDueTimers();
    return handled || posted;
}

// Each due timer fires once, in the order Qt's own would: by due time, then by registration. A
// repeating zero-interval timer fires on every pass and so does not count as something handled;
// otherwise it would hold the clock for as long as it ran.
bool VirtualTimeDispatcher::fireDueTimers()
{
    QVector<Timer> due;
    for (const Timer &t : qAsConst(m_timers)) {
        if (t.dueNs <= m_nowNs)
            due.append(t);
    }
    std::sort(due.begin(), due.end(), [](const Timer &a, const Timer &b) {
        return a.dueNs != b.dueNs ? a.dueNs < b.dueNs : a.order < b.order;
    });
    bool handled = false;
    for (const Timer &d : qAsConst(due)) {
        // An earlier timer's handler may have stopped or restarted this one.
        const int at = indexOf(d);
        if (at < 0)
            continue;
        Timer &t = m_timers[at];
        t.dueNs = qMax(t.dueNs + t.intervalMs * kNsPerMs, m_nowNs);
        QTimerEvent event(d.id);
        QCoreApplication::sendEvent(d.object, &event);
        handled |= !(d.intervalMs == 0 && indexOf(d) >= 0);
    }
    return handled;
}

bool VirtualTimeDispatcher::nothingInFlight(QEventLoop::ProcessEventsFlags flags) const
{
    if (postedEventsWaiting(this))
        return false;
    if (!(flags & QEventLoop::ExcludeUserInputEvents) &&
        QWindowSystemInterface::windowSystemEventsQueued() > 0)
        return false;
    if (flags & QEventLoop::ExcludeSocketNotifiers)
        return true;
    QVarLengthArray<pollfd, 16> fds;
    QVarLengthArray<short, 16> wake;
    for (QSocketNotifier *n : m_notifiers) {
        fds.append(pollfd{static_cast<int>(n->socket()), requested(n->type()), 0});
        wake.append(wakes(n->type()));
    }
    int ready = 0;
    do
        ready = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), 0);
    while (ready < 0 && errno == EINTR);
    for (int i = 0; ready > 0 && i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLNVAL) && (fds[i].revents & wake[i]))
            return false;
    }
    return true;
}

// The same registration, not a later timer that was given the same id.
int VirtualTimeDispatcher::indexOf(const Timer &timer) const
{
    for (int i = 0; i < m_timers.size(); ++i) {
        if (m_timers.at(i).id == timer.id && m_timers.at(i).order == timer.order)
            return i;
    }
    return -1;
}

const VirtualTimeDispatcher::Timer *VirtualTimeDispatcher::nextTimer() const
{
    const Timer *next = nullptr;
    for (const Timer &t : m_timers) {
        if (!next || t.dueNs < next->dueNs || (t.dueNs == next->dueNs && t.order < next->order))
            next = &t;
    }
    return next;
}

bool VirtualTimeDispatcher::hasPendingEvents()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return m_inner->hasPendingEvents() || QWindowSystemInterface::windowSystemEventsQueued() > 0;
    QT_WARNING_POP
}

void VirtualTimeDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    m_inner->registerSocketNotifier(notifier);
    m_notifiers.insert(notifier);
}

void VirtualTimeDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    m_notifiers.remove(notifier);
    m_inner->unregisterSocketNotifier(notifier);
}

void VirtualTimeDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType,
                                          QObject *object)
{
    m_timers.append(
        Timer{timerId, interval, timerType, object, m_nowNs + interval * kNsPerMs, ++m_order});
}

bool VirtualTimeDispatcher::unregisterTimer(int timerId)
{
    const auto it = std::find_if(m_timers.begin(), m_timers.end(),
                                 [timerId](const Timer &t) { return t.id == timerId; });
    if (it == m_timers.end())
        return false;
    m_timers.erase(it);
    return true;
}

bool VirtualTimeDispatcher::unregisterTimers(QObject *object)
{
    const auto from = std::remove_if(m_timers.begin(), m_timers.end(),
                                     [object](const Timer &t) { return t.object == object; });
    const bool any = from != m_timers.end();
    m_timers.erase(from, m_timers.end());
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo>
VirtualTimeDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> infos;
    for (const Timer &t : m_timers) {
        if (t.object == object)
            infos.append(TimerInfo(t.id, t.intervalMs, t.type));
    }
    return infos;
}

int VirtualTimeDispatcher::remainingTime(int timerId)
{
    for (const Timer &t : qAsConst(m_timers)) {
        if (t.id == timerId)
            return static_cast<int>(qMax<qint64>(0, t.dueNs - m_nowNs) / kNsPerMs);
    }
    return -1;
}

void VirtualTimeDispatcher::wakeUp()
{
    m_inner->wakeUp();
}

void VirtualTimeDispatcher::interrupt()
{
    m_interrupted = true;
    m_inner->interrupt();
}

namespace virtualtime {

VirtualTimeDispatcher *install()
{
    auto *d = new VirtualTimeDispatcher;
    QCoreApplication::setEventDispatcher(d);
    steadyclock::install(d);
    g_dispatcher = d;
    return d;
}

VirtualTimeDispatcher *dispatcher()
{
    return g_dispatcher;
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(qMax(0, ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    const qint64 deadlineNs = steadyclock::nowNs() + qint64(ms) * kNsPerMs;
    // Something to wake up for at the deadline, on either clock.
    QTimer limit;
    limit.setTimerType(Qt::PreciseTimer);
    limit.setSingleShot(true);
    limit.start(ms + 1);
    while (!done() && steadyclock::nowNs() < deadlineNs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
}

} // namespace virtualtime
