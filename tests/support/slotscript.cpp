#include "slotscript.h"

#include "identity.h"
#include "protocol.h"

#include <algorithm>

using flash::OpenResult;
using flash::SlotAction;

SlotScript::SlotScript(const flash::SessionConfig &config, bool pathAtStart, const QString &plan)
    : m_slot(config), m_path(pathAtStart)
{
    states.append({0, m_slot.state()});
    for (const QString &step : plan.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        QStringList w = step.simplified().split(QLatin1Char(' '));
        const qint64 ms = w.takeFirst().toLongLong();
        const QString verb = w.takeFirst();
        m_pending.append({ms * 1000, w.join(QLatin1Char(' ')).toLatin1(), verb});
    }
}

void SlotScript::act(const QString &verb, const QByteArray &args)
{
    if (verb.startsWith(QLatin1String("opened"))) {
        const auto result = OpenResult(verb.right(1).toInt());
        apply(m_slot.opened(m_nowUs, result, QStringLiteral("No such file or directory")));
    } else if (verb == QLatin1String("plug") || verb == QLatin1String("on") ||
               verb == QLatin1String("swap")) {
        seat(verb, args);
    } else if (verb == QLatin1String("unplug") || verb == QLatin1String("off")) {
        m_device = nullptr;
        dropBytes();
    }
    if (verb == QLatin1String("plug") || verb == QLatin1String("appear")) {
        m_path = true;
        apply(m_slot.pathAppeared(m_nowUs));
    } else if (verb == QLatin1String("unplug") || verb == QLatin1String("vanish")) {
        m_path = false;
        if (std::exchange(m_open, false)) {
            dropBytes();
            apply(m_slot.portError(m_nowUs, QStringLiteral("hang-up")));
        }
        apply(m_slot.pathVanished(m_nowUs));
    } else if (verb == QLatin1String("busy") || verb == QLatin1String("free")) {
        m_inUse = verb == QLatin1String("busy");
    } else if (verb == QLatin1String("cancel")) {
        apply(m_slot.cancel(m_nowUs));
    } else if (verb == QLatin1String("stop")) {
        apply(m_slot.stopTakingDevices(m_nowUs));
    }
}

void SlotScript::seat(const QString &verb, const QByteArray &args)
{
    dropBytes();
    if (verb == QLatin1String("on") && args.isEmpty() && !m_devices.empty()) {
        m_device = m_devices.back()->asDevice();
        return;
    }
    m_devices.push_back(std::make_unique<ScriptedDevice>());
    ScriptedDevice &d = *m_devices.back();
    const QList<QByteArray> words = args.split(' ');
    const QByteArray serial = args.isEmpty() ? QByteArray("SN0001") : words.first();
    QByteArray serialAfter = serial;
    for (const QByteArray &w : words) {
        if (w.startsWith("back-as:"))
            serialAfter = w.mid(8);
    }
    d.identity = identityReply("PM-100", serial, "V1.0.0");
    d.identityAfterRestart = identityReply("PM-100", serialAfter, "V1.1.0");
    d.waitingAfterRestart = words.contains("back-waiting");
    d.onlyBaud = words.contains("fast-only") ? protocol::kFastBaud : 0;
    if (words.contains("refuse"))
        d.frameAnswer = [](int) { return QByteArray(1, protocol::NAK); };
    // Seated on a port already open: the next open is the one after its restart.
    d.opensSeen = m_open ? 1 : 0;
    m_device = d.asDevice();
}

void SlotScript::dropBytes()
{
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [](const Pending &p) { return p.verb.isEmpty(); }),
                    m_pending.end());
}

void SlotScript::run(qint64 untilMs)
{
    if (m_nowUs == 0 && writes.isEmpty())
        apply(m_slot.start(0, m_path));
    for (;;) {
        // Device bytes before plan steps at the same moment.
        const auto next = std::min_element(m_pending.begin(), m_pending.end(),
                                           [](const Pending &a, const Pending &b) {
                                               if (a.atUs != b.atUs)
                                                   return a.atUs < b.atUs;
                                               return a.verb.isEmpty() && !b.verb.isEmpty();
                                           });
        const qint64 alarm = m_slot.nextAlarmUs();
        const bool pendingFirst = next != m_pending.end() && (alarm < 0 || next->atUs <= alarm);
        const qint64 at = pendingFirst ? next->atUs : alarm;
        if ((!pendingFirst && alarm < 0) || at > untilMs * 1000)
            break;
        m_nowUs = qMax(m_nowUs, at);
        if (!pendingFirst) {
            apply(m_slot.alarm(m_nowUs));
            continue;
        }
        const Pending p = *next;
        m_pending.erase(next);
        if (!p.verb.isEmpty())
            act(p.verb, p.bytes);
        else if (m_open)
            apply(m_slot.bytesArrived(m_nowUs, p.bytes));
    }
    m_nowUs = qMax(m_nowUs, untilMs * 1000);
}

void SlotScript::runTogether(const QVector<SlotScript *> &fixture, flash::JobQuota &quota,
                             qint64 untilMs, int *maxCommitted, qint64 stepMs)
{
    quint64 told = quota.generation();
    for (qint64 t = 0; t <= untilMs; t += stepMs) {
        for (SlotScript *s : fixture)
            s->run(t);
        *maxCommitted = qMax(*maxCommitted, quota.inProgress() + quota.passed());
        if (quota.generation() == told)
            continue;
        told = quota.generation();
        for (SlotScript *s : fixture)
            s->apply(s->m_slot.quotaMoved(s->m_nowUs));
    }
}

void SlotScript::apply(const QVector<SlotAction> &actions)
{
    for (const SlotAction &a : actions) {
        if (a.kind == SlotAction::Kind::Open) {
            const OpenResult result = !m_path   ? OpenResult::Failed
                                      : m_inUse ? OpenResult::InUse
                                                : OpenResult::Opened;
            m_open = result == OpenResult::Opened;
            m_baud = a.baud;
            if (m_open && m_device)
                m_device(Written{m_nowUs / 1000, 0, QByteArray()});
            // Answered on the next turn, as a driver does.
            m_pending.append({m_nowUs, QByteArray(), QStringLiteral("opened%1").arg(int(result))});
        } else if (a.kind == SlotAction::Kind::Close || a.kind == SlotAction::Kind::Release) {
            m_open = false;
            dropBytes();
        } else if (a.kind == SlotAction::Kind::SetBaud) {
            m_baud = a.baud;
        } else if (a.kind == SlotAction::Kind::Write) {
            writes.append({m_nowUs / 1000, m_baud, a.bytes});
            if (m_device && m_open) {
                for (const auto &reply : m_device(writes.constLast()))
                    m_pending.append({m_nowUs + reply.first * 1000, reply.second, QString()});
            }
        } else if (a.kind == SlotAction::Kind::Record) {
            records << flash::resultName(m_slot.attempt()->result()) + QLatin1Char(' ') +
                           m_slot.attempt()->identityBefore().serialNumber;
        } else if (a.kind == SlotAction::Kind::StateChanged &&
                   states.constLast().second != m_slot.state()) {
            states.append({m_nowUs / 1000, m_slot.state()});
        }
    }
}
