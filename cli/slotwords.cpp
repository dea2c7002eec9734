#include "slotwords.h"

#include "progress.h"
#include "protocol.h"

#include <QStringList>
#include <QtMath>

namespace flash {

namespace {

struct StateWords
{
    SlotState state;
    const char *text; // on the board, before what the state adds
    const char *json;
    const char *colour;
};

constexpr StateWords kStateWords[] = {
    {SlotState::Empty, "empty", "empty", ""},
    {SlotState::Identifying, "identifying", "identifying", "\x1b[36m"},
    {SlotState::Updating, "updating", "updating", "\x1b[36m"},
    {SlotState::Restarting, "restarting \u2014 leave in", "restarting", "\x1b[36m"},
    {SlotState::Pass, "PASS", "pass", "\x1b[1;32m"},
    {SlotState::Skip, "SKIP", "skip", "\x1b[1;33m"},
    {SlotState::Fail, "FAIL", "fail", "\x1b[1;31m"},
    {SlotState::InUse, "in use by another program", "inUse", "\x1b[35m"},
    {SlotState::SamePort, "same port as another slot", "samePort", "\x1b[35m"},
    {SlotState::CannotOpen, "cannot open", "cannotOpen", "\x1b[35m"},
    {SlotState::RemoveDevice, "remove device", "removeDevice", "\x1b[1;33m"},
    {SlotState::WaitingForPlace, "waiting for a place", "waitingForPlace", "\x1b[33m"},
    {SlotState::AlreadyDone, "ALREADY DONE", "alreadyDone", "\x1b[1;33m"},
    {SlotState::JobComplete, "job complete \u2014 remove device", "jobComplete", "\x1b[1;32m"},
};

const StateWords &wordsOf(SlotState state)
{
    for (const StateWords &w : kStateWords) {
        if (w.state == state)
            return w;
    }
    return kStateWords[0];
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

QString updatingText(const SessionMachine *m, qint64 nowUs, const RunFacts &facts)
{
    if (!m)
        return QString::fromUtf8(wordsOf(SlotState::Updating).text);
    if (m->transferStartUs() < 0 || m->verifying())
        return QStringLiteral("updating: %1").arg(activityText(*m));
    const ProgressFigures f =
        progressFigures(m->framesAccepted(), m->framesTotal(), facts.payloadBytes,
                        nowUs - m->transferStartUs(), facts.baud, facts.paceMs);
    return QStringLiteral("%1 % %2 s left").arg(f.percent).arg(qCeil(f.secondsLeft));
}

} // namespace

QString slotStateText(const SlotController &slot, qint64 nowUs, const RunFacts &facts)
{
    const SlotState state = slot.state();
    const QString word = QString::fromUtf8(wordsOf(state).text);
    const SlotVerdict &verdict = slot.lastVerdict();
    switch (state) {
    case SlotState::Updating:
        return updatingText(slot.session(), nowUs, facts);
    case SlotState::Pass:
        return joined({word, verdict.identity.serialNumber, verdict.identity.version});
    case SlotState::Skip:
        return joined({word, verdict.identity.version});
    case SlotState::AlreadyDone:
        return joined({word, verdict.identity.serialNumber});
    case SlotState::Fail:
        return joined({word, verdict.message});
    case SlotState::CannotOpen:
        return QStringLiteral("%1: %2").arg(word, slot.problem());
    case SlotState::SamePort:
        return slot.problem().isEmpty() ? word : slot.problem();
    default:
        return word;
    }
}

QString slotStateJsonWord(SlotState state)
{
    return QString::fromLatin1(wordsOf(state).json);
}

const char *slotStateColour(SlotState state)
{
    return wordsOf(state).colour;
}

} // namespace flash
