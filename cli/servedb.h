#pragma once

#include "servelive.h"
#include "servesource.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <thread>

// --serve over the plant database. The summary is computed in SQL (aggregates over the typed
// columns and their indexes) and put through the report's own rules (the flag rule) and JSON;
// new attempts come by LISTEN pelmar_attempts on a connection of their own, in a thread of their
// own. Request handlers take connections from a small pool, each with a statement time-out and
// read-only transactions: a read-only database user is enough.
namespace flash::serve {

class ConnectionPool;

} // namespace flash::serve

namespace flash::pg {
class Connection;
}

namespace flash::serve {

class DbSource final : public Source
{
public:
    DbSource(const QString &target, Hub &hub);
    ~DbSource() override;

    // Looks at the database once: 0, or the status (15: no pelmar tables; 16: a newer schema)
    // with the message. A database that cannot be reached now is only said (`*message`): the
    // page answers 503 until it can.
    int check(QString *message);
    // Starts listening for new attempts.
    void start();
    void stop();

    Answer summary(const QDateTime &since) override;
    Answer attempts(const AttemptsQuery &query) override;
    Answer unit(const QString &serial) override;

private:
    void listen();
    bool listenOnce(bool *down, bool *lost);
    bool follow(pg::Connection &db);
    std::unique_ptr<LiveDay> readDay(const QDateTime &since);
    bool takeDay(pg::Connection &db);
    void setLoading(bool loading);
    bool loadPastPasses(pg::Connection &db, LiveDay &day, const QStringList &jobs);
    bool addRows(pg::Connection &db, const std::vector<LiveRow> &rows);
    bool applyAttempts(pg::Connection &db, const QStringList &ids, bool push);
    // The day's version when `since` is the live day's, else 0.
    // The day's version when `since` is the day kept in memory (waiting while it is read), else 0.
    quint64 liveVersion(const QDateTime &since);
    Answer liveSummary();
    void pause(int ms);

    QString m_target;
    QString m_name;
    Hub &m_hub;
    std::unique_ptr<ConnectionPool> m_pool;
    std::atomic<bool> m_stop{false};
    std::thread m_listener;
    std::mutex m_dayMutex;
    std::unique_ptr<LiveDay> m_day;                    // today's counts, kept by the listener
    std::future<std::unique_ptr<LiveDay>> m_reading;   // the listener's: today being read
    std::vector<LiveRow> m_pending;                    // notified while today is read
    std::chrono::steady_clock::time_point m_readAgain; // after a failed read
    std::condition_variable m_dayChanged;
    bool m_dayLoading = false;
    // A summary made, and when; today's (kept in memory) and other times' (SQL) apart, so that a
    // long period asked by an MES never holds up the pages.
    struct Made
    {
        std::mutex mutex;
        qint64 sinceMs = 0;
        qint64 madeMs = 0;
        quint64 version = 0;
        QJsonObject summary;
    };
    Made m_today;
    Made m_other;
};

} // namespace flash::serve
