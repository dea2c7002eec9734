#pragma once

#include "printers.h"
#include "recordwriter.h"
#include "slot.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
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
class StationPrinter : public RecordSink
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

// How the board's rows fit a terminal `width` columns wide: every line stays narrower than it.
// One line per slot (name, state, counts) while the state keeps kMinStateColumns; narrower, two:
// the name, then the state and counts indented.
struct BoardLayout
{
    int columns = 0; // usable: the width less one, so that no terminal wraps early
    int nameColumns = 0;
    int countsColumns = 0;
    bool twoLines = false;
};

BoardLayout boardLayout(int width, int longestName, int countsColumns);
// A slot's lines: its name shortened from the left with "…" (the end of a by-path or by-id name
// tells slots apart), the state cut at the right with "…", the counts whole; `colourOn` and
// `colourOff` around the state.
QStringList boardRow(const BoardLayout &layout, const QString &name, const QString &state,
                     const QString &counts, const QByteArray &colourOn = QByteArray(),
                     const QByteArray &colourOff = QByteArray());
// `text` in at most `columns` characters: cut at the end (or the start) with "…".
QString fitEnd(const QString &text, int columns);
QString fitStart(const QString &text, int columns);

// The slot state as a JSON word: empty, identifying, updating, restarting, pass, skip, fail,
// inUse, samePort, cannotOpen, removeDevice.
QString slotStateJsonWord(SlotState state);

} // namespace flash
