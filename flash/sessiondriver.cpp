#include "sessiondriver.h"

#include "portpath.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace flash {

namespace {

// Bounds the wait for queued bytes to leave before the port is closed: a frame takes 138 ms at
// 9600, so this only trips on a line that no longer drains at all.
constexpr int kDrainLimitMs = 2000;
// While the port is closed for a restart, the lock is looked at this often: a device that
// re-enumerates must find its old number free again, well before it is back.
constexpr int kLockWatchMs = 50;

// A hung-up line reads as end of file, and QSerialPort then names whatever errno was left over
// ("Unknown error", "Inappropriate ioctl for device"); an unplugged adapter fails with EIO.
bool lineHungUp(QSerialPort &port, QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::ResourceError)
        return true;
#ifdef Q_OS_UNIX
    if (error == QSerialPort::ReadError || error == QSerialPort::WriteError) {
        pollfd p{};
        p.fd = int(port.handle());
        p.events = POLLIN;
        return p.fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    }
#else
    Q_UNUSED(port)
#endif
    return false;
}

} // namespace

QString portErrorText(QSerialPort &port, QSerialPort::SerialPortError error)
{
    return lineHungUp(port, error)
               ? QStringLiteral("the line was hung up: adapter unplugged or device reset")
               : port.errorString();
}

SessionDriver::SessionDriver(const QString &portName, const SessionConfig &config, QObject *parent)
    : QObject(parent), m_portName(portName), m_machine(config)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SessionDriver::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SessionDriver::onError);
    connect(&m_alarm, &Alarm::fired, this, [this] { run(m_machine.alarm(nowUs())); });
    connect(&m_port, &QSerialPort::bytesWritten, this, [this] {
        if (m_finishing && m_port.bytesToWrite() == 0)
            done();
    });
    m_drainLimit.setSingleShot(true);
    connect(&m_drainLimit, &QTimer::timeout, this, &SessionDriver::done);
    m_lockWatch.setInterval(kLockWatchMs);
    connect(&m_lockWatch, &QTimer::timeout, this, [this] {
        if (m_lock.lineHungUp()) {
            m_lock.release();
            m_lockWatch.stop();
        }
    });
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
            closePort();
            break;
        case Action::Kind::SetBaud:
            m_port.setBaudRate(a.baud, QSerialPort::AllDirections);
            break;
        case Action::Kind::Write:
            if (m_port.isOpen())
                m_port.write(a.bytes);
            break;
        case Action::Kind::Notify:
            emit noted(this, a.note);
            break;
        case Action::Kind::Finish:
            m_durationMs = m_clock.elapsed();
            closeWhenWritten();
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
    // The lock comes first: QSerialPort sets the line's rate as it opens, and a port that another
    // program uses must not see even that. It stays held across --verify's close and reopen.
    m_lockWatch.stop();
    const ports::LockOutcome lock = m_lock.acquire(m_portName);
    QString error = lock.error;
    bool ok = lock.locked();
    if (ok) {
        m_port.setPortName(m_portName);
        m_port.setBaudRate(baud, QSerialPort::AllDirections);
        // A failed open reports its error through the same signal; it is answered below instead.
        m_opening = true;
        ok = m_port.open(QIODevice::ReadWrite);
        m_opening = false;
        if (!ok)
            error = m_port.errorString();
        else
            lowerAdapterLatency();
    }
    // The open is answered on the next turn of the loop, as if the port had signalled it, so
    // that the machine is never re-entered from inside its own actions.
    QTimer::singleShot(0, this, [this, ok, error] { run(m_machine.opened(nowUs(), ok, error)); });
}

void SessionDriver::onReadyRead()
{
    const QByteArray bytes = m_port.readAll();
    if (!bytes.isEmpty())
        run(m_machine.bytesArrived(nowUs(), bytes));
}

void SessionDriver::onError(QSerialPort::SerialPortError error)
{
    if (m_opening || error == QSerialPort::NoError || error == QSerialPort::NotOpenError ||
        error == QSerialPort::TimeoutError)
        return;
    const QString text = portErrorText(m_port, error);
    // A hung-up line repeats its read error until the port is closed.
    closePort();
    run(m_machine.portError(nowUs(), text));
}

void SessionDriver::closeWhenWritten()
{
    // A frame is never cut off: whatever was handed to the port leaves before it closes.
    m_finishing = true;
    if (!m_port.isOpen() || m_port.bytesToWrite() == 0) {
        done();
        return;
    }
    m_drainLimit.start(kDrainLimitMs);
}

// Answers come at once, whatever the adapter's timer was; the bytes and waits stay the same.
void SessionDriver::lowerAdapterLatency()
{
    m_latency.lower(ports::systemPath(m_portName), ports::descriptorOf(m_port));
    if (m_latency.refusal() != ports::LatencyRefusal::None)
        emit adapterLatencyKept(this);
}

void SessionDriver::closePort()
{
    m_latency.restore(ports::descriptorOf(m_port));
    if (m_port.isOpen())
        m_port.close();
    if (m_lock.isHeld() && !m_done)
        m_lockWatch.start();
}

void SessionDriver::done()
{
    if (m_done)
        return;
    m_done = true;
    m_drainLimit.stop();
    m_alarm.stop();
    closePort();
    m_lockWatch.stop();
    m_lock.release();
    emit finished(this);
}

} // namespace flash
