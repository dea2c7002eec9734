#pragma once

#include "exchange.h"
#include "protocol.h"
#include "results.h"
#include "timing.h"
#include "transfer.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace flash {

struct SessionConfig
{
    enum class Mode { Identify, Update };
    Mode mode = Mode::Update;
    qint32 baud = protocol::kFastBaud;
    int attempts = 1;                  // handshake attempts before "no answer"
    int paceMs = timing::kReplyPollMs; // poll grid of a frame's answer; 0: judged as read
    QByteArray image;                  // the whole image, name field included
    bool verify = false;               // after the confirmed end, reconnect and check the identity
    // Without verify: after the confirmed end, watch the restart as verify does, so that the
    // attempt says how the device came back (a station judges every visit by it). Leniently: no
    // answer, or none with an identity, within the deadline still passes, as the end was confirmed.
    bool watchRestart = false;
    QString expectVersion; // with verify: the version the device must report; empty: any
    QString skipIfVersion; // a device already at this version is not updated; empty: never
    // After the handshake, once the device is known and its product checked, and before any
    // byte of the update start, the machine holds (atGate()) until the caller says proceed(),
    // skip() or refuse(): a job's station first asks its quota whether this device may be
    // updated. Off: the update starts at once.
    bool gateAfterConnect = false;
};

// What the device told about itself, values trimmed. A field stays empty until a reply holds it.
struct DeviceIdentity
{
    QString product;
    QString serialNumber;
    QString version;
    bool productReceived = false;
    bool waitingForFirmware = false; // answered the cancel byte with a lone NAK
};

enum class Note {
    Connected,       // identity() holds what the handshake found
    TransferStarted, // framesTotal() known, nothing accepted yet
    FrameAccepted,
    Ending,     // every frame accepted; the pause before the end byte runs
    Restarting, // the end was confirmed; waiting for the device to come back
};

// Where the session stands, for anyone who reports it: Connect (opening the port, the
// handshake), Start (the update start), Transfer (the frames), End (the pause and the end byte),
// Verify (after a confirmed update: the restart pause, the reopening, the second handshake), Done.
enum class Phase { Connect, Start, Transfer, End, Verify, Done };

struct Action
{
    enum class Kind { Open, Close, SetBaud, Write, Notify, Finish };
    Kind kind = Kind::Write;
    qint32 baud = 0;  // Open, SetBaud
    QByteArray bytes; // Write
    Note note = Note::Connected;
};

// One device's update as a pure state machine: it is told what happened (bytes read, the alarm,
// a port error, a cancel request), with the time in microseconds of a monotonic clock, and answers
// with what to do. It owns no port and no timer: the caller arms one alarm at nextAlarmUs().
//
// It talks to the device as the window does: a reply is gathered for 30 ms after its first byte
// and then replaces the latest reply; each wait is judged when it ends, and a wait that ends while
// a reply is being gathered is judged once the gathering is done.
class SessionMachine
{
public:
    explicit SessionMachine(SessionConfig config);

    QVector<Action> start(qint64 nowUs);
    QVector<Action> opened(qint64 nowUs, bool ok, const QString &error);
    QVector<Action> bytesArrived(qint64 nowUs, const QByteArray &bytes);
    QVector<Action> alarm(qint64 nowUs);
    QVector<Action> portError(qint64 nowUs, const QString &error);
    QVector<Action> cancel(qint64 nowUs);
    // At the gate (gateAfterConnect): the update starts as it would have without the hold, the
    // latest reply judged as it stands. Elsewhere these do nothing.
    QVector<Action> proceed(qint64 nowUs);
    // At the gate: finishes as Skipped with `message`, nothing sent after the handshake.
    QVector<Action> skip(qint64 nowUs, const QString &message);
    // At the gate: finishes as WrongProduct with `message`, nothing sent after the handshake. That
    // class already means "refused after the handshake, nothing sent" (status 5); the message
    // says why.
    QVector<Action> refuse(qint64 nowUs, const QString &message);

    // When alarm() wants to be called next; -1 when nothing is pending.
    qint64 nextAlarmUs() const;

    bool finished() const { return m_phase == Phase::Done; }
    Result result() const { return m_result; }
    QString message() const { return m_message; }

    // Before an update is verified: the identity found at the start; after: the one found
    // after the restart (identityBefore() keeps the first).
    const DeviceIdentity &identity() const { return m_identity; }
    const DeviceIdentity &identityBefore() const { return verifying() ? m_before : m_identity; }
    // Whether the session went on to verify (or to watch the restart), also once it is done.
    bool verifying() const
    {
        return (m_phase == Phase::Done ? m_finishedIn : m_phase) == Phase::Verify;
    }
    Phase phase() const { return m_phase; }
    // What the machine is doing within its phase, for whoever words it.
    enum class Activity {
        Opening,           // Connect: the port is being opened
        Connecting,        // Connect: the handshake
        WaitingToStart,    // Start: held after the handshake for proceed(), skip() or refuse()
        Starting,          // Start
        Sending,           // Transfer
        Ending,            // End
        Reconnecting,      // Verify: the port is being opened again
        WaitingForRestart, // Verify: off the line while the device restarts
        Verifying,         // Verify: the handshake after the restart
        Done,
    };
    Activity activity() const;
    // Held after the handshake for proceed(), skip() or refuse(); the port stays open and what
    // the device says is still read. No alarm is pending for it.
    bool atGate() const { return m_wait == Wait::Gate; }
    // When the handshake attempt began that the device answered (before an answer: the latest
    // one), -1 before the first: the attempt's clock leaves out the probing of an empty port.
    qint64 handshakeStartUs() const
    {
        return m_answeredStartUs >= 0 ? m_answeredStartUs : m_attemptStartUs;
    }

    int framesTotal() const { return m_framesTotal; }
    int framesAccepted() const;
    int resends() const { return m_resends; }
    qint64 transferStartUs() const { return m_transferStartUs; }

    // Whether the device answered the end byte, and what it sent from the last frame's verdict
    // until the end was judged (the first kEndReplyCap bytes). endReply() is meaningful only once
    // the end byte went out.
    static constexpr int kEndReplyCap = 128;
    bool endByteSent() const { return m_endByteSent; }
    bool endConfirmed() const { return m_endConfirmed; }
    QByteArray endReply() const { return m_endReply; }

private:
    // What the machine waits for, below its phase.
    enum class Wait {
        None,        // not started yet, or done
        Open,        // the port is being opened
        Steps,       // a step list of the exchange runs
        Poll,        // polls for a reply
        FrameAnswer, // a frame's answer, looked for on the pace's grid
        Pause,       // off the line, while the device restarts
        Gate,        // the caller decides whether the update starts (gateAfterConnect)
    };
    // What follows when a step list, a poll or a pause is over.
    using Then = void (SessionMachine::*)(qint64 nowUs);

    QVector<Action> take();
    void push(Action::Kind kind, qint32 baud = 0, const QByteArray &bytes = QByteArray());
    void notify(Note note);
    void write(const QByteArray &bytes) { push(Action::Kind::Write, 0, bytes); }
    void waitMs(qint64 nowUs, int ms);
    void runSteps(qint64 nowUs, const protocol::Steps &steps, Then then);
    void runStep(qint64 nowUs);
    void poll(qint64 nowUs, protocol::Poll poll, Then then);
    void pause(qint64 nowUs, int ms, Then then);
    void waitEnded(qint64 nowUs);

    void resetReply();
    void completeGather();
    void replyRead(const QByteArray &batch);
    void absorbIdentity(const QByteArray &batch);
    bool judgedAsRead() const;
    bool onLine() const;

    // Connect, and after a restart the same handshake again in Verify.
    void startAttempt(qint64 nowUs);
    qint32 attemptBaud() const;
    void pollCancelAnswer(qint64 nowUs);
    void cancelPollEnded(qint64 nowUs);
    void handshakeEnded(qint64 nowUs);
    void attemptFailed(qint64 nowUs);
    void connected(qint64 nowUs, bool waiting);
    QString noAnswerText() const;
    // Start
    void startUpdate(qint64 nowUs);
    void pollReady(qint64 nowUs);
    QVector<Action> leaveGate(Result result, const QString &message);
    bool refusedForProduct();
    void readyPollEnded(qint64 nowUs);
    void updateCommandEnded(qint64 nowUs);
    // Transfer
    void beginTransfer(qint64 nowUs);
    void sendFrame(qint64 nowUs);
    void armFramePoll(qint64 nowUs);
    void frameWaitEnded(qint64 nowUs);
    void judgeFrame(qint64 nowUs);
    // End
    void beginEnd(qint64 nowUs);
    void sendEndByte(qint64 nowUs);
    void endWaitEnded(qint64 nowUs);
    void updateConfirmed(qint64 nowUs);
    // Verify
    void beginVerify(qint64 nowUs);
    void reopen(qint64 nowUs);
    void retryAfterRestart(qint64 nowUs, const QString &why);
    void restartUnanswered(const QString &why);
    void judgeRestart(qint64 nowUs);
    QString otherUnitText() const;
    QString updatedText() const;

    void finish(Result result, const QString &message);
    void finishCancelled();

    SessionConfig m_config;
    Phase m_phase = Phase::Connect;
    Phase m_finishedIn = Phase::Connect; // the phase that finish() ended
    Wait m_wait = Wait::None;
    protocol::Steps m_steps; // the list that runs, and the next of its steps
    int m_nextStep = 0;
    protocol::Poll m_poll{0, 0};
    int m_polls = 0;
    Then m_then = nullptr;
    int m_attempt = 0;
    qint64 m_attemptStartUs = -1;
    qint64 m_answeredStartUs = -1;

    QByteArray m_latest;   // the latest non-empty batch, emptied at fixed points
    QByteArray m_gathered; // bytes of the batch being gathered
    qint64 m_gatherEndUs = -1;
    qint64 m_waitEndUs = -1;
    bool m_waitDue = false; // the wait ended while a batch was being gathered

    DeviceIdentity m_identity;
    DeviceIdentity m_before;
    bool m_latestHasIdentity = false;
    static constexpr int kSinceWriteCap = 4096;
    QByteArray m_sinceWrite; // batches since the last write or the last named product
    qint64 m_verifyDeadlineUs = -1;
    bool m_answeredWithoutIdentity = false; // after the restart, while watching it

    TransferCursor m_cursor;
    int m_framesTotal = 0;
    int m_resends = 0;
    qint64 m_transferStartUs = -1;
    qint64 m_frameDeadlineUs = -1;
    bool m_cancelRequested = false;
    bool m_updateCommandSent = false;
    bool m_endByteSent = false;
    bool m_endConfirmed = false;
    QByteArray m_endReply;

    Result m_result = Result::Success;
    QString m_message;
    QVector<Action> m_actions;
};

} // namespace flash
