#include "servefiles.h"

#include "recordline.h"
#include "planttiming.h"
#include "record.h"
#include "recordtail.h"
#include "servedata.h"
#include "servetiming.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMap>
#include <QSet>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace flash::serve {

namespace {

using namespace servetiming;

// The station's lock is held for one write and its flush: look again this soon.
constexpr int kBusyRetryMs = 20;
constexpr int kReadLines = 1000;
constexpr qint64 kReadBytes = 2 * 1024 * 1024;

// What the report and the page count: the fields the report reads, as written.
constexpr RecordField kCountedFields[] = {RecordField::Time,
                                          RecordField::Port,
                                          RecordField::AdapterSerial,
                                          RecordField::SerialNumber,
                                          RecordField::SerialNumberAfter,
                                          RecordField::Result,
                                          RecordField::ImageSha256,
                                          RecordField::Image,
                                          RecordField::DurationMs,
                                          RecordField::Station,
                                          RecordField::Job};

bool parseLine(const QByteArray &bytes, FileSource::Line *line, QJsonObject *object)
{
    QString reason;
    if (!parseRecordLine(bytes, object, &reason))
        return false;
    line->bytes = bytes;
    line->id = attemptId(*object);
    QJsonObject counted;
    for (const RecordField field : kCountedFields) {
        const QJsonValue v = object->value(recordKey(field));
        if (!v.isUndefined())
            counted.insert(recordKey(field), v);
    }
    line->counted = QJsonDocument(counted).toJson(QJsonDocument::Compact);
    // As the report reads it.
    const ReadRecord read = readRecord(*object);
    const AttemptRecord &r = read.record;
    line->station = r.station;
    line->job = r.job;
    line->serialNumber = r.serialNumber;
    line->serialNumberAfter = r.serialNumberAfter;
    line->device = r.serialNumber.isEmpty() ? r.serialNumberAfter : r.serialNumber;
    line->result = read.result;
    line->quantity = object->value(recordKey(RecordField::Quantity));
    line->timeMs = r.time.isValid() ? r.time.toMSecsSinceEpoch() : -1;
    line->durationMs = r.durationMs;
    return true;
}

QJsonObject shown(const FileSource::Line &line)
{
    const QJsonObject o = QJsonDocument::fromJson(line.bytes).object();
    return attemptJson(o, line.id, QString());
}

void say(const QString &text)
{
    std::fprintf(stderr, "pelmar-flash: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

// Follows the record files: each is read to its end at every look; a file replaced at its path
// is read to its end first, a truncated one read again from its start (its attempts are known by
// their ids, so nothing counts twice).
class FileFollower : public QObject
{
public:
    FileFollower(const QStringList &paths, FileSource &source) : m_source(source)
    {
        for (const QString &p : paths)
            m_paths.push_back(Followed{QFileInfo(p).absoluteFilePath(), nullptr, QString(), {}});
        connect(&m_rescan, &QTimer::timeout, this, [this] { scan(true); });
    }
    ~FileFollower() override
    {
#ifdef Q_OS_LINUX
        if (m_inotify >= 0)
            ::close(m_inotify);
#endif
    }
    void start()
    {
        watch();
        scan(false);
        m_rescan.start(kFileRescanMs);
    }

private:
    // A file replaced at the path is still read while its writer may add to it.
    struct Old
    {
        std::unique_ptr<RecordTail> tail;
        qint64 size = -1;
        QElapsedTimer quiet; // since its size last changed
    };
    struct Followed
    {
        QString path;
        std::unique_ptr<RecordTail> tail;
        QString said;
        std::vector<Old> old;
    };

    void watch()
    {
#ifdef Q_OS_LINUX
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0)
            return;
        auto *notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            alignas(inotify_event) char buffer[16 * 1024];
            while (::read(m_inotify, buffer, sizeof buffer) > 0) {
            }
            scan(true);
        });
        QSet<QString> folders;
        for (const Followed &f : m_paths)
            folders.insert(QFileInfo(f.path).absolutePath());
        for (const QString &folder : folders)
            ::inotify_add_watch(m_inotify, QFile::encodeName(folder).constData(),
                                IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_MODIFY |
                                    IN_CLOSE_WRITE);
#endif
    }

    void scan(bool live)
    {
        for (Followed &f : m_paths)
            scanPath(f, live);
    }

    void scanPath(Followed &f, bool live)
    {
        struct stat st
        {
        };
        const bool exists = ::stat(QFile::encodeName(f.path).constData(), &st) == 0;
        if (f.tail && (!exists || quint64(st.st_dev) != f.tail->device() ||
                       quint64(st.st_ino) != f.tail->inode())) {
            f.old.push_back(Old{std::move(f.tail), -1, {}});
            f.old.back().quiet.start();
        }
        drainOld(f, live);
        if (!f.tail && exists)
            open(f);
        if (!f.tail)
            return;
        f.tail->refresh();
        drain(*f.tail, live);
    }

    void drainOld(Followed &f, bool live)
    {
        for (auto it = f.old.begin(); it != f.old.end();) {
            drain(*it->tail, live);
            if (it->tail->size() != it->size) {
                it->size = it->tail->size();
                it->quiet.start();
            }
            if (it->quiet.elapsed() >= planttiming::kOldFileQuietMs)
                it = f.old.erase(it);
            else
                ++it;
        }
    }

    void open(Followed &f)
    {
        QString error;
        f.tail = RecordTail::open(f.path, &error);
        if (!f.tail && f.said != error)
            say(QStringLiteral("cannot read the record file %1: %2").arg(f.path, error));
        f.said = f.tail ? QString() : error;
    }

    void drain(RecordTail &tail, bool live)
    {
        QVector<TailLine> lines;
        qint64 end = 0;
        QString error;
        for (;;) {
            const RecordTail::Read r = tail.read(kReadLines, kReadBytes, &lines, &end, &error);
            if (r == RecordTail::Read::Busy)
                QTimer::singleShot(kBusyRetryMs, this, [this] { scan(true); });
            if (r != RecordTail::Read::Lines)
                return;
            for (const TailLine &l : lines)
                m_source.addLine(l.bytes, l.tooLong(), live);
            tail.advance(end, lines.size());
        }
    }

    FileSource &m_source;
    std::vector<Followed> m_paths;
    QTimer m_rescan;
    int m_inotify = -1;
};

FileSource::FileSource(const QStringList &files, Hub &hub) : m_hub(hub), m_files(files) {}

FileSource::~FileSource() = default;

void FileSource::start()
{
    m_follower = std::make_unique<FileFollower>(m_files, *this);
    m_follower->start();
}

void FileSource::addLine(const QByteArray &bytes, bool tooLong, bool live)
{
    Line line;
    QJsonObject object;
    if (bytes.trimmed().isEmpty())
        return;
    const bool ok = !tooLong && parseLine(bytes, &line, &object);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ok) {
            ++m_malformed;
            return;
        }
        if (m_byId.contains(line.id))
            return;
        m_byId.insert(line.id, int(m_lines.size()));
        m_lines.push_back(line);
        ++m_version;
    }
    if (live)
        m_hub.publish(
            "attempt",
            QJsonDocument(attemptJson(object, line.id, QString())).toJson(QJsonDocument::Compact));
}

namespace {

using Lines = std::vector<const FileSource::Line *>;

ShiftReport reportOf(const Lines &lines, const QDateTime &since)
{
    ReportFilter filter;
    // In UTC, as the lines' times are read: compared without asking the time zone rules.
    filter.since = since.toUTC();
    ReportReader reader(filter);
    int number = 0;
    for (const FileSource::Line *l : lines)
        reader.readLine(QStringLiteral("record"), ++number, l->counted, l->id);
    return reader.finish();
}

QVector<Hour> hoursOf(const Lines &lines, const QDateTime &since, qint64 lastMs)
{
    const qint64 sinceMs = since.toMSecsSinceEpoch();
    QVector<Hour> hours(hourCount(sinceMs, lastMs));
    for (const FileSource::Line *l : lines) {
        const int h = hourIndex(sinceMs, l->timeMs);
        if (h < 0 || h >= hours.size())
            continue;
        ++hours[h].attempts;
        hours[h].passed += l->result == resultName(Result::Success) ? 1 : 0;
        hours[h].failed +=
            l->result != resultName(Result::Success) && l->result != resultName(Result::Skipped)
                ? 1
                : 0;
    }
    return hours;
}

QJsonValue nameOrNull(const QString &name)
{
    return name.isEmpty() ? QJsonValue() : QJsonValue(name);
}

struct Job
{
    QSet<QString> passed;
    QJsonValue quantity;
    qint64 quantityTimeMs = -2;
};

} // namespace

QJsonObject FileSource::makeSummary(const QDateTime &since)
{
    const qint64 sinceMs = since.toMSecsSinceEpoch();
    std::vector<Line> today;
    QMap<QString, StationTimes> times;
    QMap<QString, Job> jobs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Line &l : m_lines) {
            StationTimes &t = times[l.station];
            if (l.timeMs >= 0 && l.timeMs >= t.lastMs) {
                t.lastMs = l.timeMs;
                t.lastEndMs = l.timeMs + qMax<qint64>(0, l.durationMs);
            }
            if (l.timeMs >= sinceMs) {
                today.push_back(l);
                if (!l.job.isEmpty())
                    jobs[l.job];
            }
        }
        // A job counts its passes over the whole record, not only today.
        for (const Line &l : m_lines) {
            const auto job = jobs.find(l.job);
            if (l.job.isEmpty() || job == jobs.end())
                continue;
            if (l.result == resultName(Result::Success) && !l.device.isEmpty())
                job->passed.insert(l.device);
            if (!l.quantity.isUndefined() && l.timeMs >= job->quantityTimeMs) {
                job->quantity = l.quantity;
                job->quantityTimeMs = l.timeMs;
            }
        }
    }
    Lines all;
    QMap<QString, Lines> byStation;
    qint64 lastMs = -1;
    for (const Line &l : today) {
        all.push_back(&l);
        byStation[l.station].push_back(&l);
        lastMs = qMax(lastMs, l.timeMs);
    }
    const QJsonObject line = figuresJson(reportOf(all, since), since, hoursOf(all, since, lastMs));
    QJsonArray stations;
    for (auto it = times.cbegin(); it != times.cend(); ++it) {
        const Lines lines = byStation.value(it.key());
        // One station's record: its figures are the line's.
        QJsonObject s = lines.size() == all.size() ? line
                                                   : figuresJson(reportOf(lines, since), since,
                                                                 hoursOf(lines, since, lastMs));
        s.insert(QStringLiteral("station"), nameOrNull(it.key()));
        addTimes(&s, it.value());
        stations.append(s);
    }
    QJsonArray jobList;
    for (auto it = jobs.cbegin(); it != jobs.cend(); ++it)
        jobList.append(QJsonObject{{QStringLiteral("job"), it.key()},
                                   {QStringLiteral("passed"), int(it->passed.size())},
                                   {QStringLiteral("quantity"),
                                    it->quantity.isUndefined() ? QJsonValue() : it->quantity}});
    QJsonObject summary = summaryJson(since, QStringLiteral("files"), line, stations, jobList);
    summary.insert(QStringLiteral("files"), QJsonArray::fromStringList(m_files));
    return summary;
}

Answer FileSource::summary(const QDateTime &since)
{
    std::lock_guard<std::mutex> once(m_summaryMutex);
    quint64 version = 0;
    int malformed = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        version = m_version;
        malformed = m_malformed;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Without new lines only the clock moves: the chart's hours.
    constexpr qint64 kIdleRefreshMs = 60 * 1000;
    if (m_cached.summary.isEmpty() || m_cached.sinceMs != since.toMSecsSinceEpoch() ||
        m_cached.version != version || now - m_cached.madeMs > kIdleRefreshMs) {
        m_cached = Cached{since.toMSecsSinceEpoch(), version, now, makeSummary(since)};
        m_cached.summary.insert(QStringLiteral("malformedLines"), malformed);
    }
    return Answer{200, m_cached.summary};
}

void FileSource::sortedIndex(std::vector<int> *order) const
{
    for (int i = 0; i < int(m_lines.size()); ++i) {
        if (m_lines[size_t(i)].timeMs >= 0)
            order->push_back(i);
    }
    std::stable_sort(order->begin(), order->end(), [this](int a, int b) {
        const Line &x = m_lines[size_t(a)];
        const Line &y = m_lines[size_t(b)];
        return x.timeMs != y.timeMs ? x.timeMs < y.timeMs : x.id < y.id;
    });
}

Answer FileSource::attempts(const AttemptsQuery &q)
{
    std::vector<Line> picked;
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto cursor = m_byId.constFind(q.afterId);
        if (!q.afterId.isEmpty() && cursor == m_byId.cend())
            return Answer::error(400, QStringLiteral("since is neither an ISO 8601 time nor the "
                                                     "id of an attempt"));
        std::vector<int> order;
        sortedIndex(&order);
        std::vector<int> matching;
        for (int i : order) {
            const Line &l = m_lines[size_t(i)];
            if ((q.station.isEmpty() || l.station == q.station) &&
                (q.job.isEmpty() || l.job == q.job))
                matching.push_back(i);
        }
        size_t from = matching.size() > size_t(q.limit) ? matching.size() - size_t(q.limit) : 0;
        if (!q.afterId.isEmpty() || q.since.isValid()) {
            const Line *after = q.afterId.isEmpty() ? nullptr : &m_lines[size_t(*cursor)];
            const qint64 sinceMs = q.since.isValid() ? q.since.toMSecsSinceEpoch() : 0;
            from = 0;
            while (from < matching.size()) {
                const Line &l = m_lines[size_t(matching[from])];
                const bool past = after ? (l.timeMs > after->timeMs ||
                                           (l.timeMs == after->timeMs && l.id > after->id))
                                        : l.timeMs >= sinceMs;
                if (past)
                    break;
                ++from;
            }
        }
        for (size_t i = from; i < matching.size() && picked.size() < size_t(q.limit); ++i)
            picked.push_back(m_lines[size_t(matching[i])]);
        more = from + picked.size() < matching.size();
    }
    QJsonArray list;
    for (const Line &l : picked)
        list.append(shown(l));
    return Answer{
        200, QJsonObject{{QStringLiteral("attempts"), list},
                         {QStringLiteral("next"), picked.empty() ? QJsonValue() : picked.back().id},
                         {QStringLiteral("more"), more}}};
}

Answer FileSource::unit(const QString &serial)
{
    std::vector<Line> found;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<int> order;
        sortedIndex(&order);
        for (int i : order) {
            const Line &l = m_lines[size_t(i)];
            if (!serial.isEmpty() && (l.serialNumber == serial || l.serialNumberAfter == serial))
                found.push_back(l);
        }
    }
    const bool cut = found.size() > size_t(kUnitMax);
    if (cut)
        found.erase(found.begin(), found.end() - kUnitMax);
    QJsonArray list;
    for (const Line &l : found)
        list.append(shown(l));
    return Answer{200, QJsonObject{{QStringLiteral("serialNumber"), serial},
                                   {QStringLiteral("attempts"), list},
                                   {QStringLiteral("truncated"), cut}}};
}

} // namespace flash::serve
