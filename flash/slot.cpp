#include "slot.h"

#include "protocol.h"
#include "timing.h"

#include <utility>

namespace flash {

namespace {

constexpr qint64 kUsPerMs = 1000;

qint32 probeBaud(int kind)
{
    return kind == 0 ? protocol::kSlowBaud : protocol::kFastBaud;
}

// The first departure probe: a unit whose firmware runs answers the short 9600 handshake (2.03 s,
// answered or not); one that may wait for firmware is found only by the 115200 one (its NAK to
// CAN), which lasts 10.2 s when nobody answers. Any other unit is found by the next, once the
// first goes unanswered.
bool firmwareRuns(const SessionMachine &m)
{
    const DeviceIdentity &id = m.verifying() ? m.identity() : m.identityBefore();
    const bool runs = id.productReceived && !id.waitingForFirmware;
    switch (m.result()) {
    case Result::Success:      // the new firmware, once restarted
    case Result::Skipped:      // nothing sent
    case Result::WrongProduct: // nothing sent after the handshake
    case Result::VerifyFailed: // identity() is what came back after the restart, if anything
        return runs;
    default:
        return false; // the update command may have gone out
    }
}

} // namespace

SlotController::SlotController(SessionConfig config) : m_config(std::move(config))
{
    // A slot judges every visit by how the unit came back from its restart.
    m_config.watchRestart = true;
}

SlotController::~SlotController() = default;

void SlotController::setQuota(JobQuota *quota, int slot)
{
    m_quota = quota;
    m_quotaSlot = slot;
    m_config.gateAfterConnect = quota != nullptr;
}

QVector<SlotAction> SlotController::quotaMoved(qint64 nowUs)
{
    if (!m_quota || m_state != SlotState::WaitingForPlace || m_machine || !m_takesDevices ||
        !m_pathPresent || m_quota->generation() == m_waitGeneration)
        return take();
    if (m_quota->complete())
        setState(SlotState::JobComplete);
    else
        beginArrival(nowUs); // the word stays "waiting" until the quota says otherwise
    return take();
}

// The device is known and its product checked; nothing of the update was sent yet.
void SlotController::gateReached(qint64 nowUs)
{
    const QString serial = m_machine->identity().serialNumber;
    switch (m_quota->request(m_quotaSlot, serial)) {
    case JobQuota::Decision::Start:
        m_actions.append(SlotAction{SlotAction::Kind::Note, 0, QByteArray(), Note::Connected});
        setState(SlotState::Updating);
        run(nowUs, m_machine->proceed(nowUs));
        break;
    case JobQuota::Decision::AlreadyDone:
        m_alreadyDone = true;
        m_actions.append(SlotAction{SlotAction::Kind::Note, 0, QByteArray(), Note::Connected});
        run(nowUs, m_machine->skip(nowUs, QStringLiteral("already passed under this job (%1); "
                                                         "nothing sent")
                                              .arg(serial)));
        break;
    case JobQuota::Decision::Wait:
        holdForPlace(SlotState::WaitingForPlace);
        break;
    case JobQuota::Decision::Complete:
        holdForPlace(SlotState::JobComplete);
        break;
    }
}

// No record: the device was only asked who it is. The port stays open and locked.
void SlotController::holdForPlace(SlotState state)
{
    m_machine.reset();
    m_stage = Stage::NoUnit;
    m_timerUs = -1;
    m_waitGeneration = m_quota->generation();
    setState(state);
}

QVector<SlotAction> SlotController::take()
{
    return std::exchange(m_actions, {});
}

void SlotController::push(SlotAction::Kind kind, qint32 baud, const QByteArray &bytes)
{
    SlotAction a;
    a.kind = kind;
    a.baud = baud;
    a.bytes = bytes;
    m_actions.append(a);
    if (kind == SlotAction::Kind::Release || kind == SlotAction::Kind::Close)
        m_portOpen = false;
}

void SlotController::setState(SlotState state)
{
    if (state == m_state)
        return;
    m_state = state;
    push(SlotAction::Kind::StateChanged);
}

qint64 SlotController::nextAlarmUs() const
{
    const qint64 machine = m_machine ? m_machine->nextAlarmUs() : -1;
    if (machine < 0 || (m_timerUs >= 0 && m_timerUs < machine))
        return m_timerUs;
    return machine;
}

bool SlotController::idle() const
{
    return !m_machine && m_timerUs < 0 && !m_openPending;
}

QVector<SlotAction> SlotController::start(qint64 nowUs, bool pathPresent)
{
    if (m_started)
        return {};
    m_started = true;
    m_pathPresent = pathPresent;
    if (pathPresent && m_takesDevices)
        beginArrival(nowUs);
    return take();
}

QVector<SlotAction> SlotController::pathAppeared(qint64 nowUs)
{
    if (!m_started || m_pathPresent)
        return {};
    m_pathPresent = true;
    // An attempt watching the restart reopens the port by itself.
    if (m_machine)
        return take();
    if (!m_takesDevices) {
        setState(SlotState::RemoveDevice);
    } else {
        setState(SlotState::Identifying);
        beginArrival(nowUs);
    }
    return take();
}

QVector<SlotAction> SlotController::pathVanished(qint64 nowUs)
{
    if (!m_started || !m_pathPresent)
        return {};
    m_pathPresent = false;
    if (attemptRunning()) {
        // While the device restarts, the attempt reopens until its deadline.
        run(nowUs, m_machine->portError(nowUs, QStringLiteral("the port vanished")));
        return take();
    }
    dropMachine();
    if (m_stage == Stage::Seated) {
        depart(nowUs, false);
        return take();
    }
    push(SlotAction::Kind::Release);
    setState(SlotState::Empty);
    return take();
}

QVector<SlotAction> SlotController::opened(qint64 nowUs, OpenResult result, const QString &error)
{
    if (!m_openPending)
        return {}; // the asking machine was dropped; the port was released after the open
    m_openPending = false;
    m_openResult = result;
    m_openError = error;
    m_portOpen = result == OpenResult::Opened;
    if (m_portOpen && (m_state == SlotState::InUse || m_state == SlotState::CannotOpen ||
                       m_state == SlotState::SamePort))
        setState(SlotState::Empty);
    if (m_machine)
        run(nowUs, m_machine->opened(nowUs, m_portOpen, error));
    return take();
}

QVector<SlotAction> SlotController::bytesArrived(qint64 nowUs, const QByteArray &bytes)
{
    if (!m_machine)
        return {};
    if (m_stage == Stage::NoUnit && m_state == SlotState::Empty)
        setState(SlotState::Identifying);
    if (m_stage == Stage::Seated) {
        m_probeHeard = true;
        m_lastHeardUs = nowUs;
    }
    run(nowUs, m_machine->bytesArrived(nowUs, bytes));
    return take();
}

QVector<SlotAction> SlotController::alarm(qint64 nowUs)
{
    if (m_timerUs >= 0 && nowUs >= m_timerUs) {
        m_timerUs = -1;
        timerDue(nowUs);
    }
    if (m_machine && m_machine->nextAlarmUs() >= 0 && nowUs >= m_machine->nextAlarmUs())
        run(nowUs, m_machine->alarm(nowUs));
    return take();
}

QVector<SlotAction> SlotController::portError(qint64 nowUs, const QString &error)
{
    m_portOpen = false;
    if (m_machine)
        run(nowUs, m_machine->portError(nowUs, error));
    return take();
}

QVector<SlotAction> SlotController::cancel(qint64 nowUs)
{
    if (attemptRunning()) {
        m_takesDevices = false;
        m_timerUs = -1;
        run(nowUs, m_machine->cancel(nowUs));
        return take();
    }
    return stopTakingDevices(nowUs);
}

QVector<SlotAction> SlotController::stopTakingDevices(qint64 nowUs)
{
    Q_UNUSED(nowUs)
    m_takesDevices = false;
    m_timerUs = -1;
    if (!m_started || attemptRunning())
        return take(); // the attempt runs to its end and is recorded
    // Release is harmless twice; the caller may hold the lock of a port closed by an error.
    dropMachine();
    push(SlotAction::Kind::Release);
    // The last word stays true: a unit that was being identified is still there, untouched; a
    // port that did not open, and a verdict, stay as they were.
    if (m_state == SlotState::Identifying)
        setState(SlotState::RemoveDevice);
    else if (m_state == SlotState::WaitingForPlace)
        setState(m_quota->complete() ? SlotState::JobComplete : SlotState::RemoveDevice);
    return take();
}

void SlotController::dropMachine()
{
    m_machine.reset();
    m_openPending = false;
    m_timerUs = -1;
}

void SlotController::openFor(qint64 nowUs, qint32 baud)
{
    if (!m_portOpen) {
        m_openPending = true;
        push(SlotAction::Kind::Open, baud);
        return;
    }
    // The port stays open between probes: the next one only sets its rate.
    push(SlotAction::Kind::SetBaud, baud);
    run(nowUs, m_machine->opened(nowUs, true, QString()));
}

void SlotController::run(qint64 nowUs, const QVector<Action> &actions)
{
    bool finished = false;
    for (const Action &a : actions) {
        switch (a.kind) {
        case Action::Kind::Open:
            openFor(nowUs, a.baud);
            break;
        case Action::Kind::Close:
            push(SlotAction::Kind::Close);
            break;
        case Action::Kind::SetBaud:
            push(SlotAction::Kind::SetBaud, a.baud);
            break;
        case Action::Kind::Write:
            push(SlotAction::Kind::Write, 0, a.bytes);
            break;
        case Action::Kind::Notify:
            noted(a.note);
            break;
        case Action::Kind::Finish:
            finished = true;
            break;
        }
    }
    if (!finished) {
        if (m_quota && m_stage == Stage::Attempt && m_machine && m_machine->atGate())
            gateReached(nowUs);
        return;
    }
    switch (m_stage) {
    case Stage::NoUnit:
        arrivalFinished(nowUs);
        break;
    case Stage::Attempt:
    case Stage::Restarting:
        recordAttempt(nowUs);
        break;
    case Stage::Seated:
        probeFinished(nowUs);
        break;
    }
}

// A departure probe's notes are its own business.
void SlotController::noted(Note note)
{
    if (m_stage == Stage::Seated)
        return;
    if (note == Note::Connected && m_stage == Stage::NoUnit) {
        m_stage = Stage::Attempt;
        // At a job's gate the quota decides first what the slot shows (gateReached()).
        if (m_machine->atGate())
            return;
        setState(SlotState::Updating);
    } else if (note == Note::Restarting && m_stage == Stage::Attempt) {
        m_stage = Stage::Restarting;
        setState(SlotState::Restarting);
    }
    m_actions.append(SlotAction{SlotAction::Kind::Note, 0, QByteArray(), note});
}

void SlotController::beginArrival(qint64 nowUs)
{
    // The one place an update session is made: never while a unit is known in the slot.
    Q_ASSERT(m_stage == Stage::NoUnit && !m_machine);
    m_timerUs = -1;
    m_alreadyDone = false;
    m_machine = std::make_unique<SessionMachine>(m_config);
    run(nowUs, m_machine->start(nowUs));
}

// Nobody answered: a probe of an empty slot, no attempt.
void SlotController::arrivalFinished(qint64 nowUs)
{
    const std::unique_ptr<SessionMachine> done = std::move(m_machine);
    if (done->result() == Result::PortOpenFailed) {
        m_problem = m_openError;
        setState(m_openResult == OpenResult::InUse      ? SlotState::InUse
                 : m_openResult == OpenResult::SamePort ? SlotState::SamePort
                                                        : SlotState::CannotOpen);
    } else if (m_state == SlotState::Identifying || m_state == SlotState::WaitingForPlace) {
        setState(SlotState::Empty);
    }
    if (!m_takesDevices || !m_pathPresent)
        return;
    // The next probe follows at once; a port that fails or errs is not hammered.
    if (done->result() == Result::NoAnswer)
        beginArrival(nowUs);
    else
        m_timerUs = nowUs + timing::kSlotRetryMs * kUsPerMs;
}

void SlotController::recordAttempt(qint64 nowUs)
{
    m_attempt = std::move(m_machine);
    const SessionMachine &a = *m_attempt;
    if (m_quota)
        m_quota->finished(m_quotaSlot, a.result() == Result::Success, a.identity().serialNumber);
    m_attemptStartUs = a.handshakeStartUs();
    m_attemptEndUs = nowUs;
    push(SlotAction::Kind::Record);
    const bool cameBack = a.identity().productReceived || a.identity().waitingForFirmware;
    m_verdict =
        SlotVerdict{true, a.result(), a.message(), cameBack ? a.identity() : a.identityBefore()};
    // After the restart a unit may report another serial number (a new format): it is the one
    // that stays in the slot.
    m_visitSerial = m_verdict.identity.serialNumber.isEmpty() ? a.identityBefore().serialNumber
                                                              : m_verdict.identity.serialNumber;
    m_stage = Stage::Seated;
    m_probeKind = firmwareRuns(a) ? SlowProbe : FastProbe;
    m_silentProbes[SlowProbe] = m_silentProbes[FastProbe] = 0;
    m_lastHeardUs = nowUs;
    SlotState verdict = SlotState::Fail;
    if (a.result() == Result::Success) {
        ++m_counts.passed;
        verdict = SlotState::Pass;
    } else if (a.result() == Result::Skipped) {
        ++m_counts.skipped;
        verdict = m_alreadyDone ? SlotState::AlreadyDone : SlotState::Skip;
    } else {
        ++m_counts.failed;
    }
    setState(verdict);
    push(SlotAction::Kind::StateChanged); // the counts, even if the state word stayed
    if (!m_takesDevices) {
        push(SlotAction::Kind::Release);
        return;
    }
    afterVisitStep(nowUs, timing::kDepartureProbeGapMs);
}

void SlotController::afterVisitStep(qint64 nowUs, int delayMs)
{
    if (m_pathPresent)
        m_timerUs = nowUs + delayMs * kUsPerMs;
    else
        depart(nowUs, false);
}

void SlotController::beginProbe(qint64 nowUs)
{
    SessionConfig c;
    c.mode = SessionConfig::Mode::Identify;
    c.baud = probeBaud(m_probeKind);
    c.attempts = 1;
    c.paceMs = m_config.paceMs;
    m_probeHeard = false;
    m_machine = std::make_unique<SessionMachine>(c);
    run(nowUs, m_machine->start(nowUs));
}

// Anything the unit says keeps it in the slot: its identity, a bootloader's NAK, even an answer
// the handshake does not take.
bool SlotController::probeAnswered(const SessionMachine &probe)
{
    if (probe.result() != Result::Success)
        return m_probeHeard;
    const DeviceIdentity &id = probe.identity();
    if (!id.serialNumber.isEmpty() && m_visitSerial.isEmpty())
        m_visitSerial = id.serialNumber;
    // Without an answer after the restart, the new version may first be seen here.
    if (m_state == SlotState::Pass && !id.version.isEmpty() &&
        id.version != m_verdict.identity.version) {
        m_verdict.identity.version = id.version;
        push(SlotAction::Kind::StateChanged);
    }
    return true;
}

void SlotController::probeFinished(qint64 nowUs)
{
    const std::unique_ptr<SessionMachine> probe = std::move(m_machine);
    const QString serial =
        probe->result() == Result::Success ? probe->identity().serialNumber : QString();
    if (!serial.isEmpty() && !m_visitSerial.isEmpty() && serial != m_visitSerial) {
        depart(nowUs, true); // swapped faster than the probe
        return;
    }
    if (probeAnswered(*probe)) {
        // Asked again the same way, the cheapest that is heard.
        m_silentProbes[SlowProbe] = m_silentProbes[FastProbe] = 0;
    } else {
        ++m_silentProbes[m_probeKind];
        if (silentLongEnough(nowUs)) {
            depart(nowUs, false);
            return;
        }
        // Silent at one rate: the other one next. Once both have had their count, the short one
        // fills up the time.
        const bool bothCounted = m_silentProbes[SlowProbe] >= timing::kDepartureProbesPerKind &&
                                 m_silentProbes[FastProbe] >= timing::kDepartureProbesPerKind;
        m_probeKind = bothCounted ? SlowProbe : m_probeKind == SlowProbe ? FastProbe : SlowProbe;
    }
    // A port that does not open again is not hammered.
    afterVisitStep(nowUs, probe->result() == Result::PortOpenFailed ? timing::kSlotRetryMs
                                                                    : timing::kDepartureProbeGapMs);
}

bool SlotController::silentLongEnough(qint64 nowUs) const
{
    return m_silentProbes[SlowProbe] >= timing::kDepartureProbesPerKind &&
           m_silentProbes[FastProbe] >= timing::kDepartureProbesPerKind &&
           nowUs - m_lastHeardUs > timing::kDepartureSilenceMs * kUsPerMs;
}

void SlotController::depart(qint64 nowUs, bool swapped)
{
    m_stage = Stage::NoUnit;
    m_timerUs = -1;
    m_visitSerial.clear();
    if (!m_pathPresent)
        push(SlotAction::Kind::Release);
    setState(swapped ? SlotState::Identifying : SlotState::Empty);
    if (m_pathPresent && m_takesDevices)
        beginArrival(nowUs);
}

void SlotController::timerDue(qint64 nowUs)
{
    if (!m_takesDevices || !m_pathPresent)
        return;
    if (m_stage == Stage::Seated)
        beginProbe(nowUs);
    else if (m_stage == Stage::NoUnit)
        beginArrival(nowUs);
}

} // namespace flash
