#pragma once

#include "alarm.h"
#include "lockedport.h"
#include "slot.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

namespace flash {

// One slot of a station on a real port: the path's existence polled every kSlotPathPollMs (one
// stat, no busy polling), the port locked before it opens, the alarm armed at nextAlarmUs() and
// the controller's actions applied. Everything runs in the caller's event loop.
class SlotDriver : public QObject
{
    Q_OBJECT

public:
    SlotDriver(const QString &slot, const SessionConfig &config, const QElapsedTimer &clock,
               QObject *parent = nullptr);

    // The station's slots in command-line order, this one among them: a port that another of
    // them holds is "the same port as slot N", not another program's.
    void setStation(const QVector<const SlotDriver *> &station) { m_station = station; }
    // A job's station: see SlotController::setQuota(). Before start().
    void setQuota(JobQuota *quota, int slot) { m_controller.setQuota(quota, slot); }
    // The quota's generation may have moved: a slot waiting for a place asks again.
    void quotaMoved();
    void start();
    void cancel();
    void stopTakingDevices();
    // Nothing runs, the port is closed and its lock released: the station may end.
    bool isDone() const { return m_controller.idle() && m_port.isIdle(); }

    QString name() const { return m_name; }
    const SlotController &controller() const { return m_controller; }
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }
    // The station's clock, which the controller's times are on.
    const QElapsedTimer &clock() const { return m_clock; }
    // The adapter's USB serial found when the port was last opened.
    QString adapterSerial() const { return m_adapterSerial; }
    // The device node the slot's name led to when the device arrived (a by-path link resolved).
    QString slotPath() const { return m_slotPath; }
    // The adapter's latency timer as the port was last opened with it.
    const ports::AdapterLatency &adapterLatency() const { return m_port.adapterLatency(); }

signals:
    void stateChanged(flash::SlotDriver *slot);
    void noted(flash::SlotDriver *slot, flash::Note note);
    void recorded(flash::SlotDriver *slot);
    void settled(flash::SlotDriver *slot); // after every batch of actions
    // The port opened, but its adapter's latency timer could not be lowered.
    void adapterLatencyKept(flash::SlotDriver *slot);

private:
    void run(const QVector<SlotAction> &actions);
    void apply(const SlotAction &action);
    void pollPath();
    void open(qint32 baud);
    int samePortSlot() const;

    QString m_name;
    SlotController m_controller;
    const QElapsedTimer &m_clock;
    LockedPort m_port;
    Alarm m_alarm;
    QTimer m_pathPoll;
    QString m_adapterSerial;
    QString m_slotPath;
    QVector<const SlotDriver *> m_station;
    bool m_pathPresent = false;
};

} // namespace flash
