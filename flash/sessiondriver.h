#pragma once

#include "alarm.h"
#include "lockedport.h"
#include "session.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>

namespace flash {

// Wires one locked port and one alarm to a SessionMachine: the port's signals and the alarm become
// the machine's events, its actions become port calls. Everything runs in the caller's event loop.
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
    // The clock the machine's times are on, started by start().
    const QElapsedTimer &clock() const { return m_clock; }
    // The adapter's latency timer as the port was last opened with it.
    const ports::AdapterLatency &adapterLatency() const { return m_port.adapterLatency(); }

signals:
    void noted(flash::SessionDriver *driver, flash::Note note);
    void finished(flash::SessionDriver *driver);
    // The port opened, but its adapter's latency timer could not be lowered.
    void adapterLatencyKept(flash::SessionDriver *driver);

private:
    void run(const QVector<Action> &actions);
    void rearm();
    void open(qint32 baud);
    void done();

    QString m_portName;
    SessionMachine m_machine;
    // Locked from the first open to the end of the attempt, also across --verify's restart.
    LockedPort m_port;
    Alarm m_alarm;
    QElapsedTimer m_clock;
    QDateTime m_startedAt;
    qint64 m_durationMs = 0;
    bool m_done = false;
};

} // namespace flash
