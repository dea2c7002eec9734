#include "recordwriter.h"

#include "record.h"
#include "terminal.h"
#include "timing.h"

#include <QThread>

namespace flash {

// Lives in the writer's thread: takes the lock without blocking, writes and flushes in order.
class RecordWorker : public QObject
{
    Q_OBJECT

public:
    RecordWorker(std::unique_ptr<RecordFile> file, std::shared_ptr<std::atomic<bool>> abandoned)
        : m_file(std::move(file)), m_abandoned(std::move(abandoned))
    {
        m_retry.setSingleShot(true);
        m_retry.setInterval(timing::kRecordLockRetryMs);
        connect(&m_retry, &QTimer::timeout, this, &RecordWorker::writeQueued);
    }

    void add(quint64 id, const QByteArray &line)
    {
        m_queue.append({id, line});
        if (!m_retry.isActive())
            writeQueued();
    }

signals:
    void written(quint64 id, bool ok, const QString &error);
    void lockBusy(quint64 id);
    void reopened(const QString &text);

private:
    void writeQueued();
    bool samePath(QString *error);

    std::unique_ptr<RecordFile> m_file;
    std::shared_ptr<std::atomic<bool>> m_abandoned;
    QList<QPair<quint64, QByteArray>> m_queue;
    QTimer m_retry{this}; // a child, so that it moves to the thread with its owner
    quint64 m_busyTold = 0;
};

void RecordWorker::writeQueued()
{
    // Once given up, a line is on standard error: it is not started here as well.
    while (!m_queue.isEmpty() && !m_abandoned->load()) {
        const quint64 id = m_queue.first().first;
        QString error;
        if (!samePath(&error)) {
            emit written(id, false, error);
            m_queue.removeFirst();
            continue;
        }
        const LockResult lock = m_file->tryLock(&error);
        if (lock == LockResult::Busy) {
            if (m_busyTold != id)
                emit lockBusy(id);
            m_busyTold = id;
            m_retry.start();
            return;
        }
        const bool ok =
            lock == LockResult::Locked && m_file->appendLocked(m_queue.first().second, &error);
        m_queue.removeFirst();
        emit written(id, ok, error);
    }
    m_queue.clear();
}

// Lines must not go on into a file nobody can find any more.
bool RecordWorker::samePath(QString *error)
{
    if (m_file->pathNamesFile())
        return true;
    if (!m_file->reopen(error)) {
        *error = QStringLiteral("it was removed or replaced, and cannot be opened again: %1")
                     .arg(*error);
        return false;
    }
    emit reopened(QStringLiteral("the record file %1 was removed or replaced: the lines from now "
                                 "on go to the file now at that path (earlier lines are not in it)")
                      .arg(m_file->path()));
    return true;
}

void RecordSink::message(const QString &text)
{
    printError(text);
}

QString recordStatusText(const RecordStatus &s)
{
    if (!s.waiting)
        return QStringLiteral("the record file %1 has taken the lines that waited").arg(s.file);
    return QStringLiteral("the record file %1 is waiting: %2 %3 not written yet (%4); kept in "
                          "memory and written as soon as it can be")
        .arg(s.file)
        .arg(s.lines)
        .arg(s.lines == 1 ? QStringLiteral("line") : QStringLiteral("lines"))
        .arg(s.lockHeld ? QStringLiteral("another program holds its lock")
                        : QStringLiteral("the disk has not finished a write"));
}

RecordWriter::RecordWriter(QObject *parent) : QObject(parent)
{
    m_clock.start();
    // Coarse timers end up to 5 % early: the figures are stated.
    for (QTimer *timer : {&m_notice, &m_stall, &m_stopWait}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_notice, &QTimer::timeout, this, &RecordWriter::noticeDue);
    connect(&m_stall, &QTimer::timeout, this, &RecordWriter::stallDue);
    connect(&m_stopWait, &QTimer::timeout, this, [this] {
        m_stopWaitOver = true;
        giveUp();
    });
}

RecordWriter::~RecordWriter()
{
    if (!m_thread)
        return;
    m_abandoned->store(true);
    m_thread->quit();
    // A thread stuck in the disk is left behind: waiting for it would hang the exit.
    if (m_thread->wait(timing::kRecordThreadEndMs))
        delete m_thread;
}

bool RecordWriter::open(const QString &path, QString *error)
{
    auto file = std::make_unique<RecordFile>();
    if (!file->open(path, error))
        return false;
    m_path = path;
    m_abandoned = std::make_shared<std::atomic<bool>>(false);
    m_thread = new QThread;
    m_worker = new RecordWorker(std::move(file), m_abandoned);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &RecordWorker::written, this, &RecordWriter::written);
    connect(m_worker, &RecordWorker::lockBusy, this, &RecordWriter::lockBusy);
    connect(m_worker, &RecordWorker::reopened, this, &RecordWriter::tell);
    m_thread->start();
    return true;
}

void RecordWriter::append(const QByteArray &line, const QString &source)
{
    if (!m_worker)
        return;
    if (m_ended) { // nothing waits for it any more
        m_failed = true;
        printError(QStringLiteral("record not written: %1").arg(QString::fromUtf8(line)));
        return;
    }
    const quint64 id = m_nextId++;
    m_pending.append({id, line, source, m_clock.elapsed()});
    RecordWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, id, line] { worker->add(id, line); }, Qt::QueuedConnection);
    if (m_pending.size() == 1)
        armTimers();
    else if (m_waitingTold && m_sink)
        m_sink->recordChanged(status());
}

void RecordWriter::finish()
{
    m_finishing = true;
    if (m_pending.isEmpty())
        QTimer::singleShot(0, this, &RecordWriter::endIfDone);
    else
        m_stopWait.start(timing::kRecordStopWaitMs);
}

void RecordWriter::giveUp()
{
    if (!m_finishing || m_ended)
        return;
    m_givenUpLockHeld = status().lockHeld;
    m_abandoned->store(true);
    for (const Pending &p : qAsConst(m_pending))
        m_givenUp << p.line;
    m_pending.clear();
    endIfDone();
}

void RecordWriter::printUnwritten() const
{
    if (m_givenUp.isEmpty())
        return;
    const QString when =
        m_stopWaitOver
            ? QStringLiteral("within %1 s of the end").arg(timing::kRecordStopWaitMs / 1000)
            : QStringLiteral("before the second interrupt");
    printError(QStringLiteral("the record file %1 did not take %2 %3 %4 (%5); each follows as its "
                              "JSON line after \"record not written: \"")
                   .arg(m_path)
                   .arg(m_givenUp.size())
                   .arg(m_givenUp.size() == 1 ? QStringLiteral("line") : QStringLiteral("lines"),
                        when,
                        m_givenUpLockHeld ? QStringLiteral("another program holds its lock")
                                          : QStringLiteral("the disk did not finish a write")));
    for (const QByteArray &line : m_givenUp)
        printError(QStringLiteral("record not written: %1").arg(QString::fromUtf8(line)));
}

void RecordWriter::written(quint64 id, bool ok, const QString &error)
{
    // Lines are written in order; one given up is no longer here.
    if (m_pending.isEmpty() || m_pending.first().id != id)
        return;
    const Pending p = m_pending.takeFirst();
    if (!ok) {
        m_failed = true;
        tell(QStringLiteral("record not written for %1: cannot append to the record file %2: %3%4")
                 .arg(p.source, m_path, error, m_consequence));
        tell(QStringLiteral("record not written: %1").arg(QString::fromUtf8(p.line)));
        emit troubled();
    }
    if (m_waitingTold) {
        m_waitingTold = !m_pending.isEmpty();
        if (m_sink)
            m_sink->recordChanged(status());
        if (!m_waitingTold)
            tell(recordStatusText(status()));
    }
    if (m_pending.isEmpty())
        m_stallTold = false;
    armTimers();
    endIfDone();
}

void RecordWriter::lockBusy(quint64 id)
{
    m_busyId = id;
}

void RecordWriter::armTimers()
{
    if (m_pending.isEmpty()) {
        m_notice.stop();
        m_stall.stop();
        return;
    }
    const qint64 waited = m_clock.elapsed() - m_pending.first().sinceMs;
    if (!m_waitingTold)
        m_notice.start(int(qMax<qint64>(0, timing::kRecordWaitNoticeMs - waited)));
    if (!m_stallTold)
        m_stall.start(int(qMax<qint64>(0, timing::kRecordStallMs - waited)));
}

void RecordWriter::noticeDue()
{
    m_waitingTold = true;
    const RecordStatus s = status();
    tell(recordStatusText(s));
    if (m_sink)
        m_sink->recordChanged(s);
}

void RecordWriter::stallDue()
{
    m_stallTold = true;
    tell(QStringLiteral("the record file %1 has not taken a line for %2 s (%3)%4; lines it has "
                        "not taken by the end go to standard error")
             .arg(m_path)
             .arg(timing::kRecordStallMs / 1000)
             .arg(status().lockHeld ? QStringLiteral("another program holds its lock")
                                    : QStringLiteral("the disk has not finished a write"),
                  m_consequence));
    emit troubled();
}

void RecordWriter::tell(const QString &text)
{
    if (m_sink)
        m_sink->message(text);
    else
        printError(text);
}

RecordStatus RecordWriter::status() const
{
    RecordStatus s;
    s.file = m_path;
    s.waiting = m_waitingTold;
    s.lines = m_pending.size();
    if (!m_pending.isEmpty()) {
        s.lockHeld = m_busyId == m_pending.first().id;
        s.waitedMs = m_clock.elapsed() - m_pending.first().sinceMs;
    }
    return s;
}

void RecordWriter::endIfDone()
{
    if (!m_finishing || m_ended || !m_pending.isEmpty())
        return;
    m_ended = true;
    m_stopWait.stop();
    m_notice.stop();
    m_stall.stop();
    emit finished();
}

} // namespace flash

#include "recordwriter.moc"
