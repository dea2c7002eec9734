#include "servesource.h"

#include "servetiming.h"

#include <chrono>

namespace flash::serve {

Answer Answer::error(int status, const QString &text)
{
    return Answer{status, QJsonObject{{QStringLiteral("error"), text}}};
}

void Hub::publish(const QByteArray &name, const QByteArray &data)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(Event{++m_last, name, data});
        while (m_events.size() > size_t(servetiming::kHubEvents))
            m_events.pop_front();
    }
    m_changed.notify_all();
}

bool Hub::wait(quint64 *after, int timeoutMs, std::vector<Event> *events)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_closed || m_last > *after; });
    if (m_closed)
        return false;
    if (m_last <= *after)
        return true;
    if (m_events.empty() || m_events.front().number > *after + 1) {
        events->push_back(Event{m_last, "reload", "{}"});
    } else {
        for (const Event &e : m_events) {
            if (e.number > *after)
                events->push_back(e);
        }
    }
    *after = m_last;
    return true;
}

quint64 Hub::last() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last;
}

void Hub::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}

} // namespace flash::serve
