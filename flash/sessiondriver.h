#pragma once

#include "adapterlatency.h"
#include "alarm.h"
#include "portlock.h"
#include "session.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTimer>

namespace flash {

// The port's error in words; a hung-up line is named as such whatever errno QSerialPort kept.
QString portErrorText(QSerialPort &port, QSerialPort::SerialPortError error);

// Wires one port and one alarm to a SessionMachine: the port's signals and the alarm become the
// machine's events, its actions become port calls. Everything runs in the caller's event loop.
class SessionDriver : public QObject
{
    Q_OBJECT

public:
    SessionDriver(const QString &portName, const SessionConfig &config, QObject *parent = nullptr);

    void start();
    // Stops at the next frame boundary; finished() follows.
    void cancel();

    QString portName() const { return m_portName; }
    const SessionMachine &machine() const { return m_machine; }
    bool isFinished() const { return m_done; }
    QDateTime startedAt() const { return m_startedAt; }
    // From start() to the end of the attempt (before the port was drained and closed).
    qint64 durationMs() const { return m_durationMs; }
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }
    // The adapter's latency timer as the port was last opened with it.
    const ports::AdapterLatency &adapterLatency() const { return m_latency; }

signals:
    void noted(flash::SessionDriver *driver, flash::Note note);
    void finished(flash::SessionDriver *driver);
    // The port opened, but its adapter's latency timer could not be lowered.
    void adapterLatencyKept(flash::SessionDriver *driver);

private:
    void run(const QVector<Action> &actions);
    void rearm();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void open(qint32 baud);
    void lowerAdapterLatency();
    void closeWhenWritten();
    void closePort();
    void done();

    QString m_portName;
    SessionMachine m_machine;
    // From the first open to the end of the attempt; declared first so it outlives the port.
    ports::PortLock m_lock;
    QSerialPort m_port;
    ports::AdapterLatency m_latency; // lowered while the port is open
    Alarm m_alarm;
    QTimer m_drainLimit;
    QTimer m_lockWatch; // while the port is closed and the lock held
    QElapsedTimer m_clock;
    QDateTime m_startedAt;
    qint64 m_durationMs = 0;
    bool m_opening = false;
    bool m_finishing = false;
    bool m_done = false;
};

} // namespace flash
