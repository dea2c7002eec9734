#pragma once

#include "recordwriter.h"
#include "session.h"

#include <QJsonObject>
#include <QString>

#include <memory>

namespace flash {

class SessionDriver;

// What the printers know of the run besides its sessions.
struct RunFacts
{
    qint32 baud = protocol::kFastBaud;
    int paceMs = timing::kReplyPollMs;
    qint64 payloadBytes = 0; // the image without its name field
};

// A session's transfer as every printer shows it.
struct Progress
{
    int frames = 0;
    int totalFrames = 0;
    int resends = 0;
    int percent = 0;
    double bytesPerSecond = 0;
    double secondsLeft = 0; // from the pace and the line rate, end included
};

Progress progressOf(const SessionDriver &driver, const RunFacts &facts);
Progress progressOf(const SessionMachine &machine, qint64 nowUs, const RunFacts &facts);

// The identity as one line of text.
QString describeIdentity(const DeviceIdentity &id);

// Shared by every printer, the station's too. A live line or the board is redrawn at most five
// times a second (the progress moves on without events); JSON progress events keep the same
// pace; plain lines report a transfer in steps of 10 percent.
constexpr int kRedrawMs = 200;
constexpr qint64 kProgressEventUs = kRedrawMs * 1000;
constexpr int kPlainStepPercent = 10;
int terminalWidth();
// Whether a terminal can take the cursor movement of a live display (a dumb one cannot).
bool terminalCanRedraw(bool isTerminal, const QByteArray &term);
// Colour on such a terminal, unless NO_COLOR is set (to anything but "").
bool colourWanted(bool isTerminal, const QByteArray &term, const QByteArray &noColour);
void writeOut(const QByteArray &bytes); // standard output, flushed
QString nowText();                      // the time every printed line starts with
void printStamped(const QString &text); // one plain line, after the time
QJsonObject identityFields(const DeviceIdentity &id);
QJsonObject progressFields(const Progress &progress);
// The result event of an attempt, without its duration.
QJsonObject resultFields(const SessionMachine &machine);
// The record's recordWaiting or recordWritten event, once per change between the two.
class RecordEvents
{
public:
    // The event's name and fields, or an empty name when nothing changed.
    QString next(const RecordStatus &status, QJsonObject *fields);

private:
    bool m_waiting = false;
};

// "PORT: result (status): message", then the identity the device gave at the start and, once
// verified, the one it gave after the restart, each where it told anything.
QString verdictLine(const SessionDriver &driver);

struct RunSummary
{
    int status = 0;
    bool interrupted = false;
    int devices = 0;
    int succeeded = 0;
};

// Tells the user what every session is doing, one printer per output style. Sessions are added
// before their first note; a port may see several sessions one after the other. After finished()
// a printer no longer touches the session, so it may be deleted.
class Printer : public RecordSink
{
public:
    virtual ~Printer() = default;
    virtual void added(const SessionDriver &driver) = 0;
    virtual void noted(const SessionDriver &driver, Note note) = 0;
    virtual void finished(const SessionDriver &driver) = 0;
    virtual void runFinished(const RunSummary &summary) = 0;
};

// Live: one line per session on a terminal, redrawn in place. Plain: time-stamped lines. Json: one
// object per event and nothing else on standard output. Board: a station's slots on a terminal
// (makeStationPrinter in board.h; here it prints as Live).
enum class PrinterStyle { Live, Plain, Json, Board };

// Json when asked; Live (or Board for a station) on a terminal that can redraw; Plain otherwise.
PrinterStyle printerStyle(bool json, bool station, bool isTerminal, const QByteArray &term);
// The same for this process: its standard output and TERM.
PrinterStyle printerStyle(bool json, bool station);

std::unique_ptr<Printer> makePrinter(PrinterStyle style, const RunFacts &facts);

} // namespace flash
