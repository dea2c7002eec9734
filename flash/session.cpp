#include "session.h"

#include "frame.h"
#include "identity.h"
#include "namecheck.h"
#include "protocol.h"
#include "replies.h"
#include "timing.h"
#include "updatestart.h"

#include <utility>

namespace flash {

namespace {

constexpr qint64 kUsPerMs = 1000;

bool sameVersion(const QString &reported, const QString &wanted)
{
    return reported.trimmed() == wanted.trimmed();
}

} // namespace

SessionMachine::SessionMachine(SessionConfig config) : m_config(std::move(config))
{
    m_framesTotal = frameCount(m_config.image.size());
}

QVector<Action> SessionMachine::take()
{
    return std::exchange(m_actions, {});
}

void SessionMachine::push(Action::Kind kind, qint32 baud, const QByteArray &bytes)
{
    if (kind == Action::Kind::Write)
        m_sinceWrite.clear();
    Action a;
    a.kind = kind;
    a.baud = baud;
    a.bytes = bytes;
    m_actions.append(a);
}

void SessionMachine::notify(Note note)
{
    Action a;
    a.kind = Action::Kind::Notify;
    a.note = note;
    m_actions.append(a);
}

void SessionMachine::waitMs(qint64 nowUs, int ms)
{
    m_waitEndUs = nowUs + ms * kUsPerMs;
    m_waitDue = false;
}

qint64 SessionMachine::nextAlarmUs() const
{
    if (m_phase == Phase::Done)
        return -1;
    if (m_gatherEndUs >= 0 && (m_waitEndUs < 0 || m_gatherEndUs < m_waitEndUs))
        return m_gatherEndUs;
    return m_waitEndUs;
}

int SessionMachine::framesAccepted() const
{
    return ::framesAccepted(m_cursor);
}

SessionMachine::Activity SessionMachine::activity() const
{
    switch (m_phase) {
    case Phase::Connect:
        return m_wait == Wait::None || m_wait == Wait::Open ? Activity::Opening
                                                            : Activity::Connecting;
    case Phase::Start:
        return m_wait == Wait::Gate ? Activity::WaitingToStart : Activity::Starting;
    case Phase::Transfer:
        return Activity::Sending;
    case Phase::End:
        return Activity::Ending;
    case Phase::Verify:
        if (m_wait == Wait::Open)
            return Activity::Reconnecting;
        return m_wait == Wait::Pause ? Activity::WaitingForRestart : Activity::Verifying;
    case Phase::Done:
        break;
    }
    return Activity::Done;
}

QVector<Action> SessionMachine::start(qint64 nowUs)
{
    Q_UNUSED(nowUs)
    if (m_phase != Phase::Connect || m_wait != Wait::None)
        return {};
    m_wait = Wait::Open;
    push(Action::Kind::Open, m_config.baud);
    return take();
}

QVector<Action> SessionMachine::opened(qint64 nowUs, bool ok, const QString &error)
{
    if (m_wait != Wait::Open)
        return {};
    if (ok) {
        m_attempt = 0;
        startAttempt(nowUs);
    } else if (m_phase != Phase::Verify) {
        finish(Result::PortOpenFailed, QStringLiteral("port cannot be opened: %1").arg(error));
    } else {
        retryAfterRestart(nowUs, QStringLiteral("cannot open the port again: %1").arg(error));
    }
    return take();
}

QVector<Action> SessionMachine::bytesArrived(qint64 nowUs, const QByteArray &bytes)
{
    if (bytes.isEmpty() || !onLine())
        return {};
    if (m_phase == Phase::End)
        m_endReply += bytes.left(kEndReplyCap - m_endReply.size());
    if (judgedAsRead() && m_gatherEndUs < 0) {
        replyRead(bytes);
        judgeFrame(nowUs);
        return take();
    }
    m_gathered += bytes;
    if (m_gatherEndUs < 0)
        m_gatherEndUs = nowUs + timing::kGatherMs * kUsPerMs;
    return take();
}

QVector<Action> SessionMachine::alarm(qint64 nowUs)
{
    if (m_phase == Phase::Done)
        return {};
    if (m_gatherEndUs >= 0 && nowUs >= m_gatherEndUs) {
        completeGather();
        if (judgedAsRead() && !m_latest.isEmpty()) {
            judgeFrame(nowUs);
            return take();
        }
    }
    if (m_waitEndUs >= 0 && nowUs >= m_waitEndUs) {
        m_waitEndUs = -1;
        m_waitDue = true;
    }
    // The window's waits return only after a reply being gathered inside them has been read.
    if (m_waitDue && m_gatherEndUs < 0) {
        m_waitDue = false;
        waitEnded(nowUs);
    }
    return take();
}

QVector<Action> SessionMachine::portError(qint64 nowUs, const QString &error)
{
    if (m_phase == Phase::Done || m_wait == Wait::Open || m_wait == Wait::Pause)
        return {};
    if (m_phase == Phase::Verify) {
        // A USB device may drop off the bus while it restarts: reopen until the deadline.
        push(Action::Kind::Close);
        retryAfterRestart(nowUs, QStringLiteral("the port reported an error: %1").arg(error));
    } else {
        finish(Result::PortLost, QStringLiteral("the port reported an error: %1").arg(error));
    }
    return take();
}

QVector<Action> SessionMachine::cancel(qint64 nowUs)
{
    if (m_phase == Phase::Done || m_cancelRequested)
        return {};
    m_cancelRequested = true;
    if (m_phase == Phase::Transfer) {
        // The frame is on the line: its answer, if it comes by the next poll, still counts.
        const qint64 point = nowUs + timing::kReplyPollMs * kUsPerMs;
        if (m_waitEndUs < 0 || point < m_waitEndUs)
            m_waitEndUs = point;
    } else if (m_phase != Phase::End || !m_endByteSent) {
        // After the end byte only its 200 ms confirmation window is left: the true outcome is
        // reported then.
        finishCancelled();
    }
    return take();
}

void SessionMachine::runSteps(qint64 nowUs, const protocol::Steps &steps, Then then)
{
    m_wait = Wait::Steps;
    m_steps = steps;
    m_nextStep = 0;
    m_then = then;
    runStep(nowUs);
}

void SessionMachine::runStep(qint64 nowUs)
{
    const protocol::Step &step = m_steps.at(m_nextStep++);
    if (step.rate != 0)
        push(Action::Kind::SetBaud, step.rate);
    if (!step.bytes.isEmpty())
        write(step.bytes);
    waitMs(nowUs, step.waitMs);
}

void SessionMachine::poll(qint64 nowUs, protocol::Poll poll, Then then)
{
    m_wait = Wait::Poll;
    m_poll = poll;
    m_polls = 0;
    m_then = then;
    waitMs(nowUs, poll.pollMs);
}

void SessionMachine::pause(qint64 nowUs, int ms, Then then)
{
    m_wait = Wait::Pause;
    m_then = then;
    waitMs(nowUs, ms);
}

void SessionMachine::waitEnded(qint64 nowUs)
{
    switch (m_wait) {
    case Wait::Steps:
        if (m_nextStep < m_steps.size())
            runStep(nowUs);
        else
            (this->*m_then)(nowUs);
        break;
    case Wait::Poll:
        ++m_polls;
        if (m_latest.isEmpty() && m_polls < m_poll.polls)
            waitMs(nowUs, m_poll.pollMs);
        else
            (this->*m_then)(nowUs);
        break;
    case Wait::Pause:
        (this->*m_then)(nowUs);
        break;
    case Wait::FrameAnswer:
        frameWaitEnded(nowUs);
        break;
    case Wait::None:
    case Wait::Open:
    case Wait::Gate:
        break;
    }
}

// Forgets the latest reply and any reply being gathered.
void SessionMachine::resetReply()
{
    m_latest.clear();
    m_gathered.clear();
    m_gatherEndUs = -1;
}

void SessionMachine::completeGather()
{
    const QByteArray batch = std::exchange(m_gathered, {});
    m_gatherEndUs = -1;
    if (!batch.isEmpty())
        replyRead(batch);
}

void SessionMachine::replyRead(const QByteArray &batch)
{
    m_latest = batch;
    absorbIdentity(batch);
}

void SessionMachine::absorbIdentity(const QByteArray &batch)
{
    // At 9600 an identity takes longer on the line than the 30 ms gathering, so it arrives as
    // several batches: a field cut between two of them is read from the batches since the one
    // that named the product (a newer name starts afresh). Only what is read changes; the
    // judgements still look at the latest batch.
    const IdentityLabels labels{QStringLiteral("Product:"), QStringLiteral("Serial number:"),
                                QStringLiteral("Version:")};
    if (parseIdentity(batch, labels).nameFound)
        m_sinceWrite = batch;
    else if (m_sinceWrite.size() + batch.size() <= kSinceWriteCap)
        m_sinceWrite += batch;
    const Identity id = parseIdentity(m_sinceWrite, labels);
    m_latestHasIdentity = hasIdentityText(id.text);
    // A reply may be split over several reads: each field keeps the last value seen.
    if (id.nameFound) {
        m_identity.product = id.productName.trimmed();
        m_identity.productReceived = true;
    }
    if (!id.serialNumber.trimmed().isEmpty())
        m_identity.serialNumber = id.serialNumber.trimmed();
    if (!id.version.trimmed().isEmpty())
        m_identity.version = id.version.trimmed();
}

// Without a pace a frame's answer is judged as it is read; splitting it is the device's risk.
bool SessionMachine::judgedAsRead() const
{
    return m_phase == Phase::Transfer && m_config.paceMs == 0;
}

// Whether what the device sends now is read: not while the port is closed or being opened.
bool SessionMachine::onLine() const
{
    return m_phase != Phase::Done && m_wait != Wait::None && m_wait != Wait::Open &&
           m_wait != Wait::Pause;
}

void SessionMachine::startAttempt(qint64 nowUs)
{
    m_attemptStartUs = nowUs;
    if (attemptBaud() == protocol::kFastBaud) {
        runSteps(nowUs, protocol::fastCancel(), &SessionMachine::pollCancelAnswer);
        return;
    }
    // At 9600 the port was opened at that rate and stays there, unless a 115200 attempt after the
    // restart left it at 115200.
    if (m_phase == Phase::Verify && m_attempt > 0)
        push(Action::Kind::SetBaud, protocol::kSlowBaud);
    runSteps(nowUs, protocol::slowHandshake(), &SessionMachine::handshakeEnded);
}

// After the restart the device may answer at either rate: a bootloader only the 115200 cancel
// byte, a device that speaks one rate only at that one. The configured rate goes first, then the
// two alternate.
qint32 SessionMachine::attemptBaud() const
{
    if (m_phase != Phase::Verify || m_attempt % 2 == 0)
        return m_config.baud;
    return m_config.baud == protocol::kSlowBaud ? protocol::kFastBaud : protocol::kSlowBaud;
}

void SessionMachine::pollCancelAnswer(qint64 nowUs)
{
    // Whatever the cancel byte stirred up is stale; only an answer that follows counts.
    m_latest.clear();
    poll(nowUs, protocol::kCancelPoll, &SessionMachine::cancelPollEnded);
}

void SessionMachine::cancelPollEnded(qint64 nowUs)
{
    if (isNak(m_latest))
        connected(nowUs, true);
    else
        runSteps(nowUs, protocol::fastQuery(), &SessionMachine::handshakeEnded);
}

void SessionMachine::handshakeEnded(qint64 nowUs)
{
    if (isLongAnswer(m_latest))
        connected(nowUs, false);
    else
        attemptFailed(nowUs);
}

void SessionMachine::attemptFailed(qint64 nowUs)
{
    ++m_attempt;
    if (m_phase == Phase::Verify) {
        if (nowUs < m_verifyDeadlineUs)
            startAttempt(nowUs);
        else
            restartUnanswered(QStringLiteral("no answer within %1 s of the restart")
                                  .arg(timing::kRestartDeadlineMs / 1000));
        return;
    }
    if (m_attempt < m_config.attempts)
        startAttempt(nowUs);
    else
        finish(Result::NoAnswer, noAnswerText());
}

QString SessionMachine::noAnswerText() const
{
    QString text = QStringLiteral("no answer to the handshake at %1 baud").arg(m_config.baud);
    if (m_config.baud != protocol::kSlowBaud)
        return text;
    // At 9600 a bootloader takes no handshake; some send NAKs unasked while they wait.
    if (isNak(m_latest))
        text += QStringLiteral("; it sent a lone NAK, as a device waiting for firmware does: "
                               "update it at 115200 (--baud 115200)");
    else if (m_latest.isEmpty())
        text += QStringLiteral(" (a device waiting for firmware is found only at 115200)");
    return text;
}

void SessionMachine::connected(qint64 nowUs, bool waiting)
{
    m_identity.waitingForFirmware = waiting;
    if (m_phase == Phase::Verify) {
        judgeRestart(nowUs);
        return;
    }
    m_answeredStartUs = m_attemptStartUs;
    notify(Note::Connected);
    if (m_config.mode == SessionConfig::Mode::Identify) {
        finish(Result::Success, waiting ? QStringLiteral("the device waits for firmware")
                                : m_identity.productReceived
                                    ? QStringLiteral("identified")
                                    : QStringLiteral("the device answered without its identity"));
        return;
    }
    if (!m_config.skipIfVersion.isEmpty() && !waiting && !m_identity.version.isEmpty() &&
        sameVersion(m_identity.version, m_config.skipIfVersion)) {
        finish(Result::Skipped,
               QStringLiteral("already at version %1; nothing sent").arg(m_identity.version));
        return;
    }
    startUpdate(nowUs);
}

void SessionMachine::startUpdate(qint64 nowUs)
{
    m_phase = Phase::Start;
    if (refusedForProduct())
        return;
    if (m_config.gateAfterConnect) {
        m_wait = Wait::Gate;
        m_waitEndUs = -1;
        m_waitDue = false;
        return;
    }
    pollReady(nowUs);
}

void SessionMachine::pollReady(qint64 nowUs)
{
    // The handshake's reply (or what came since, at the gate) is still the latest, so this poll
    // ends at its first wait.
    poll(nowUs, protocol::kReadyPoll, &SessionMachine::readyPollEnded);
}

QVector<Action> SessionMachine::proceed(qint64 nowUs)
{
    if (!atGate())
        return {};
    pollReady(nowUs);
    return take();
}

QVector<Action> SessionMachine::skip(qint64 nowUs, const QString &message)
{
    Q_UNUSED(nowUs)
    return leaveGate(Result::Skipped, message);
}

QVector<Action> SessionMachine::refuse(qint64 nowUs, const QString &message)
{
    Q_UNUSED(nowUs)
    return leaveGate(Result::WrongProduct, message);
}

QVector<Action> SessionMachine::leaveGate(Result result, const QString &message)
{
    if (!atGate())
        return {};
    finish(result, message);
    return take();
}

// Checked before the update command, so that an image for another product sends nothing. Only a
// device that waits for firmware may go unnamed: it is updated to recover it. Checked again before
// each later step, since a reply that comes late may still name another product.
bool SessionMachine::refusedForProduct()
{
    const QString tail = m_updateCommandSent
                             ? QStringLiteral("; the update command was sent: the device now "
                                              "waits for firmware")
                             : QStringLiteral("; nothing sent");
    if (!m_identity.productReceived && !m_identity.waitingForFirmware) {
        finish(Result::WrongProduct, QStringLiteral("the device did not name its product"));
        return true;
    }
    const QByteArray expected = expectedNameField(m_identity.product);
    if (nameFieldAccepted(m_config.image, expected, m_identity.productReceived))
        return false;
    const QByteArray field = m_config.image.left(protocol::kNameFieldSize);
    finish(Result::WrongProduct, QStringLiteral("the image is for \"%1\", the device is \"%2\"%3")
                                     .arg(nameFieldText(field), m_identity.product, tail));
    return true;
}

void SessionMachine::readyPollEnded(qint64 nowUs)
{
    if (refusedForProduct())
        return;
    if (readyWithoutUpdateCommand(m_latest, m_config.baud)) {
        beginTransfer(nowUs);
        return;
    }
    m_updateCommandSent = true;
    runSteps(nowUs, protocol::updateStart(), &SessionMachine::updateCommandEnded);
}

void SessionMachine::updateCommandEnded(qint64 nowUs)
{
    if (refusedForProduct())
        return;
    if (updateCommandAccepted(m_latest, m_config.baud))
        beginTransfer(nowUs);
    else
        finish(Result::NoAnswer, QStringLiteral("the device did not answer the update command"));
}

void SessionMachine::beginTransfer(qint64 nowUs)
{
    m_phase = Phase::Transfer;
    m_latest.clear();
    m_cursor = TransferCursor();
    m_transferStartUs = nowUs;
    notify(Note::TransferStarted);
    if (m_framesTotal == 0)
        beginEnd(nowUs);
    else
        sendFrame(nowUs);
}

void SessionMachine::sendFrame(qint64 nowUs)
{
    write(buildFrame(m_config.image, m_cursor.offset, m_cursor.block));
    m_wait = Wait::FrameAnswer;
    m_frameDeadlineUs = nowUs + timing::kReplyTimeoutMs * kUsPerMs;
    armFramePoll(nowUs);
}

// The next look at the answer: on the pace's grid, at the latest at the frame's deadline. Without
// a pace only the deadline is waited for, as the answer is judged when it is read.
void SessionMachine::armFramePoll(qint64 nowUs)
{
    m_waitDue = false;
    if (m_config.paceMs > 0)
        m_waitEndUs = qMin(nowUs + m_config.paceMs * kUsPerMs, m_frameDeadlineUs);
    else
        m_waitEndUs = m_frameDeadlineUs;
}

void SessionMachine::frameWaitEnded(qint64 nowUs)
{
    if (!m_latest.isEmpty()) {
        judgeFrame(nowUs);
        return;
    }
    if (m_cancelRequested) {
        finishCancelled();
        return;
    }
    if (nowUs >= m_frameDeadlineUs) {
        finish(Result::StoppedAnswering, QStringLiteral("no answer to frame %1 of %2 within %3 ms")
                                             .arg(framesAccepted() + 1)
                                             .arg(m_framesTotal)
                                             .arg(timing::kReplyTimeoutMs));
        return;
    }
    armFramePoll(nowUs);
}

void SessionMachine::judgeFrame(qint64 nowUs)
{
    const FrameVerdict verdict = frameVerdict(m_latest);
    m_latest.clear();
    m_waitEndUs = -1;
    m_waitDue = false;
    const int frame = framesAccepted() + 1;
    const FrameStep step = applyFrameVerdict(m_cursor, verdict, m_config.image.size());
    if (step == FrameStep::Refused) {
        finish(
            Result::Refused,
            verdict == FrameVerdict::Refused
                ? QStringLiteral("the device refused frame %1 of %2").arg(frame).arg(m_framesTotal)
                : QStringLiteral("the device answered frame %1 of %2 unclearly %3 times")
                      .arg(frame)
                      .arg(m_framesTotal)
                      .arg(timing::kMaxUnclearReplies));
        return;
    }
    if (step == FrameStep::Resend)
        ++m_resends;
    else
        notify(Note::FrameAccepted);
    if (m_cancelRequested) {
        finishCancelled();
        return;
    }
    if (step == FrameStep::AllSent)
        beginEnd(nowUs);
    else
        sendFrame(nowUs);
}

void SessionMachine::beginEnd(qint64 nowUs)
{
    m_phase = Phase::End;
    notify(Note::Ending);
    runSteps(nowUs, {protocol::endPause()}, &SessionMachine::sendEndByte);
}

void SessionMachine::sendEndByte(qint64 nowUs)
{
    m_endByteSent = true;
    runSteps(nowUs, {protocol::endByte()}, &SessionMachine::endWaitEnded);
}

// Any byte in the pause before the end byte or just after it confirms the update.
void SessionMachine::endWaitEnded(qint64 nowUs)
{
    if (!m_latest.isEmpty())
        updateConfirmed(nowUs);
    else
        finish(Result::EndNotConfirmed,
               QStringLiteral("all %1 frames were accepted, but the device did not confirm the end")
                   .arg(m_framesTotal));
}

void SessionMachine::updateConfirmed(qint64 nowUs)
{
    m_endConfirmed = true;
    if (!m_config.verify && !m_config.watchRestart) {
        finish(Result::Success, updatedText());
        return;
    }
    if (m_cancelRequested) {
        finish(Result::Cancelled, m_config.verify
                                      ? QStringLiteral("the update was confirmed; cancelled "
                                                       "before verification")
                                      : QStringLiteral("the update was confirmed; cancelled "
                                                       "before the device restarted"));
        return;
    }
    beginVerify(nowUs);
}

QString SessionMachine::updatedText() const
{
    const bool waited = (verifying() ? m_before : m_identity).waitingForFirmware;
    return QStringLiteral("updated: %1 frames").arg(m_framesTotal) +
           (waited ? QStringLiteral("; the device waited for firmware: its product was unknown, "
                                    "the image's name field was not checked")
                   : QString());
}

void SessionMachine::beginVerify(qint64 nowUs)
{
    m_phase = Phase::Verify;
    m_before = m_identity;
    m_identity = DeviceIdentity();
    m_verifyDeadlineUs = nowUs + timing::kRestartDeadlineMs * kUsPerMs;
    resetReply();
    push(Action::Kind::Close);
    notify(Note::Restarting);
    pause(nowUs, timing::kRestartSettleMs, &SessionMachine::reopen);
}

void SessionMachine::reopen(qint64 nowUs)
{
    Q_UNUSED(nowUs)
    m_wait = Wait::Open;
    push(Action::Kind::Open, m_config.baud);
}

void SessionMachine::retryAfterRestart(qint64 nowUs, const QString &why)
{
    resetReply();
    if (nowUs >= m_verifyDeadlineUs) {
        restartUnanswered(QStringLiteral("%1 (%2 s after the restart)")
                              .arg(why)
                              .arg(timing::kRestartDeadlineMs / 1000));
        return;
    }
    pause(nowUs, timing::kReopenRetryMs, &SessionMachine::reopen);
}

// The deadline passed without a verdict. Verification fails; a watched restart passes, as the
// end was confirmed.
void SessionMachine::restartUnanswered(const QString &why)
{
    if (m_config.verify) {
        finish(Result::VerifyFailed, why);
        return;
    }
    finish(Result::Success,
           updatedText() +
               (m_answeredWithoutIdentity
                    ? QStringLiteral("; after the restart the device answered without its identity")
                    : QStringLiteral("; no answer came within %1 s of the restart")
                          .arg(timing::kRestartDeadlineMs / 1000)));
}

void SessionMachine::judgeRestart(qint64 nowUs)
{
    const DeviceIdentity &now = m_identity;
    if (now.waitingForFirmware) {
        finish(Result::CameBackWaiting,
               QStringLiteral("came back waiting for firmware: the new firmware did not start"));
        return;
    }
    if (!now.productReceived || !m_latestHasIdentity) {
        if (m_config.verify) {
            finish(Result::VerifyFailed,
                   QStringLiteral("the device answered without its identity after the restart"));
            return;
        }
        // No verdict yet: its firmware may still be starting.
        m_answeredWithoutIdentity = true;
        attemptFailed(nowUs);
        return;
    }
    const QString other = otherUnitText();
    if (!other.isEmpty()) {
        finish(Result::VerifyFailed, other);
        return;
    }
    if (!m_config.verify) {
        finish(Result::Success,
               updatedText() +
                   QStringLiteral("; back with version %1")
                       .arg(now.version.isEmpty() ? QStringLiteral("unknown") : now.version));
        return;
    }
    if (!m_config.expectVersion.isEmpty() && !sameVersion(now.version, m_config.expectVersion)) {
        finish(Result::VerifyFailed, QStringLiteral("the device reports version \"%1\", not \"%2\"")
                                         .arg(now.version, m_config.expectVersion.trimmed()));
        return;
    }
    finish(Result::Success, QStringLiteral("updated and verified: %1 frames, version %2")
                                .arg(m_framesTotal)
                                .arg(now.version));
}

// What tells that the device after the restart is not the one updated, if anything: a new serial
// format looks the same as another unit seated while it restarted, and neither is updated again.
QString SessionMachine::otherUnitText() const
{
    const DeviceIdentity &now = m_identity;
    if (m_before.productReceived && now.product != m_before.product)
        return QStringLiteral("the product was \"%1\", now it is \"%2\"")
            .arg(m_before.product, now.product);
    // A device that waited for firmware told nothing before: the image's name field is the
    // product it must now report.
    if (!m_before.productReceived &&
        !nameFieldAccepted(m_config.image, expectedNameField(now.product), true))
        return QStringLiteral("the device now reports product \"%1\", not the image's")
            .arg(now.product);
    if (!m_before.serialNumber.isEmpty() && now.serialNumber != m_before.serialNumber)
        return QStringLiteral("serial number was %1, now %2: a new serial format or another unit "
                              "seated \u2014 check it")
            .arg(m_before.serialNumber,
                 now.serialNumber.isEmpty() ? QStringLiteral("none") : now.serialNumber);
    return QString();
}

void SessionMachine::finishCancelled()
{
    QString where;
    if (verifying())
        where = QStringLiteral("while waiting for the restart; the update was confirmed");
    else if (m_transferStartUs >= 0)
        where = QStringLiteral("after %1 of %2 frames; the device waits for firmware")
                    .arg(framesAccepted())
                    .arg(m_framesTotal);
    else if (m_updateCommandSent)
        where = QStringLiteral("after the update command; the device may wait for firmware");
    else
        where = QStringLiteral("before the update started");
    finish(Result::Cancelled, QStringLiteral("cancelled %1").arg(where));
}

void SessionMachine::finish(Result result, const QString &message)
{
    m_finishedIn = m_phase;
    m_phase = Phase::Done;
    m_wait = Wait::None;
    m_result = result;
    m_message = message;
    m_waitEndUs = -1;
    m_gatherEndUs = -1;
    m_waitDue = false;
    push(Action::Kind::Finish);
}

} // namespace flash
