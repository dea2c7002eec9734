#pragma once

#include <QHash>
#include <QSet>
#include <QString>

namespace flash {

// Counting a job to its work order, shared by the slots of one station: a slot may start an
// update only while passed + updates in progress < quantity, so that the quantity is never
// passed over however many slots run at once; a device that already passed under the job is not
// updated again and does not count twice. Devices are told apart by serial number. Pure: no
// clock, no events; the station holds one and its slot controllers ask it.
class JobQuota
{
public:
    enum class Decision {
        Start,       // the place is the slot's: update the device
        AlreadyDone, // this serial number passed under the job: not again (a `skipped` line)
        Wait,        // no place now, or the same serial number is being updated in another slot:
                     // ask again when generation() moves ("waiting for a place")
        Complete,    // the quantity is reached: "job complete — remove device"
    };

    // `passed`: the serial numbers already passed under the job (its record, read at the start).
    // quantity 0: none given; never Wait for a place nor Complete, and a passed device is still
    // done.
    explicit JobQuota(int quantity, const QSet<QString> &passed = {}, int passesWithoutSerial = 0);

    // A device was identified in `slot`. `serial` is empty for a device waiting for firmware: it
    // takes a place, and counts only if it passes with a serial number after its restart. Asking
    // again while holding a place gives Start.
    Decision request(int slot, const QString &serial);
    // The slot's update ended. A pass counts its device once, by the serial number it was asked
    // with, else by `serialAfter` (reported after the restart); a pass with neither is counted
    // apart. A failure only frees the place. A slot holding no place changes nothing.
    void finished(int slot, bool passed, const QString &serialAfter);
    // The slot gives its place back without an update (cancelled, or lost while held at the
    // session's gate).
    void cancelled(int slot);

    int quantity() const { return m_quantity; }
    int passed() const { return m_passed.size(); }
    int inProgress() const { return m_places.size(); }
    int passesWithoutSerial() const { return m_withoutSerial; }
    bool alreadyPassed(const QString &serial) const;
    bool holdsPlace(int slot) const { return m_places.contains(slot); }
    // The quantity is reached: the station ends once inProgress() is 0.
    bool complete() const { return m_quantity > 0 && passed() >= m_quantity; }
    // Moves whenever a place is freed or a device passes: a slot told Wait asks again then.
    quint64 generation() const { return m_generation; }

private:
    int m_quantity = 0;
    QSet<QString> m_passed;
    int m_withoutSerial = 0;
    QHash<int, QString> m_places; // slot -> the serial number it asked with
    quint64 m_generation = 0;
};

} // namespace flash
