#include "slotdriver.h"

#include "portpath.h"
#include "serialports.h"
#include "timing.h"

#include <QFileInfo>

namespace flash {

namespace {

bool pathExists(const QString &slot)
{
    // One stat(); a dangling link (the by-id name of an unplugged adapter) counts as absent.
    return QFileInfo::exists(ports::systemPath(slot));
}

} // namespace

SlotDriver::SlotDriver(const QString &slot, const SessionConfig &config, const QElapsedTimer &clock,
                       QObject *parent)
    : QObject(parent), m_name(slot), m_controller(config), m_clock(clock)
{
    connect(&m_port, &LockedPort::bytesArrived, this,
            [this](const QByteArray &bytes) { run(m_controller.bytesArrived(nowUs(), bytes)); });
    connect(&m_port, &LockedPort::failed, this,
            [this](const QString &text) { run(m_controller.portError(nowUs(), text)); });
    connect(&m_port, &LockedPort::released, this, [this] { emit settled(this); });
    connect(&m_port, &LockedPort::adapterLatencyKept, this,
            [this] { emit adapterLatencyKept(this); });
    connect(&m_alarm, &Alarm::fired, this, [this] { run(m_controller.alarm(nowUs())); });
    m_pathPoll.setInterval(timing::kSlotPathPollMs);
    connect(&m_pathPoll, &QTimer::timeout, this, &SlotDriver::pollPath);
}

void SlotDriver::start()
{
    m_pathPresent = pathExists(m_name);
    m_pathPoll.start();
    emit stateChanged(this);
    run(m_controller.start(nowUs(), m_pathPresent));
}

void SlotDriver::cancel()
{
    run(m_controller.cancel(nowUs()));
}

void SlotDriver::stopTakingDevices()
{
    run(m_controller.stopTakingDevices(nowUs()));
}

void SlotDriver::pollPath()
{
    const bool present = pathExists(m_name);
    if (present == m_pathPresent)
        return;
    m_pathPresent = present;
    run(present ? m_controller.pathAppeared(nowUs()) : m_controller.pathVanished(nowUs()));
}

void SlotDriver::run(const QVector<SlotAction> &actions)
{
    // The controller has already moved on when its actions are applied: its state is told once,
    // after the notes and the record of the same batch, so that a verdict follows its attempt.
    bool changed = false;
    for (const SlotAction &a : actions) {
        if (a.kind == SlotAction::Kind::StateChanged)
            changed = true;
        else
            apply(a);
    }
    if (changed)
        emit stateChanged(this);
    const qint64 at = m_controller.nextAlarmUs();
    if (at < 0)
        m_alarm.stop();
    else
        m_alarm.startIn(at - nowUs());
    emit settled(this);
}

void SlotDriver::apply(const SlotAction &a)
{
    switch (a.kind) {
    case SlotAction::Kind::Open:
        open(a.baud);
        break;
    case SlotAction::Kind::Close:
        m_port.close();
        break;
    case SlotAction::Kind::Release:
        m_port.release();
        break;
    case SlotAction::Kind::SetBaud:
        m_port.setBaudRate(a.baud);
        break;
    case SlotAction::Kind::Write:
        m_port.write(a.bytes);
        break;
    case SlotAction::Kind::Note:
        emit noted(this, a.note);
        break;
    case SlotAction::Kind::Record:
        emit recorded(this);
        break;
    case SlotAction::Kind::StateChanged:
        break; // told by run()
    }
}

void SlotDriver::open(qint32 baud)
{
    OpenResult result = OpenResult::SamePort;
    QString error;
    // Before the lock: the other slot's lock would otherwise read as another program's.
    if (const int samePort = samePortSlot(); samePort > 0) {
        error = QStringLiteral("same port as slot %1").arg(samePort);
    } else {
        const PortOpening opening = m_port.open(m_name, baud);
        error = opening.error;
        result = opening.opened()                           ? OpenResult::Opened
                 : opening.kind == PortOpening::Kind::InUse ? OpenResult::InUse
                                                            : OpenResult::Failed;
        if (opening.opened())
            m_adapterSerial = ports::adapterSerialOf(m_name, QSerialPortInfo::availablePorts());
        // A restart may re-enumerate the adapter; the record keeps where the device arrived.
        if (opening.opened() && !m_controller.attemptRunning())
            m_slotPath = QFileInfo(ports::systemPath(m_name)).canonicalFilePath();
    }
    // Answered on the next turn of the loop, so the controller is never re-entered from inside
    // its own actions.
    QTimer::singleShot(0, this,
                       [this, result, error] { run(m_controller.opened(nowUs(), result, error)); });
}

void SlotDriver::quotaMoved()
{
    run(m_controller.quotaMoved(nowUs()));
}

// 1-based, as the slots are given; 0 when no other slot holds this port.
int SlotDriver::samePortSlot() const
{
    for (int i = 0; i < m_station.size(); ++i) {
        if (m_station.at(i) != this && m_station.at(i)->m_port.holds(m_name))
            return i + 1;
    }
    return 0;
}

} // namespace flash
