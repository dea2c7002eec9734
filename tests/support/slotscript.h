#pragma once

#include "sessionscript.h"
#include "slot.h"

#include <QStringList>
#include <QVector>

#include <memory>
#include <vector>

// Runs a SlotController on a virtual clock, as SessionScript runs one machine, through a plan
// such as "1000 plug; 20000 swap SN0002; 30000 off": at each time (ms) the port's path, the
// device on the line or a stop changes. Devices are ScriptedDevices, serial SN0001 unless named,
// then any of: "refuse" (every frame), "back-waiting" (its restart ends in the bootloader),
// "back-as:SERIAL" (reports that serial number after its restart), "fast-only" (hears only
// 115200). Verbs: plug/unplug (device and path), on/off/swap (device only; "on" alone powers the
// last device again, as it was), appear/vanish (path only; a hang-up first if the port is open),
// busy/free (another program holds the port), cancel, stop (takes no new devices).
class SlotScript
{
public:
    SlotScript(const flash::SessionConfig &config, bool pathAtStart, const QString &plan);

    void run(qint64 untilMs);
    // A job's slot: see SlotController::setQuota(). Before the first run().
    void setQuota(flash::JobQuota *quota, int slot) { m_slot.setQuota(quota, slot); }

    const flash::SlotController &slot() const { return m_slot; }
    qint64 nowUs() const { return m_nowUs; }

    QVector<Written> writes;
    QStringList records;                             // "result serial" of each Record
    QVector<QPair<qint64, flash::SlotState>> states; // each state taken, with when (ms)

    // Runs `fixture` side by side on one virtual clock sharing `quota`, in steps of `stepMs`,
    // telling each slot when the quota's generation moved, as the station does. `maxCommitted` is
    // the most passed + in progress seen after any step: never over the quantity.
    static void runTogether(const QVector<SlotScript *> &fixture, flash::JobQuota &quota,
                            qint64 untilMs, int *maxCommitted, qint64 stepMs = 1);

private:
    struct Pending
    {
        qint64 atUs;
        QByteArray bytes;
        QString verb; // with `bytes` the serial; empty: bytes from the device
    };

    void act(const QString &verb, const QByteArray &serial);
    void seat(const QString &verb, const QByteArray &args);
    void apply(const QVector<flash::SlotAction> &actions);
    void dropBytes();

    flash::SlotController m_slot;
    std::vector<std::unique_ptr<ScriptedDevice>> m_devices;
    SessionScript::Device m_device;
    qint64 m_nowUs = 0;
    bool m_path = true;
    bool m_inUse = false;
    bool m_open = false;
    qint32 m_baud = 0;
    QVector<Pending> m_pending;
};
