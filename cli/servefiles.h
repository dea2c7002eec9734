#pragma once

#include "servesource.h"

#include <QHash>
#include <QJsonValue>
#include <QObject>
#include <QStringList>

#include <memory>
#include <mutex>

// --serve over record files: one station, no server at all. The files are read whole and then
// followed as they grow (a file watch and a look every second; only newline-terminated lines,
// as the shipper reads them); the summary comes from the shift report's reader in memory, so
// its figures are the report's.
namespace flash::serve {

class FileFollower;

class FileSource final : public Source
{
public:
    FileSource(const QStringList &files, Hub &hub);
    ~FileSource() override;

    // Reads what the files hold now, then follows them from this thread's event loop. The files
    // that cannot be followed (yet), with why, are said on standard error.
    void start();

    Answer summary(const QDateTime &since) override;
    Answer attempts(const AttemptsQuery &query) override;
    Answer unit(const QString &serial) override;

    // One whole line of a record file; `live` pushes it to the open pages.
    void addLine(const QByteArray &bytes, bool tooLong, bool live);

    struct Line
    {
        QByteArray bytes;
        QByteArray counted; // the fields the report counts, written compactly: read faster
        QString id;
        QString station;
        QString job;
        QString device; // serialNumber, else serialNumberAfter
        QString serialNumber;
        QString serialNumberAfter;
        QString result;
        QJsonValue quantity;
        qint64 timeMs = -1; // -1: no readable time
        qint64 durationMs = -1;
    };

private:
    struct Cached
    {
        qint64 sinceMs = 0;
        quint64 version = 0;
        qint64 madeMs = 0;
        QJsonObject summary;
    };
    std::vector<Line> linesSince(qint64 sinceMs, std::vector<Line> *all) const;
    QJsonObject makeSummary(const QDateTime &since);
    void sortedIndex(std::vector<int> *order) const;

    Hub &m_hub;
    QStringList m_files;
    std::unique_ptr<FileFollower> m_follower;
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
    QHash<QString, int> m_byId;
    quint64 m_version = 0;
    int m_malformed = 0;
    std::mutex m_summaryMutex;
    Cached m_cached;
};

} // namespace flash::serve
