#include "lockedport.h"

#include "portpath.h"
#include "timing.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace flash {

namespace {

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

LockedPort::LockedPort(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, [this] {
        const QByteArray bytes = m_port.readAll();
        if (!bytes.isEmpty())
            emit bytesArrived(bytes);
    });
    connect(&m_port, &QSerialPort::errorOccurred, this, &LockedPort::onError);
    connect(&m_port, &QSerialPort::bytesWritten, this, [this] {
        if (m_releasing && m_port.bytesToWrite() == 0)
            finishRelease();
    });
    m_drainLimit.setSingleShot(true);
    connect(&m_drainLimit, &QTimer::timeout, this, &LockedPort::finishRelease);
    m_lockWatch.setInterval(timing::kLockWatchMs);
    connect(&m_lockWatch, &QTimer::timeout, this, [this] {
        if (m_lock.lineHungUp()) {
            m_lock.release();
            m_lockWatch.stop();
        }
    });
}

PortOpening LockedPort::open(const QString &name, qint32 baud)
{
    if (m_releasing)
        finishRelease();
    m_lockWatch.stop();
    const ports::LockOutcome lock = m_lock.acquire(name);
    if (!lock.locked())
        return {lock.kind == ports::LockOutcome::Kind::InUse ? PortOpening::Kind::InUse
                                                             : PortOpening::Kind::Failed,
                lock.error};
    closeSerial();
    m_port.setPortName(name);
    m_port.setBaudRate(baud, QSerialPort::AllDirections);
    // A failed open reports its error through the signal too; the caller is answered instead.
    m_opening = true;
    const bool ok = m_port.open(QIODevice::ReadWrite);
    m_opening = false;
    if (!ok)
        return {PortOpening::Kind::Failed, m_port.errorString()};
    // Answers come at once, whatever the adapter's timer was; the bytes and waits stay the same.
    m_latency.lower(ports::systemPath(name), ports::descriptorOf(m_port));
    if (m_latency.refusal() != ports::LatencyRefusal::None)
        emit adapterLatencyKept();
    return {};
}

void LockedPort::setBaudRate(qint32 baud)
{
    m_port.setBaudRate(baud, QSerialPort::AllDirections);
}

void LockedPort::write(const QByteArray &bytes)
{
    if (m_port.isOpen())
        m_port.write(bytes);
}

void LockedPort::close()
{
    closeSerial();
    if (m_lock.isHeld())
        m_lockWatch.start();
}

void LockedPort::release()
{
    m_lockWatch.stop();
    if (!m_port.isOpen() || m_port.bytesToWrite() == 0) {
        finishRelease();
        return;
    }
    // A frame is never cut off: whatever was handed to the port leaves before it closes.
    m_releasing = true;
    m_drainLimit.start(timing::kDrainLimitMs);
}

void LockedPort::finishRelease()
{
    m_releasing = false;
    m_drainLimit.stop();
    m_lockWatch.stop();
    closeSerial();
    m_lock.release();
    emit released();
}

// The adapter's latency timer goes back as it was before the port is let go.
void LockedPort::closeSerial()
{
    m_latency.restore(ports::descriptorOf(m_port));
    if (m_port.isOpen())
        m_port.close();
}

void LockedPort::onError(QSerialPort::SerialPortError error)
{
    if (m_opening || error == QSerialPort::NoError || error == QSerialPort::NotOpenError ||
        error == QSerialPort::TimeoutError)
        return;
    const QString text = portErrorText(m_port, error);
    // A hung-up line repeats its read error until the port is closed.
    close();
    emit failed(text);
}

} // namespace flash
