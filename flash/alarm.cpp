#include "alarm.h"

#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

Alarm::Alarm(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_active = false;
        emit fired();
    });
#ifdef Q_OS_LINUX
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Alarm::onReadable);
    }
#endif
}

Alarm::~Alarm()
{
#ifdef Q_OS_LINUX
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void Alarm::startIn(qint64 delayUs)
{
    m_active = true;
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        // A zero it_value would disarm the timer instead.
        const qint64 ns = qMax<qint64>(delayUs * 1000, 1);
        itimerspec due{};
        due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        due.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        ::timerfd_settime(m_fd, 0, &due, nullptr);
        return;
    }
#endif
    m_timer.start(static_cast<int>(qMax<qint64>(0, (delayUs + 999) / 1000)));
}

void Alarm::stop()
{
    m_active = false;
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        const itimerspec off{};
        ::timerfd_settime(m_fd, 0, &off, nullptr);
        return;
    }
#endif
    m_timer.stop();
}

void Alarm::onReadable()
{
#ifdef Q_OS_LINUX
    quint64 expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations))
        return; // re-armed before it was read: nothing is due
#endif
    m_active = false;
    emit fired();
}
