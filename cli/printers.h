#pragma once

#include "attemptnotes.h"
#include "recordwriter.h"
#include "session.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <memory>

namespace flash {

// One device of a run as the printers see it: its port, the machine that runs its attempt, and
// the clock the machine's times are on.
struct DeviceView
{
    QString port;
    const SessionMachine *machine = nullptr;
    const QElapsedTimer *clock = nullptr;

    qint64 nowUs() const { return clock->nsecsElapsed() / 1000; }
};

struct RunSummary
{
    int status = 0;
    bool interrupted = false;
    int devices = 0;
    int succeeded = 0;
};

// Tells the user what every device of a run is doing, one printer per output style. Devices are
// added before their first note. After finished() a printer no longer reads the device's machine.
class Printer : public RecordSink
{
public:
    virtual ~Printer() = default;
    virtual void added(const DeviceView &device) = 0;
    virtual void noted(const DeviceView &device, Note note) = 0;
    virtual void finished(const DeviceView &device, qint64 durationMs) = 0;
    virtual void runFinished(const RunSummary &summary) = 0;
};

// Live: one line per device on a terminal, redrawn in place. Plain: time-stamped lines. Json: one
// object per event and nothing else on standard output. Board: a station's slots on a terminal
// (makeStationPrinter in board.h; here it prints as Live).
enum class PrinterStyle { Live, Plain, Json, Board };

// Json when asked; Live (or Board for a station) on a terminal that can redraw; Plain otherwise.
PrinterStyle printerStyle(bool json, bool station, bool isTerminal, const QByteArray &term);
// The same for this process: its standard output and TERM.
PrinterStyle printerStyle(bool json, bool station);

std::unique_ptr<Printer> makePrinter(PrinterStyle style, const RunFacts &facts);

} // namespace flash
