#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

// What the page and its JSON API read, whatever holds the records (the plant database or record
// files), and the events pushed to open pages. Called from the HTTP server's threads.
namespace flash::serve {

// An answer of the API: an HTTP status and its JSON body.
struct Answer
{
    int status = 200;
    QJsonObject body;
    static Answer error(int status, const QString &text);
};

struct AttemptsQuery
{
    QDateTime since; // attempts that started at or after it
    QString afterId; // or: the attempts after this one (time, then id)
    QString station; // empty: all
    QString job;     // empty: all
    int limit = 0;
};

class Source
{
public:
    virtual ~Source() = default;
    // The figures since `since` (local midnight by default), for the line and per station.
    virtual Answer summary(const QDateTime &since) = 0;
    virtual Answer attempts(const AttemptsQuery &query) = 0;
    // Every attempt on the device with this serial number, before or after its update.
    virtual Answer unit(const QString &serial) = 0;
};

struct Event
{
    quint64 number = 0;
    QByteArray name; // attempt, status, reload
    QByteArray data; // JSON
};

// Events for the open pages: published by one thread, waited for by each page's own.
class Hub
{
public:
    void publish(const QByteArray &name, const QByteArray &data);
    // The events after `*after` (waits up to `timeoutMs` for one); `*after` moves past them. A
    // page so far behind that events were dropped gets one `reload`. False once closed.
    bool wait(quint64 *after, int timeoutMs, std::vector<Event> *events);
    quint64 last() const;
    void close();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Event> m_events;
    quint64 m_last = 0;
    bool m_closed = false;
};

} // namespace flash::serve
