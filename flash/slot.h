#pragma once

#include "results.h"
#include "session.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

namespace flash {

// What a station slot shows. The words are in slotStateWord().
enum class SlotState {
    Empty,        // no device; an always-present port is probed for one
    Identifying,  // the port appeared or something answered; the handshake runs
    Updating,     // a device answered: its attempt runs (also while it restarts for --verify)
    Pass,         // held until the device leaves
    Skip,         // held until the device leaves
    Fail,         // held until the device leaves; a retry is a re-insert
    InUse,        // another program holds the port; tried again every kSlotRetryMs
    CannotOpen,   // the port is there but does not open (no access...); tried again likewise
    RemoveDevice, // a device came while the station takes no new ones
};

QString slotStateWord(SlotState state);

struct SlotAction
{
    enum class Kind {
        Open,         // lock the port if not held, then open it at `baud`; answer with opened()
        Close,        // close the port, keep the lock (a device restarting for --verify)
        Release,      // close the port once written, and let the lock go
        SetBaud,      // `baud`
        Write,        // `bytes`
        Note,         // the attempt's `note`, for progress and events
        Record,       // an attempt ended: attempt() holds it, attemptStartUs()/attemptEndUs()
        StateChanged, // state(), counts() or lastVerdict() changed
    };
    Kind kind = Kind::Write;
    qint32 baud = 0;
    QByteArray bytes;
    Note note = Note::Connected;
};

enum class OpenResult { Opened, InUse, Failed };

struct SlotCounts
{
    int passed = 0;
    int failed = 0; // cancelled included
    int skipped = 0;
    int verdicts() const { return passed + failed + skipped; }
};

// The verdict of the last device, kept for the board after the device left.
struct SlotVerdict
{
    bool valid = false;
    Result result = Result::Success;
    QString message;
    DeviceIdentity identity; // as last reported: after the restart when verified
};

// One fixture slot of a station as a pure state machine, in the manner of SessionMachine: told
// what happened (the port's path appeared or vanished, an open's result, bytes, the alarm, a port
// error, a stop), with the time in µs of a monotonic clock, it answers with actions. The caller
// polls the path's existence every timing::kSlotPathPollMs and arms one alarm at nextAlarmUs().
//
// Per visit of a device: arrival (the path appears, or a device answers the probes of a present
// port: each probe is an update session, so a device that answers is updated at once; one that
// never answered is no attempt and writes no record), the attempt (Record), its verdict held
// while the device stays, departure (the path vanishes, kDepartureMisses probes in a row go
// unanswered, or another serial number answers), and again. The restart after a confirmed end
// belongs to the visit: until the device answered again, at most kRestartDeadlineMs, neither
// silence nor a vanished path is a departure.
//
// The port stays open from one probe to the next: the caller's lock holds the slot all along.
class SlotController
{
public:
    explicit SlotController(SessionConfig config);
    ~SlotController();

    QVector<SlotAction> start(qint64 nowUs, bool pathPresent);
    QVector<SlotAction> pathAppeared(qint64 nowUs);
    QVector<SlotAction> pathVanished(qint64 nowUs);
    QVector<SlotAction> opened(qint64 nowUs, OpenResult result, const QString &error);
    QVector<SlotAction> bytesArrived(qint64 nowUs, const QByteArray &bytes);
    QVector<SlotAction> alarm(qint64 nowUs);
    // The caller closed the port (a hung-up line repeats its error until it is closed).
    QVector<SlotAction> portError(qint64 nowUs, const QString &error);
    // Ctrl+C: an attempt stops at a frame boundary and is recorded; probes end at once.
    QVector<SlotAction> cancel(qint64 nowUs);
    // No new device (--stop-after reached, record unwritable): an attempt runs to its end.
    QVector<SlotAction> stopTakingDevices(qint64 nowUs);

    qint64 nextAlarmUs() const;

    SlotState state() const { return m_state; }
    // The state in words, e.g. "43 % 12 s left", "PASS SN0001 V1.1", "FAIL <reason>".
    QString stateText(qint64 nowUs) const;
    const SlotCounts &counts() const { return m_counts; }
    const SlotVerdict &lastVerdict() const { return m_verdict; }

    // A device's attempt runs: it will be recorded (Ctrl+C now interrupts a transfer).
    bool attemptRunning() const { return m_session && m_answered; }
    // Nothing runs and nothing is planned (a slot waiting for its path is idle too): after a
    // stop, the station may end once every slot is idle.
    bool idle() const;

    // The machine of the attempt being run (also an unanswered probe), null between them.
    const SessionMachine *session() const { return m_session.get(); }
    // The last recorded attempt; valid from its Record action on.
    const SessionMachine *attempt() const { return m_attempt.get(); }
    qint64 attemptStartUs() const { return m_attemptStartUs; }
    qint64 attemptEndUs() const { return m_attemptEndUs; }

private:
    enum class Machine { Session, Probe };

    QVector<SlotAction> take();
    void push(SlotAction::Kind kind, qint32 baud = 0, const QByteArray &bytes = QByteArray());
    void setState(SlotState state);
    SessionMachine *active() const;
    void run(qint64 nowUs, Machine which, const QVector<Action> &actions);
    void openFor(qint64 nowUs, Machine which, qint32 baud);
    void dropMachines();

    void beginArrival(qint64 nowUs);
    void sessionFinished(qint64 nowUs);
    void recordAttempt(qint64 nowUs);
    void beginProbe(qint64 nowUs);
    void probeFinished(qint64 nowUs);
    void afterVisitStep(qint64 nowUs, qint64 delayMs);
    void depart(qint64 nowUs, bool swapped);
    void timerDue(qint64 nowUs);
    bool restarting(qint64 nowUs) const
    {
        return m_restartUntilUs >= 0 && nowUs < m_restartUntilUs;
    }

    SessionConfig m_config;
    std::unique_ptr<SessionMachine> m_session; // arrival probe, then the attempt
    std::unique_ptr<SessionMachine> m_probe;   // departure probe
    std::unique_ptr<SessionMachine> m_attempt; // the last recorded attempt
    qint64 m_sessionStartUs = -1;
    qint64 m_attemptStartUs = -1;
    qint64 m_attemptEndUs = -1;
    bool m_answered = false; // the session's device answered the handshake

    bool m_started = false;
    bool m_pathPresent = false;
    bool m_portOpen = false;
    bool m_openPending = false;
    OpenResult m_openResult = OpenResult::Opened;
    QString m_openError;

    bool m_devicePresent = false; // after a verdict, until the device leaves
    QString m_visitSerial;
    qint32 m_probeBaud = 0;
    int m_misses = 0;
    qint64 m_restartUntilUs = -1;
    qint64 m_timerUs = -1;
    bool m_takesDevices = true;

    SlotState m_state = SlotState::Empty;
    QString m_problem; // CannotOpen's reason
    SlotCounts m_counts;
    SlotVerdict m_verdict;
    QVector<SlotAction> m_actions;
};

} // namespace flash
