#include "slot.h"

#include "progress.h"
#include "protocol.h"
#include "timing.h"

#include <QStringList>
#include <QtMath>

#include <utility>

namespace flash {

namespace {

constexpr qint64 kUsPerMs = 1000;

struct StateWord
{
    SlotState state;
    const char *word;
};

constexpr StateWord kStateWords[] = {
    {SlotState::Empty, "empty"},
    {SlotState::Identifying, "identifying"},
    {SlotState::Updating, "updating"},
    {SlotState::Pass, "PASS"},
    {SlotState::Skip, "SKIP"},
    {SlotState::Fail, "FAIL"},
    {SlotState::InUse, "in use by another program"},
    {SlotState::CannotOpen, "cannot open"},
    {SlotState::RemoveDevice, "remove device"},
};

// A device whose firmware runs answers the short 9600 handshake (2.03 s, answered or not). One
// that may be left waiting for firmware is found only by the 115200 one (its NAK to CAN), which
// lasts 10.2 s when nobody answers.
qint32 probeBaudAfter(const SessionMachine &m)
{
    const DeviceIdentity &id = m.identity();
    const bool runs = id.productReceived && !id.waitingForFirmware;
    switch (m.result()) {
    case Result::Success:      // the new firmware, once restarted
    case Result::Skipped:      // nothing sent
    case Result::WrongProduct: // nothing sent after the handshake
    case Result::VerifyFailed: // identity() is what came back after the restart, if anything
        return runs ? protocol::kSlowBaud : protocol::kFastBaud;
    default:
        return protocol::kFastBaud; // the update command may have gone out
    }
}

QString joined(const QStringList &parts)
{
    QStringList kept;
    for (const QString &p : parts) {
        if (!p.isEmpty())
            kept.append(p);
    }
    return kept.join(QLatin1Char(' '));
}

} // namespace

QString slotStateWord(SlotState state)
{
    for (const StateWord &w : kStateWords) {
        if (w.state == state)
            return QString::fromLatin1(w.word);
    }
    return QString();
}

SlotController::SlotController(SessionConfig config) : m_config(std::move(config)) {}

SlotController::~SlotController() = default;

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

SessionMachine *SlotController::active() const
{
    return m_session ? m_session.get() : m_probe.get();
}

qint64 SlotController::nextAlarmUs() const
{
    const SessionMachine *m = active();
    const qint64 machine = m ? m->nextAlarmUs() : -1;
    if (machine < 0 || (m_timerUs >= 0 && m_timerUs < machine))
        return m_timerUs;
    return machine;
}

bool SlotController::idle() const
{
    return !m_session && !m_probe && m_timerUs < 0 && !m_openPending;
}

QString SlotController::stateText(qint64 nowUs) const
{
    switch (m_state) {
    case SlotState::Updating:
        if (m_session && m_session->transferStartUs() >= 0 && !m_session->verifying()) {
            const ProgressFigures f = progressFigures(
                m_session->framesAccepted(), m_session->framesTotal(),
                qMax(0, m_config.image.size() - protocol::kNameFieldSize),
                nowUs - m_session->transferStartUs(), m_config.baud, m_config.paceMs);
            return QStringLiteral("%1 % %2 s left").arg(f.percent).arg(qCeil(f.secondsLeft));
        }
        return m_session ? QStringLiteral("updating: %1").arg(m_session->stateText())
                         : slotStateWord(m_state);
    case SlotState::Pass:
        return joined(
            {slotStateWord(m_state), m_verdict.identity.serialNumber, m_verdict.identity.version});
    case SlotState::Skip:
        return joined({slotStateWord(m_state), m_verdict.identity.version});
    case SlotState::Fail:
        return joined({slotStateWord(m_state), m_verdict.message});
    case SlotState::CannotOpen:
        return QStringLiteral("%1: %2").arg(slotStateWord(m_state), m_problem);
    default:
        return slotStateWord(m_state);
    }
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
    // An attempt restarting for --verify reopens the port by itself.
    if (m_session || m_probe)
        return take();
    if (!m_takesDevices) {
        if (!m_devicePresent)
            setState(SlotState::RemoveDevice);
    } else if (m_devicePresent) {
        // Back from its restart: asked at once whether it is the same device.
        m_timerUs = -1;
        beginProbe(nowUs);
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
    if (m_session && m_answered) {
        // While the device restarts for --verify, the attempt reopens until its deadline.
        run(nowUs, Machine::Session,
            m_session->portError(nowUs, QStringLiteral("the port vanished")));
        return take();
    }
    dropMachines();
    if (m_devicePresent && !restarting(nowUs)) {
        depart(nowUs, false);
        return take();
    }
    push(SlotAction::Kind::Release);
    if (m_devicePresent)
        m_timerUs = m_restartUntilUs; // a device restarting after its update may re-enumerate
    else if (m_state != SlotState::Pass && m_state != SlotState::Skip && m_state != SlotState::Fail)
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
    if (m_portOpen && (m_state == SlotState::InUse || m_state == SlotState::CannotOpen))
        setState(SlotState::Empty);
    if (SessionMachine *m = active())
        run(nowUs, m_session ? Machine::Session : Machine::Probe,
            m->opened(nowUs, m_portOpen, error));
    return take();
}

QVector<SlotAction> SlotController::bytesArrived(qint64 nowUs, const QByteArray &bytes)
{
    SessionMachine *m = active();
    if (!m)
        return {};
    if (m_session && m_state == SlotState::Empty)
        setState(SlotState::Identifying);
    run(nowUs, m_session ? Machine::Session : Machine::Probe, m->bytesArrived(nowUs, bytes));
    return take();
}

QVector<SlotAction> SlotController::alarm(qint64 nowUs)
{
    if (m_timerUs >= 0 && nowUs >= m_timerUs) {
        m_timerUs = -1;
        timerDue(nowUs);
    }
    SessionMachine *m = active();
    if (m && m->nextAlarmUs() >= 0 && nowUs >= m->nextAlarmUs())
        run(nowUs, m_session ? Machine::Session : Machine::Probe, m->alarm(nowUs));
    return take();
}

QVector<SlotAction> SlotController::portError(qint64 nowUs, const QString &error)
{
    m_portOpen = false;
    if (SessionMachine *m = active())
        run(nowUs, m_session ? Machine::Session : Machine::Probe, m->portError(nowUs, error));
    return take();
}

QVector<SlotAction> SlotController::cancel(qint64 nowUs)
{
    if (m_session && m_answered) {
        m_takesDevices = false;
        m_timerUs = -1;
        run(nowUs, Machine::Session, m_session->cancel(nowUs));
        return take();
    }
    return stopTakingDevices(nowUs);
}

QVector<SlotAction> SlotController::stopTakingDevices(qint64 nowUs)
{
    Q_UNUSED(nowUs)
    m_takesDevices = false;
    m_timerUs = -1;
    if (!m_started || (m_session && m_answered))
        return take(); // the attempt runs to its end and is recorded
    // Release is harmless twice; the caller may hold the lock of a port closed by an error.
    dropMachines();
    push(SlotAction::Kind::Release);
    if (m_state == SlotState::Identifying || m_state == SlotState::InUse ||
        m_state == SlotState::CannotOpen)
        setState(SlotState::Empty);
    return take();
}

void SlotController::dropMachines()
{
    m_session.reset();
    m_probe.reset();
    m_answered = false;
    m_openPending = false;
    m_timerUs = -1;
}

void SlotController::openFor(qint64 nowUs, Machine which, qint32 baud)
{
    if (!m_portOpen) {
        m_openPending = true;
        push(SlotAction::Kind::Open, baud);
        return;
    }
    // The port stays open between probes: the next one only sets its rate.
    push(SlotAction::Kind::SetBaud, baud);
    SessionMachine *m = which == Machine::Session ? m_session.get() : m_probe.get();
    run(nowUs, which, m->opened(nowUs, true, QString()));
}

void SlotController::run(qint64 nowUs, Machine which, const QVector<Action> &actions)
{
    bool finished = false;
    for (const Action &a : actions) {
        switch (a.kind) {
        case Action::Kind::Open:
            openFor(nowUs, which, a.baud);
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
            if (which != Machine::Session)
                break;
            if (a.note == Note::Connected && !m_answered) {
                m_answered = true;
                setState(SlotState::Updating);
            }
            m_actions.append(SlotAction{SlotAction::Kind::Note, 0, QByteArray(), a.note});
            break;
        case Action::Kind::Finish:
            finished = true;
            break;
        }
    }
    if (!finished)
        return;
    if (which == Machine::Session)
        sessionFinished(nowUs);
    else
        probeFinished(nowUs);
}

void SlotController::beginArrival(qint64 nowUs)
{
    m_timerUs = -1;
    m_answered = false;
    m_session = std::make_unique<SessionMachine>(m_config);
    m_sessionStartUs = nowUs;
    run(nowUs, Machine::Session, m_session->start(nowUs));
}

void SlotController::sessionFinished(qint64 nowUs)
{
    std::unique_ptr<SessionMachine> done = std::move(m_session);
    if (m_answered) {
        m_answered = false;
        m_attempt = std::move(done);
        recordAttempt(nowUs);
        return;
    }
    // Nobody answered: a probe of an empty slot, no attempt.
    if (done->result() == Result::PortOpenFailed) {
        m_problem = m_openError;
        setState(m_openResult == OpenResult::InUse ? SlotState::InUse : SlotState::CannotOpen);
    } else if (m_state == SlotState::Identifying) {
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
    const SessionMachine &a = *m_attempt;
    m_attemptStartUs = m_sessionStartUs;
    m_attemptEndUs = nowUs;
    push(SlotAction::Kind::Record);
    const bool cameBack = a.identity().productReceived || a.identity().waitingForFirmware;
    m_verdict =
        SlotVerdict{true, a.result(), a.message(), cameBack ? a.identity() : a.identityBefore()};
    m_visitSerial = m_verdict.identity.serialNumber.isEmpty() ? a.identityBefore().serialNumber
                                                              : m_verdict.identity.serialNumber;
    m_probeBaud = probeBaudAfter(a);
    m_devicePresent = true;
    m_misses = 0;
    // Without --verify the device restarts after the session: that silence is no departure.
    m_restartUntilUs =
        a.endConfirmed() && !a.verifying() ? nowUs + timing::kRestartDeadlineMs * kUsPerMs : -1;
    SlotState verdict = SlotState::Fail;
    if (a.result() == Result::Success) {
        ++m_counts.passed;
        verdict = SlotState::Pass;
    } else if (a.result() == Result::Skipped) {
        ++m_counts.skipped;
        verdict = SlotState::Skip;
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

void SlotController::afterVisitStep(qint64 nowUs, qint64 delayMs)
{
    if (m_pathPresent)
        m_timerUs = nowUs + delayMs * kUsPerMs;
    else if (restarting(nowUs))
        m_timerUs = m_restartUntilUs;
    else
        depart(nowUs, false);
}

void SlotController::beginProbe(qint64 nowUs)
{
    SessionConfig c;
    c.mode = SessionConfig::Mode::Identify;
    c.baud = m_probeBaud;
    c.attempts = 1;
    c.paceMs = m_config.paceMs;
    m_probe = std::make_unique<SessionMachine>(c);
    run(nowUs, Machine::Probe, m_probe->start(nowUs));
}

void SlotController::probeFinished(qint64 nowUs)
{
    const std::unique_ptr<SessionMachine> p = std::move(m_probe);
    if (p->result() == Result::Success) {
        const DeviceIdentity &id = p->identity();
        if (!id.serialNumber.isEmpty() && !m_visitSerial.isEmpty() &&
            id.serialNumber != m_visitSerial) {
            depart(nowUs, true); // swapped faster than the probe
            return;
        }
        if (id.waitingForFirmware)
            m_probeBaud = protocol::kFastBaud;
        else if (id.productReceived)
            m_probeBaud = protocol::kSlowBaud;
        if (m_visitSerial.isEmpty())
            m_visitSerial = id.serialNumber;
        // Without --verify the new version is first seen here.
        if (m_state == SlotState::Pass && !id.version.isEmpty() &&
            id.version != m_verdict.identity.version) {
            m_verdict.identity.version = id.version;
            push(SlotAction::Kind::StateChanged);
        }
        m_misses = 0;
        m_restartUntilUs = -1; // it is back from its restart
    } else if (!restarting(nowUs) && ++m_misses >= timing::kDepartureMisses) {
        depart(nowUs, false);
        return;
    }
    afterVisitStep(nowUs, timing::kDepartureProbeGapMs);
}

void SlotController::depart(qint64 nowUs, bool swapped)
{
    m_devicePresent = false;
    m_misses = 0;
    m_restartUntilUs = -1;
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
    if (!m_takesDevices)
        return;
    if (!m_devicePresent) {
        if (m_pathPresent)
            beginArrival(nowUs);
    } else if (m_pathPresent) {
        beginProbe(nowUs);
    } else if (restarting(nowUs)) {
        m_timerUs = m_restartUntilUs;
    } else {
        depart(nowUs, false);
    }
}

} // namespace flash
