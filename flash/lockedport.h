#pragma once

#include "adapterlatency.h"
#include "portlock.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

namespace flash {

// The port's error in words; a hung-up line is named as such whatever errno QSerialPort kept.
QString portErrorText(QSerialPort &port, QSerialPort::SerialPortError error);

// How an open ended.
struct PortOpening
{
    enum class Kind { Opened, InUse, Failed };
    Kind kind = Kind::Opened;
    QString error; // in words when not opened

    bool opened() const { return kind == Kind::Opened; }
};

// One port of the line program: opened under its lock with the adapter's latency lowered, closed
// with the lock kept while a device restarts, drained and released at the end with the latency
// restored. The session driver and a station's slot driver both drive their port through it.
// Everything runs in the caller's event loop.
class LockedPort : public QObject
{
    Q_OBJECT

public:
    explicit LockedPort(QObject *parent = nullptr);

    // The lock first (kept while it still holds the node `name` reaches), then the rate, then the
    // open: QSerialPort sets the rate as it opens, and a port that another program uses must not
    // see even that. A release still draining is finished first.
    PortOpening open(const QString &name, qint32 baud);
    void setBaudRate(qint32 baud);
    void write(const QByteArray &bytes); // nothing while closed
    // Closed, the lock kept (a device restarting); the lock goes by itself if the line hangs up.
    void close();
    // What was handed to the port leaves first (at most timing::kDrainLimitMs), then the port
    // closes and the lock goes; released() follows, at once when nothing is queued.
    void release();

    bool isOpen() const { return m_port.isOpen(); }
    // Closed, not locked, not draining: nothing is held.
    bool isIdle() const { return !m_port.isOpen() && !m_lock.isHeld() && !m_releasing; }
    // The lock is held on the node `name` reaches now.
    bool holds(const QString &name) const { return m_lock.holds(name); }
    // The adapter's latency timer as the port was last opened with it.
    const ports::AdapterLatency &adapterLatency() const { return m_latency; }

signals:
    void bytesArrived(const QByteArray &bytes);
    // The port failed (hung up, unplugged, an I/O error): it is closed already, the lock kept.
    void failed(const QString &text);
    void released();
    // The port opened, but its adapter's latency timer could not be lowered.
    void adapterLatencyKept();

private:
    void onError(QSerialPort::SerialPortError error);
    void closeSerial();
    void finishRelease();

    // Declared before the port so that it outlives it.
    ports::PortLock m_lock;
    QSerialPort m_port;
    ports::AdapterLatency m_latency; // lowered while the port is open
    QTimer m_drainLimit;
    QTimer m_lockWatch; // while the port is closed and the lock held
    bool m_opening = false;
    bool m_releasing = false;
};

} // namespace flash
