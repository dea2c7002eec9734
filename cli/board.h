#pragma once

#include "printers.h"
#include "slot.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

namespace flash {

class SlotDriver;

// The station's counts for the board's footer and the summary.
struct StationTally
{
    int passed = 0;
    int failed = 0; // cancelled included
    int skipped = 0;
    int devices = 0;   // passed or failed: skipped devices are not updated
    int firstPass = 0; // devices whose first attempt passed
    QSet<QString> seenSerials;
    QHash<QString, QMap<QString, int>> results; // slot -> result name -> attempts

    void add(const QString &slot, const SessionMachine &attempt);
    int verdicts() const { return passed + failed + skipped; }
    // Percent, or -1 while no device was updated.
    int firstPassYield() const;
};

struct StationSummary
{
    int status = 0;
    bool interrupted = false;
    qint64 elapsedMs = 0;
};

// Shows the station: a board redrawn in place on a terminal, time-stamped lines otherwise, or one
// JSON object per event. Slots are given once and outlive the printer.
class StationPrinter
{
public:
    virtual ~StationPrinter() = default;
    virtual void slotChanged(const SlotDriver &slot) = 0;
    virtual void noted(const SlotDriver &slot, Note note) = 0;
    virtual void recorded(const SlotDriver &slot) = 0;
    virtual void stationFinished(const StationSummary &summary) = 0;
};

// PrinterStyle::Board (or Live) for the terminal board, Plain, Json.
std::unique_ptr<StationPrinter> makeStationPrinter(PrinterStyle style, const RunFacts &facts,
                                                   const QVector<const SlotDriver *> &slotDrivers,
                                                   const StationTally &tally);

// The slot state as a JSON word: empty, identifying, updating, restarting, pass, skip, fail,
// inUse, samePort, cannotOpen, removeDevice.
QString slotStateJsonWord(SlotState state);

} // namespace flash
