#include "shipper.h"

#include "interrupt.h"
#include "pg.h"
#include "plantschema.h"
#include "planttiming.h"
#include "printers.h"
#include "recordtail.h"
#include "terminal.h"
#include "shipbatch.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <vector>

#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

using namespace planttiming;

// About 0.7 MB of lines per transaction: large enough that catching up is bound by the
// database's inserts, small enough that a stop request waits well under a second.
constexpr int kBatchLines = 1000;
constexpr qint64 kBatchBytes = 2 * 1024 * 1024;

struct Cursor
{
    std::unique_ptr<RecordTail> tail;
    bool positioned = false;  // the stored position was looked up
    bool behind = true;       // lines were shipped since it was last found at its end
    qint64 isolateUntil = -1; // one line per batch up to here: a batch was refused as data
    qint64 quietSize = -1;
    QElapsedTimer quiet; // since the size last changed
    QString readError;   // last said
    int watch = -1;
};

struct Followed
{
    QString path;
    std::vector<std::unique_ptr<Cursor>> old; // replaced or removed, oldest first
    std::unique_ptr<Cursor> current;
    QString said; // why the path cannot be followed, as last said
};

class Shipper : public QObject
{
public:
    explicit Shipper(const ShipSettings &settings);
    ~Shipper() override;
    int run();

private:
    void startWatching();
    void onWatch();
    void scan();
    void scanPath(Followed &f);
    void openCurrent(Followed &f);
    void addWatch(Cursor &c);
    void dropFinished(Followed &f);
    void queuePump();
    void pump();
    enum class Step { Shipped, Idle, Down };
    Step step(Cursor &c);
    Step ship(Cursor &c, const ShipBatch &batch, const QVector<TailLine> &lines);
    void shipped(Cursor &c, const ShipBatch &batch, qint64 inserted);
    bool position(Cursor &c);
    ShipFile fileOf(const Cursor &c) const;
    void connectNow();
    void lost(const QString &why);
    void stop();
    void event(const char *name, const QJsonObject &fields, const QString &plain = QString());

    ShipSettings m_settings;
    QString m_name; // the database as messages show it
    std::vector<Followed> m_paths;
    pg::Connection m_db;
    bool m_down = false; // the outage was said
    int m_retryMs = kFirstRetryMs;
    QTimer m_retry;
    QTimer m_rescan;
    QTimer m_lockRetry;
    bool m_pumpQueued = false;
    std::size_t m_next = 0;
    bool m_stopping = false;
    int m_status = 0;
    qint64 m_inserted = 0;
    qint64 m_duplicates = 0;
    qint64 m_rejected = 0;
    int m_inotify = -1;
    QHash<int, QString> m_folderWatches; // watch -> folder
    QSet<QString> m_watchedFolders;
    QSet<QString> m_followedPaths;
    QEventLoop *m_loop = nullptr;
};

Shipper::Shipper(const ShipSettings &settings)
    : m_settings(settings), m_name(pg::displayName(settings.target))
{
    QSet<QString> seen;
    for (const QString &file : settings.files) {
        const QString path = QFileInfo(file).absoluteFilePath();
        if (!seen.contains(path))
            m_paths.push_back(Followed{path, {}, nullptr, QString()});
        seen.insert(path);
        m_followedPaths.insert(path);
    }
    m_retry.setSingleShot(true);
    m_lockRetry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Shipper::connectNow);
    connect(&m_lockRetry, &QTimer::timeout, this, &Shipper::queuePump);
    connect(&m_rescan, &QTimer::timeout, this, [this] {
        scan();
        queuePump();
    });
}

Shipper::~Shipper()
{
#ifdef Q_OS_LINUX
    if (m_inotify >= 0)
        ::close(m_inotify);
#endif
}

void Shipper::event(const char *name, const QJsonObject &fields, const QString &plain)
{
    if (m_settings.json) {
        QJsonObject o = fields;
        o.insert(QStringLiteral("event"), QLatin1String(name));
        o.insert(QStringLiteral("time"), nowText());
        writeOut(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
    } else if (!plain.isEmpty()) {
        printStamped(plain);
    }
}

int Shipper::run()
{
    QJsonArray files;
    for (const Followed &f : m_paths)
        files.append(f.path);
    event("started", {{"station", m_settings.station}, {"files", files}, {"to", m_name}},
          QStringLiteral("shipping %1 file(s) as station %2 to %3")
              .arg(m_paths.size())
              .arg(m_settings.station, m_name));
    startWatching();
    scan();
    QEventLoop loop;
    m_loop = &loop;
    InterruptWatcher interrupts;
    connect(&interrupts, &InterruptWatcher::interruptRequested, this, &Shipper::stop);
    QTimer::singleShot(0, this, &Shipper::connectNow);
    m_rescan.start(kRescanMs);
    loop.exec();
    m_loop = nullptr;
    return m_status;
}

void Shipper::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    event("stopped",
          {{"inserted", m_inserted}, {"duplicates", m_duplicates}, {"rejected", m_rejected}},
          QStringLiteral("stopped: %1 attempts stored, %2 already there, %3 lines rejected")
              .arg(m_inserted)
              .arg(m_duplicates)
              .arg(m_rejected));
    if (m_loop)
        m_loop->exit(m_status);
}

// A watch on each record's folder wakes the shipper when a file there is written, created,
// renamed or removed; one on each open file follows it wherever it is renamed.
void Shipper::startWatching()
{
#ifdef Q_OS_LINUX
    if (m_inotify < 0) {
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0)
            return;
        auto *notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &Shipper::onWatch);
    }
    constexpr quint32 kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                      IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
    for (const Followed &f : m_paths) {
        const QString folder = QFileInfo(f.path).absolutePath();
        if (m_watchedFolders.contains(folder))
            continue;
        if (::inotify_add_watch(m_inotify, QFile::encodeName(folder).constData(), kFolderEvents) >=
            0)
            m_watchedFolders.insert(folder);
    }
#endif
}

void Shipper::addWatch(Cursor &c)
{
#ifdef Q_OS_LINUX
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(c.tail->descriptor());
    if (m_inotify >= 0)
        c.watch = ::inotify_add_watch(m_inotify, self.constData(),
                                      IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
#else
    Q_UNUSED(c)
#endif
}

// Other files in a record's folder (a busy /tmp) are none of our business.
void Shipper::onWatch()
{
    bool ours = false;
#ifdef Q_OS_LINUX
    alignas(inotify_event) char buffer[16 * 1024];
    ssize_t n = 0;
    while ((n = ::read(m_inotify, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
            const auto folder = m_folderWatches.constFind(e->wd);
            ours = ours || (e->mask & IN_Q_OVERFLOW) || folder == m_folderWatches.cend() ||
                   (e->len > 0 && m_followedPaths.contains(*folder + QLatin1Char('/') +
                                                           QFile::decodeName(e->name)));
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
#else
    ours = true;
#endif
    if (!ours)
        return;
    scan();
    queuePump();
}

void Shipper::scan()
{
    startWatching(); // a folder that did not exist before
    for (Followed &f : m_paths)
        scanPath(f);
}

void Shipper::scanPath(Followed &f)
{
    struct stat st
    {
    };
    const bool exists = ::stat(QFile::encodeName(f.path).constData(), &st) == 0;
    if (f.current && (!exists || quint64(st.st_dev) != f.current->tail->device() ||
                      quint64(st.st_ino) != f.current->tail->inode())) {
        const QString how = exists ? QStringLiteral("replaced") : QStringLiteral("removed");
        event("fileReplaced", {{"file", f.path}, {"how", how}});
        if (!exists)
            printError(QStringLiteral("the record file %1 was removed: what was written to it is "
                                      "still shipped, and a new file there will be followed")
                           .arg(f.path));
        f.old.push_back(std::move(f.current));
    }
    std::vector<Cursor *> cursors;
    for (auto &c : f.old)
        cursors.push_back(c.get());
    if (!f.current && exists)
        openCurrent(f);
    if (f.current)
        cursors.push_back(f.current.get());
    for (Cursor *c : cursors) {
        if (c->tail->refresh())
            continue;
        c->positioned = false;
        c->behind = true;
        event("fileReplaced", {{"file", f.path}, {"how", "truncated"}});
        printError(QStringLiteral("the record file %1 was truncated or written anew: shipping it "
                                  "from its start (lines stored already are not stored twice)")
                       .arg(f.path));
    }
    dropFinished(f);
}

void Shipper::openCurrent(Followed &f)
{
    QString error;
    std::unique_ptr<RecordTail> tail = RecordTail::open(f.path, &error);
    if (!tail) {
        if (f.said != error) {
            f.said = error;
            event("fileWaiting", {{"file", f.path}, {"reason", error}});
            printError(QStringLiteral("waiting for the record file %1: %2").arg(f.path, error));
        }
        return;
    }
    f.said.clear();
    f.current = std::make_unique<Cursor>();
    f.current->tail = std::move(tail);
    addWatch(*f.current);
}

// A replaced file is let go once it is shipped to its end and has been quiet for a while.
void Shipper::dropFinished(Followed &f)
{
    for (auto it = f.old.begin(); it != f.old.end();) {
        Cursor &c = **it;
        if (c.tail->size() != c.quietSize) {
            c.quietSize = c.tail->size();
            c.quiet.start();
        }
        const bool done = c.tail->firstId().isEmpty() || (c.positioned && !c.behind);
        if (!done || c.quiet.elapsed() < kOldFileQuietMs) {
            ++it;
            continue;
        }
        event("fileFinished", {{"file", c.tail->path()}});
#ifdef Q_OS_LINUX
        if (c.watch >= 0)
            ::inotify_rm_watch(m_inotify, c.watch);
#endif
        it = f.old.erase(it);
    }
}

void Shipper::queuePump()
{
    if (m_pumpQueued)
        return;
    m_pumpQueued = true;
    QTimer::singleShot(0, this, &Shipper::pump);
}

// One batch per turn of the loop, so that a stop request is taken between batches; the files
// take turns, and a path's replaced files go before its current one.
void Shipper::pump()
{
    m_pumpQueued = false;
    if (m_stopping || !m_db.isOpen())
        return;
    const std::size_t n = m_paths.size();
    for (std::size_t i = 0; i < n; ++i) {
        Followed &f = m_paths[(m_next + i) % n];
        std::vector<Cursor *> cursors;
        for (auto &c : f.old)
            cursors.push_back(c.get());
        if (f.current)
            cursors.push_back(f.current.get());
        for (Cursor *c : cursors) {
            const Step s = step(*c);
            if (s == Step::Down)
                return;
            if (s == Step::Shipped) {
                m_next = (m_next + i + 1) % n;
                queuePump();
                return;
            }
        }
    }
}

ShipFile Shipper::fileOf(const Cursor &c) const
{
    return {m_settings.station, c.tail->device(), c.tail->inode(), c.tail->firstId(),
            c.tail->path()};
}

bool Shipper::position(Cursor &c)
{
    bool found = false;
    qint64 offset = 0;
    qint64 lines = 0;
    QString error;
    if (!storedPosition(m_db, fileOf(c), &found, &offset, &lines, &error)) {
        lost(error);
        return false;
    }
    c.positioned = true;
    if (found && c.tail->lineStartsAt(offset)) {
        c.tail->setPosition(offset, lines + 1);
        event("resumed", {{"file", c.tail->path()}, {"offset", offset}, {"line", lines}});
    } else if (found) {
        printError(QStringLiteral("the position stored for %1 is not the end of a line in it: "
                                  "shipping it from its start (lines stored already are not "
                                  "stored twice)")
                       .arg(c.tail->path()));
    }
    return true;
}

Shipper::Step Shipper::step(Cursor &c)
{
    if (c.tail->firstId().isEmpty())
        return Step::Idle;
    if (!c.positioned && !position(c))
        return Step::Down;
    QVector<TailLine> lines;
    qint64 end = 0;
    QString error;
    const int most = c.tail->offset() < c.isolateUntil ? 1 : kBatchLines;
    switch (c.tail->read(most, kBatchBytes, &lines, &end, &error)) {
    case RecordTail::Read::Busy:
        m_lockRetry.start(kLockRetryMs);
        return Step::Idle;
    case RecordTail::Read::Failed:
        if (c.readError != error)
            printError(QStringLiteral("cannot read %1: %2").arg(c.tail->path(), error));
        c.readError = error;
        return Step::Idle;
    case RecordTail::Read::NoLine:
        if (c.behind)
            event("caughtUp",
                  {{"file", c.tail->path()},
                   {"offset", c.tail->offset()},
                   {"line", c.tail->nextLine() - 1}},
                  QStringLiteral("%1: up to date, %2 lines")
                      .arg(c.tail->path())
                      .arg(c.tail->nextLine() - 1));
        c.behind = false;
        return Step::Idle;
    case RecordTail::Read::Lines:
        break;
    }
    c.readError.clear();
    ShipBatch batch = prepareBatch(lines, end, m_settings.station);
    batch.linesBefore = c.tail->nextLine() - 1;
    return ship(c, batch, lines);
}

Shipper::Step Shipper::ship(Cursor &c, const ShipBatch &batch, const QVector<TailLine> &lines)
{
    const StoreOutcome out = storeBatch(m_db, fileOf(c), batch);
    if (out.ok) {
        shipped(c, batch, out.inserted);
        return Step::Shipped;
    }
    if (out.failure == pg::Failure::Data && lines.size() > 1) {
        // One line the database cannot hold must not hold back the others: one at a time.
        c.isolateUntil = batch.end;
        return Step::Shipped;
    }
    if (out.failure == pg::Failure::Data && lines.size() == 1) {
        ShipBatch refused = refusedBatch(lines.first(), batch.end, out.error);
        refused.linesBefore = batch.linesBefore;
        return ship(c, refused, {});
    }
    lost(out.failure == pg::Failure::Other
             ? QStringLiteral("it refused the lines: %1").arg(out.error)
             : out.error);
    return Step::Down;
}

void Shipper::shipped(Cursor &c, const ShipBatch &batch, qint64 inserted)
{
    c.tail->advance(batch.end, batch.lineCount);
    c.behind = true;
    const qint64 duplicates = batch.rows.size() - inserted;
    m_inserted += inserted;
    m_duplicates += duplicates;
    m_rejected += batch.rejects.size();
    for (const ShipReject &r : batch.rejects) {
        event("rejected", {{"file", c.tail->path()},
                           {"line", r.number},
                           {"offset", r.offset},
                           {"reason", r.reason}});
        printError(QStringLiteral("%1:%2: %3 (stored in rejects)")
                       .arg(c.tail->path())
                       .arg(r.number)
                       .arg(r.reason));
    }
    event("shipped", {{"file", c.tail->path()},
                      {"lines", batch.lineCount},
                      {"inserted", inserted},
                      {"duplicates", duplicates},
                      {"rejected", batch.rejects.size()},
                      {"offset", batch.end},
                      {"line", c.tail->nextLine() - 1}});
}

void Shipper::connectNow()
{
    if (m_stopping)
        return;
    QString error;
    if (!m_db.open(m_settings.target, &error)) {
        lost(error);
        return;
    }
    const SchemaState schema = ensureSchema(m_db, m_name, true);
    if (schema.outcome == SchemaState::Newer) {
        printError(schema.message);
        m_status = kNewerSchemaStatus;
        stop();
        return;
    }
    if (schema.outcome != SchemaState::Ready) {
        lost(schema.error);
        return;
    }
    event("connected", {{"to", m_name}, {"schemaVersion", kPlantSchemaVersion}},
          QStringLiteral("connected to %1").arg(m_name));
    if (m_down)
        printError(QStringLiteral("the plant database %1 is back: shipping resumes").arg(m_name));
    m_down = false;
    m_retryMs = 0;
    queuePump();
}

// A lost connection is tried again at once; after that the wait doubles up to its ceiling.
void Shipper::lost(const QString &why)
{
    m_db.close();
    const int delay = m_retryMs;
    m_retryMs = delay == 0 ? kFirstRetryMs : qMin(delay * 2, kMaxRetryMs);
    if (delay > 0 && !m_down) {
        m_down = true;
        printError(QStringLiteral("the plant database %1 cannot be used: %2").arg(m_name, why));
        printError(QStringLiteral("trying again in %1 s, then less and less often (at most "
                                  "every %2 s); the record files are still followed and nothing "
                                  "is lost")
                       .arg(delay / 1000.0)
                       .arg(kMaxRetryMs / 1000));
    }
    event("databaseDown", {{"reason", why}, {"retryInMs", delay}});
    m_retry.start(delay);
}

} // namespace

int runShip(const ShipSettings &settings)
{
    for (const QString &file : settings.files) {
        struct stat st
        {
        };
        if (::stat(QFile::encodeName(file).constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
            printError(QStringLiteral("cannot ship %1: %2")
                           .arg(file, S_ISDIR(st.st_mode) ? QStringLiteral("it is a folder")
                                                          : QStringLiteral("not a regular file")));
            return kUsageStatus;
        }
    }
    if (pg::targetHasPassword(settings.target))
        printError(QStringLiteral("the password in the database URL can be read by every user of "
                                  "this machine (ps): put it in a password file (PGPASSFILE) "
                                  "instead"));
    Shipper shipper(settings);
    return shipper.run();
}

} // namespace flash
