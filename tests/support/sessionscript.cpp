#include "sessionscript.h"

#include "protocol.h"

#include <algorithm>

using flash::Action;

SessionScript::SessionScript(const flash::SessionConfig &config, Device device)
    : m_machine(config), m_device(std::move(device))
{
}

void SessionScript::at(qint64 ms, std::function<void(SessionScript &)> what)
{
    m_pending.append({ms * 1000, QByteArray(), std::move(what)});
}

void SessionScript::cancel()
{
    tell(SessionObserver::Event::Cancel);
    apply(m_machine.cancel(m_nowUs));
}

void SessionScript::portError()
{
    m_open = false;
    tell(SessionObserver::Event::PortError);
    apply(m_machine.portError(m_nowUs, QStringLiteral("hang-up")));
}

void SessionScript::proceed()
{
    apply(m_machine.proceed(m_nowUs));
}

void SessionScript::skip(const QString &message)
{
    apply(m_machine.skip(m_nowUs, message));
}

void SessionScript::refuse(const QString &message)
{
    apply(m_machine.refuse(m_nowUs, message));
}

void SessionScript::deliver(qint64 afterMs, const QByteArray &bytes)
{
    m_pending.append({m_nowUs + afterMs * 1000, bytes, {}});
}

QVector<Written> SessionScript::frames() const
{
    QVector<Written> result;
    for (const Written &w : m_writes) {
        if (w.bytes.size() == protocol::kFrameSize && w.bytes.at(0) == protocol::SOH)
            result.append(w);
    }
    return result;
}

qint64 SessionScript::noteAtMs(flash::Note note) const
{
    for (const auto &n : m_notes) {
        if (n.second == note)
            return n.first;
    }
    return -1;
}

bool SessionScript::run(qint64 limitMs)
{
    if (m_nowUs == 0 && m_writes.isEmpty() && m_opens == 0) {
        apply(m_machine.start(0));
        if (m_observer)
            m_observer->settled(m_nowUs);
    }
    while (!m_machine.finished()) {
        if (!step(limitMs * 1000))
            return false;
    }
    return true;
}

void SessionScript::drain(qint64 limitMs)
{
    while (step(limitMs * 1000)) {
    }
    tell(SessionObserver::Event::Alarm);
    apply(m_machine.alarm(m_nowUs));
    if (m_observer)
        m_observer->settled(m_nowUs);
}

bool SessionScript::step(qint64 limitUs)
{
    const auto next = std::min_element(m_pending.begin(), m_pending.end(),
                                       [](const Pending &a, const Pending &b) {
                                           // Bytes before hooks at the same moment.
                                           if (a.atUs != b.atUs)
                                               return a.atUs < b.atUs;
                                           return !a.bytes.isEmpty() && b.bytes.isEmpty();
                                       });
    const qint64 alarm = m_machine.nextAlarmUs();
    const bool pendingFirst = next != m_pending.end() && (alarm < 0 || next->atUs <= alarm);
    if (!pendingFirst && alarm < 0)
        return false;
    const qint64 at = pendingFirst ? next->atUs : alarm;
    if (at > limitUs)
        return false;
    m_nowUs = qMax(m_nowUs, at);
    if (pendingFirst) {
        const Pending p = *next;
        m_pending.erase(next);
        if (p.hook) {
            p.hook(*this);
        } else if (m_open) {
            tell(SessionObserver::Event::Read, p.bytes);
            apply(m_machine.bytesArrived(m_nowUs, p.bytes));
        }
    } else {
        tell(SessionObserver::Event::Alarm);
        apply(m_machine.alarm(m_nowUs));
    }
    if (m_observer)
        m_observer->settled(m_nowUs);
    return true;
}

void SessionScript::tell(SessionObserver::Event event, const QByteArray &bytes)
{
    if (m_observer)
        m_observer->told(m_nowUs, event, bytes);
}

void SessionScript::apply(const QVector<Action> &actions)
{
    QVector<QPair<bool, QString>> opened;
    for (const Action &a : actions) {
        if (m_observer)
            m_observer->answered(m_nowUs, a);
        switch (a.kind) {
        case Action::Kind::Open: {
            ++m_opens;
            const bool fails = openFails && openFails(m_nowUs / 1000);
            m_open = !fails;
            m_baud = a.baud;
            opened.append(
                {!fails, fails ? QStringLiteral("No such file or directory") : QString()});
            if (!fails && m_device)
                m_device(Written{m_nowUs / 1000, 0, QByteArray()});
            break;
        }
        case Action::Kind::Close:
            m_open = false;
            // What was on its way is lost with the line.
            m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                           [](const Pending &p) { return !p.hook; }),
                            m_pending.end());
            break;
        case Action::Kind::SetBaud:
            m_baud = a.baud;
            break;
        case Action::Kind::Write: {
            const Written w{m_nowUs / 1000, m_baud, a.bytes};
            m_writes.append(w);
            if (m_device && m_open) {
                for (const auto &reply : m_device(w))
                    deliver(reply.first, reply.second);
            }
            break;
        }
        case Action::Kind::Notify:
            m_notes.append({m_nowUs / 1000, a.note});
            break;
        case Action::Kind::Finish:
            m_finishedAtUs = m_nowUs;
            break;
        }
    }
    for (const auto &o : opened) {
        tell(o.first ? SessionObserver::Event::Opened : SessionObserver::Event::OpenFailed);
        apply(m_machine.opened(m_nowUs, o.first, o.second));
    }
}

SessionScript::Device ScriptedDevice::asDevice()
{
    return [this](const Written &w) -> QVector<QPair<int, QByteArray>> {
        if (w.bytes.isEmpty()) {
            // The port was opened (again).
            if (++opensSeen > 1) {
                if (!identityAfterRestart.isEmpty())
                    identity = identityAfterRestart;
                waiting = waitingAfterRestart;
                framesSeen = 0;
            }
            return {};
        }
        if (onlyBaud != 0 && w.baud != onlyBaud)
            return {};
        const QByteArray nak(1, protocol::NAK);
        if (w.bytes == QByteArray(1, protocol::CAN))
            return waiting ? QVector<QPair<int, QByteArray>>{{3000 + cancelAnswerMs, nak}}
                           : QVector<QPair<int, QByteArray>>{};
        if (waiting) {
            if (w.bytes.size() == protocol::kFrameSize) {
                ++framesSeen;
                const QByteArray answer =
                    frameAnswer ? frameAnswer(framesSeen) : QByteArray(1, protocol::ACK);
                return answer.isEmpty() ? QVector<QPair<int, QByteArray>>{}
                                        : QVector<QPair<int, QByteArray>>{{answerMs, answer}};
            }
            if (w.bytes == QByteArray(1, protocol::EOT)) {
                waiting = false;
                return confirmsEnd ? QVector<QPair<int, QByteArray>>{{replyMs, endAnswer}}
                                   : QVector<QPair<int, QByteArray>>{};
            }
            return {};
        }
        if (w.bytes == protocol::function41Frame() || w.bytes == protocol::infoQuery() ||
            w.bytes == protocol::shortInfoQuery())
            return {{replyMs, identity}};
        if (w.bytes == protocol::updateCommand()) {
            waiting = true;
            if (!answersUpdate)
                return {};
            return {{replyMs, w.baud == protocol::kSlowBaud
                                  ? nak
                                  : QByteArrayLiteral("\r\nupdata\r\nready to receive\r\n")}};
        }
        return {};
    };
}
