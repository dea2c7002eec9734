#pragma once

#include "recordwriter.h"
#include "session.h"
#include "timing.h"

#include <QJsonObject>
#include <QString>

namespace flash {

// What the printers know of the run besides its sessions.
struct RunFacts
{
    qint32 baud = protocol::kFastBaud;
    int paceMs = timing::kReplyPollMs;
    qint64 payloadBytes = 0; // the image without its name field
};

// A live line or the board is redrawn at most five times a second (the progress moves on without
// events); JSON progress events keep the same pace; plain lines report a transfer in steps of 10
// percent.
constexpr int kRedrawMs = 200;
constexpr qint64 kProgressEventUs = kRedrawMs * 1000;
constexpr int kPlainStepPercent = 10;

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

Progress progressOf(const SessionMachine &machine, qint64 nowUs, const RunFacts &facts);
// "43% 55/128 frames, 11.2 KiB/s, 0:03 left", resends added when there are any.
QString progressText(const Progress &progress);

// The identity as one line of text.
QString describeIdentity(const DeviceIdentity &id);
// What the session is doing in words: "connecting", "sending", "waiting for the restart"...
QString activityText(const SessionMachine &machine);
// "NAME: result (status): message", then the identity the device gave at the start and, once
// verified, the one it gave after the restart, each where it told anything.
QString verdictLine(const QString &name, const SessionMachine &machine);

QJsonObject identityFields(const DeviceIdentity &id);
QJsonObject progressFields(const Progress &progress);
// The result event of an attempt.
QJsonObject resultFields(const SessionMachine &machine, qint64 durationMs);
// One JSON event on standard output, with its time and, where given, the port; a station's
// events name the slot as their port too.
enum class EventSource { Port, Slot };
void writeEvent(const QString &name, QJsonObject fields, const QString &port = QString(),
                EventSource source = EventSource::Port);

// The plain line of each note of one attempt, in runs and stations alike; a transfer in steps of
// kPlainStepPercent. A station's lines leave out the rate and the time left.
class PlainNotes
{
public:
    enum class Detail { Full, Brief };
    PlainNotes(const RunFacts &facts, Detail detail) : m_facts(facts), m_detail(detail) {}
    // Empty when the note shows nothing new (a step already printed).
    QString line(Note note, const SessionMachine &machine, qint64 nowUs);
    // A new attempt, or a new state of its slot: the steps count again.
    void restart() { m_step = -1; }

private:
    RunFacts m_facts;
    Detail m_detail;
    int m_step = -1;
};

// The JSON event of each note of one attempt, in runs and stations alike; progress at most every
// kProgressEventUs, and always the last frame.
class JsonNotes
{
public:
    explicit JsonNotes(const RunFacts &facts) : m_facts(facts) {}
    // False when the note makes no event now.
    bool event(Note note, const SessionMachine &machine, qint64 nowUs, QString *name,
               QJsonObject *fields);

private:
    RunFacts m_facts;
    qint64 m_lastProgressUs = -1;
};

// The record's recordWaiting or recordWritten event, once per change between the two.
class RecordEvents
{
public:
    // The event's name and fields, or an empty name when nothing changed.
    QString next(const RecordStatus &status, QJsonObject *fields);

private:
    bool m_waiting = false;
};

} // namespace flash
