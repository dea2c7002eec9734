#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class DeviceSimulator;
class QSocketNotifier;

// One line for the simulated device: "plug", "unplug", "swap SERIAL", "power off", "power on".
// Words in any case, spaces around them and a CR at the end are ignored; blank lines and lines
// starting with '#' do nothing. A serial number is 1 to 64 printable ASCII characters.
struct PlugCommand
{
    enum Kind { Nothing, Invalid, Plug, Unplug, Swap, PowerOff, PowerOn };
    Kind kind = Invalid;
    QByteArray serial; // Swap
};

PlugCommand parsePlugCommand(const QByteArray &line);
// False when the port could not be made (the device's errorString() says why) or the command
// is invalid.
bool applyPlugCommand(DeviceSimulator &device, const PlugCommand &command);

// Reads command lines from a descriptor (the standalone simulator's standard input) in the event
// loop and applies them to the device. The descriptor is left blocking (it may be the shell's
// terminal): one read per readiness, which poll() guarantees will not block.
class PlugCommandReader : public QObject
{
    Q_OBJECT

public:
    PlugCommandReader(int fd, DeviceSimulator *device, QObject *parent = nullptr);

signals:
    void applied(const QByteArray &line);
    void refused(const QByteArray &line, const QString &why);
    // End of input, or input that cannot be read (a background job on a terminal): no more
    // commands, the device goes on.
    void closed(const QString &why);

private:
    void onReadable();
    void handleLine(const QByteArray &line);

    int m_fd;
    DeviceSimulator *m_device;
    QSocketNotifier *m_notifier;
    QByteArray m_pending;
    bool m_overlong = false;
};

// A seeded random plug pattern for benchmarks: `count` units arrive one after another on the
// device's port (link included), unit k (from 1) with serial number "<serial>-<k>" and the
// device's other settings. Each arrival comes after a wait drawn evenly from [minMs, maxMs],
// counted from start() for the first unit and from the previous unit's removal for the others.
// A unit stays until it is removed: unplug() by the caller (an "unplug" command), or, with a hold
// time, by itself that long after it has been updated (its restart over, or the end of the
// transfer when it does not restart). The same seed gives the same waits everywhere.
class PlugPattern : public QObject
{
    Q_OBJECT

public:
    struct Plan
    {
        quint32 seed = 0;
        int count = 0;
        int minMs = 0;
        int maxMs = 0;
    };

    // "SEED:COUNT:MINMS:MAXMS"; false if malformed (count >= 1, 0 <= MINMS <= MAXMS <= 1 day).
    static bool parsePlan(const QString &text, Plan *plan);
    static QList<int> waits(const Plan &plan);
    static QByteArray unitSerial(const QByteArray &serial, int unit);

    PlugPattern(DeviceSimulator *device, const Plan &plan, const QByteArray &serial,
                QObject *parent = nullptr);
    // < 0 (the default): only the caller removes units.
    void setHoldMs(int ms) { m_holdMs = ms; }
    // Unplugs the device if it is plugged, then waits for the first arrival.
    void start();
    int currentUnit() const { return m_unit; }
    bool isFinished() const { return m_finished; }

signals:
    void waiting(int unit, int ms);
    void unitArrived(int unit, const QByteArray &serial);
    // `transfers`: the transfers the unit took while it was there (more than one: updated twice).
    void unitRemoved(int unit, int transfers);
    void plugFailed(int unit, const QString &why);
    void finished();

private:
    void scheduleNext();
    void arrive();
    void onTransferFinished();
    void onUpdated();
    void onUnplugged();

    DeviceSimulator *m_device;
    Plan m_plan;
    QByteArray m_serial;
    QList<int> m_waits;
    int m_holdMs = -1;
    int m_unit = 0;
    bool m_present = false;
    int m_transfers = 0;
    bool m_finished = false;
    QTimer m_arrivalTimer;
    QTimer m_holdTimer;
};
