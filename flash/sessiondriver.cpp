#include "sessiondriver.h"

#include <QTimer>

namespace flash {

SessionDriver::SessionDriver(const QString &portName, const SessionConfig &config, QObject *parent)
    : QObject(parent), m_portName(portName), m_machine(config)
{
    connect(&m_port, &LockedPort::bytesArrived, this,
            [this](const QByteArray &bytes) { run(m_machine.bytesArrived(nowUs(), bytes)); });
    connect(&m_port, &LockedPort::failed, this,
            [this](const QString &text) { run(m_machine.portError(nowUs(), text)); });
    connect(&m_port, &LockedPort::released, this, &SessionDriver::done);
    connect(&m_port, &LockedPort::adapterLatencyKept, this,
            [this] { emit adapterLatencyKept(this); });
    connect(&m_alarm, &Alarm::fired, this, [this] { run(m_machine.alarm(nowUs())); });
}

void SessionDriver::start()
{
    m_clock.start();
    m_startedAt = QDateTime::currentDateTimeUtc();
    run(m_machine.start(nowUs()));
}

void SessionDriver::cancel()
{
    run(m_machine.cancel(nowUs()));
}

void SessionDriver::run(const QVector<Action> &actions)
{
    for (const Action &a : actions) {
        switch (a.kind) {
        case Action::Kind::Open:
            open(a.baud);
            break;
        case Action::Kind::Close:
            m_port.close();
            break;
        case Action::Kind::SetBaud:
            m_port.setBaudRate(a.baud);
            break;
        case Action::Kind::Write:
            m_port.write(a.bytes);
            break;
        case Action::Kind::Notify:
            emit noted(this, a.note);
            break;
        case Action::Kind::Finish:
            m_durationMs = m_clock.elapsed();
            m_port.release();
            break;
        }
    }
    rearm();
}

void SessionDriver::rearm()
{
    const qint64 at = m_machine.nextAlarmUs();
    if (at < 0)
        m_alarm.stop();
    else
        m_alarm.startIn(at - nowUs());
}

void SessionDriver::open(qint32 baud)
{
    const PortOpening opening = m_port.open(m_portName, baud);
    // The open is answered on the next turn of the loop, as if the port had signalled it, so
    // that the machine is never re-entered from inside its own actions.
    QTimer::singleShot(0, this, [this, opening] {
        run(m_machine.opened(nowUs(), opening.opened(), opening.error));
    });
}

void SessionDriver::done()
{
    if (m_done)
        return;
    m_done = true;
    m_alarm.stop();
    emit finished(this);
}

} // namespace flash
