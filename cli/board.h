#pragma once

#include "printers.h"
#include "quota.h"
#include "recordwriter.h"
#include "slot.h"
#include "stationtally.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

namespace flash {

// One slot of a station as the printers see it: its name, its controller (the state, the verdict,
// the attempt), and the station's clock the controller's times are on.
struct SlotView
{
    QString name;
    const SlotController *controller = nullptr;
    const QElapsedTimer *clock = nullptr;

    qint64 nowUs() const { return clock->nsecsElapsed() / 1000; }
};

struct StationSummary
{
    int status = 0;
    bool interrupted = false;
    qint64 elapsedMs = 0;
};

// A job's station: what its board's header shows.
struct JobFacts
{
    QString station;
    QString name;
    QString file;
    QString fileSha256;
    QString image; // the file name
    QString expectVersion;
    QString imageSha256;
    QString record;
    const JobQuota *quota = nullptr; // passed / quantity
};

// The header's lines: station and job, the job file, the image, the count and the record.
QStringList jobHeaderLines(const JobFacts &job);

// Shows the station: a board redrawn in place on a terminal, time-stamped lines otherwise, or one
// JSON object per event. Slots are given once, in command-line order, and outlive the printer.
class StationPrinter : public RecordSink
{
public:
    virtual ~StationPrinter() = default;
    virtual void slotChanged(const SlotView &slot) = 0;
    virtual void noted(const SlotView &slot, Note note) = 0;
    virtual void recorded(const SlotView &slot) = 0;
    virtual void stationFinished(const StationSummary &summary) = 0;

    enum class JobNotice {
        ImageChanged, // the image file on disk no longer matches the pinned one (told once)
        Complete,     // the quantity is reached: "job complete: N of N"
    };
    virtual void jobNotice(JobNotice kind, const QString &text) = 0;
};

// PrinterStyle::Board (or Live) for the terminal board, Plain, Json.
std::unique_ptr<StationPrinter> makeStationPrinter(PrinterStyle style, const RunFacts &facts,
                                                   const QVector<SlotView> &slotViews,
                                                   const StationTally &tally,
                                                   const JobFacts *job = nullptr);

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

} // namespace flash
