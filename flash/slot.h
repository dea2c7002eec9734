#pragma once

#include "quota.h"
#include "results.h"
#include "session.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

namespace flash {

// What a station slot shows; pelmar-flash words it (cli/slotwords.*).
enum class SlotState {
    Empty,        // no device; an always-present port is probed for one
    Identifying,  // the port appeared or something answered; the handshake runs
    Updating,     // a device answered: its attempt runs
    Restarting,   // its end was confirmed: the device restarts and is watched; leave it in
    Pass,         // held until the device leaves
    Skip,         // held until the device leaves
    Fail,         // held until the device leaves; a retry is a re-insert
    InUse,        // another program holds the port; tried again every kSlotRetryMs
    SamePort,     // another slot of this station has the port open; tried again likewise
    CannotOpen,   // the port is there but does not open (no access...); tried again likewise
    RemoveDevice, // a device came while the station takes no new ones
    // A job's station (setQuota):
    WaitingForPlace, // the device answered, but the job has no place for it now; nothing sent
    AlreadyDone,     // the device already passed under the job: skipped, held until it leaves
    JobComplete,     // the job's quantity is reached: "job complete — remove device"
};

struct SlotAction
{
    enum class Kind {
        Open,         // lock the port if not held, then open it at `baud`; answer with opened()
        Close,        // close the port, keep the lock (a device restarting after its update)
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

// SamePort: another slot of the station holds the port (the error names it).
enum class OpenResult { Opened, InUse, Failed, SamePort };

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
    DeviceIdentity identity; // as last reported: after the restart when it came back
};

// One fixture slot of a station as a pure state machine, in the manner of SessionMachine: told
// what happened (the port's path appeared or vanished, an open's result, bytes, the alarm, a port
// error, a stop), with the time in µs of a monotonic clock, it answers with actions. The caller
// polls the path's existence every timing::kSlotPathPollMs and arms one alarm at nextAlarmUs().
//
// A visit is one unit in the slot, from its arrival to the evidence of its departure, and it gets
// at most one update: an update session is made only while no unit is known (Stage::NoUnit).
// Each arrival probe is such a session, so a unit that answers is updated at once; one that never
// answered is no attempt and writes no record. The session watches the restart after the end
// byte, so the verdict is known before the record. Then the unit is probed, cheaply, until it
// leaves: its path vanishes, another serial number answers (a unit swapped faster than the probe:
// a new visit at once), or both probe kinds go unanswered kDepartureProbesPerKind times in a row
// for longer than kDepartureSilenceMs. Whatever else it does in between (silent for a while,
// waiting for firmware, the same serial number again) belongs to the same visit.
//
// The port stays open from one probe to the next: the caller's lock holds the slot all along.
class SlotController
{
public:
    explicit SlotController(SessionConfig config);
    ~SlotController();

    // A job's station: before an update starts, the slot asks `quota` (shared by the station's
    // slots, as slot number `slot`) for a place. A device told to wait is let go without a record
    // and asked again, by a new handshake, after quotaMoved() sees the quota's generation move.
    // Before start().
    void setQuota(JobQuota *quota, int slot);
    QVector<SlotAction> quotaMoved(qint64 nowUs);

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
    // CannotOpen: why; SamePort: which slot has the port ("same port as slot N").
    QString problem() const { return m_problem; }
    const SlotCounts &counts() const { return m_counts; }
    const SlotVerdict &lastVerdict() const { return m_verdict; }

    // A device's attempt runs: it will be recorded (Ctrl+C now interrupts a transfer).
    bool attemptRunning() const
    {
        return m_stage == Stage::Attempt || m_stage == Stage::Restarting;
    }
    // Nothing runs and nothing is planned (a slot waiting for its path is idle too): after a
    // stop, the station may end once every slot is idle.
    bool idle() const;

    // The machine of the attempt being run (also an unanswered arrival probe), null between them.
    const SessionMachine *session() const
    {
        return m_stage == Stage::Seated ? nullptr : m_machine.get();
    }
    // The last recorded attempt; valid from its Record action on.
    const SessionMachine *attempt() const { return m_attempt.get(); }
    // From the start of the handshake attempt the device answered to the verdict.
    qint64 attemptStartUs() const { return m_attemptStartUs; }
    qint64 attemptEndUs() const { return m_attemptEndUs; }

private:
    // The stages of a visit; an update session is made only in NoUnit.
    //
    //   NoUnit     -> Attempt     a unit answered the arrival session (its Connected note)
    //   Attempt    -> Restarting  the end was confirmed (Restarting note): the restart is watched
    //   Attempt,
    //   Restarting -> Seated      the session finished: recorded, the verdict shown
    //   Seated     -> NoUnit      evidence of departure (after another serial number: an arrival
    //                             session at once)
    enum class Stage { NoUnit, Attempt, Restarting, Seated };
    // A departure probe: the short 9600 identity handshake, or the 115200 one (its cancel byte
    // finds a bootloader, its query a device that speaks only 115200).
    enum ProbeKind { SlowProbe, FastProbe, ProbeKinds };

    QVector<SlotAction> take();
    void push(SlotAction::Kind kind, qint32 baud = 0, const QByteArray &bytes = QByteArray());
    void setState(SlotState state);
    void run(qint64 nowUs, const QVector<Action> &actions);
    void noted(Note note);
    void openFor(qint64 nowUs, qint32 baud);
    void dropMachine();

    void beginArrival(qint64 nowUs);
    void arrivalFinished(qint64 nowUs);
    void recordAttempt(qint64 nowUs);
    void afterVisitStep(qint64 nowUs, int delayMs);
    void beginProbe(qint64 nowUs);
    void probeFinished(qint64 nowUs);
    bool probeAnswered(const SessionMachine &probe);
    bool silentLongEnough(qint64 nowUs) const;
    void depart(qint64 nowUs, bool swapped);
    void timerDue(qint64 nowUs);
    void gateReached(qint64 nowUs);
    void holdForPlace(SlotState state);

    SessionConfig m_config;
    Stage m_stage = Stage::NoUnit;
    // NoUnit: the arrival session; Attempt, Restarting: the attempt; Seated: a departure probe.
    std::unique_ptr<SessionMachine> m_machine;
    std::unique_ptr<SessionMachine> m_attempt; // the last recorded attempt
    qint64 m_attemptStartUs = 0;
    qint64 m_attemptEndUs = 0;

    bool m_started = false;
    bool m_pathPresent = false;
    bool m_portOpen = false;
    bool m_openPending = false;
    OpenResult m_openResult = OpenResult::Opened;
    QString m_openError;
    qint64 m_timerUs = -1; // the next arrival or departure probe; -1: none planned
    bool m_takesDevices = true;

    // Seated: the unit's serial number as it last answered, the kind of the next probe, and the
    // silence since the last answer: unanswered probes of each kind, and when a byte last came.
    QString m_visitSerial;
    ProbeKind m_probeKind = SlowProbe;
    bool m_probeHeard = false;
    int m_silentProbes[ProbeKinds] = {0, 0};
    qint64 m_lastHeardUs = 0;

    JobQuota *m_quota = nullptr;
    int m_quotaSlot = 0;
    quint64 m_waitGeneration = 0; // the quota's generation when the slot was told to wait
    bool m_alreadyDone = false;   // the attempt was skipped as passed under the job before

    SlotState m_state = SlotState::Empty;
    QString m_problem; // CannotOpen's reason, SamePort's slot
    SlotCounts m_counts;
    SlotVerdict m_verdict;
    QVector<SlotAction> m_actions;
};

} // namespace flash
