#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

class QThread;

namespace flash {

class RecordWorker;

// What the record is doing, for the board and the JSON events.
struct RecordStatus
{
    QString file;
    bool waiting = false;  // a line has waited kRecordWaitNoticeMs or more
    int lines = 0;         // lines not written yet
    bool lockHeld = false; // by another process: why the oldest line waits
    qint64 waitedMs = 0;   // by the oldest line, when the status was told
};

// Where a run shows its record: the printers.
class RecordSink
{
public:
    virtual ~RecordSink() = default;
    virtual void recordChanged(const RecordStatus &) {}
    // A line for standard error, printed so that a live display stays whole.
    virtual void message(const QString &text);
};

// The "waiting" or "written again" sentence of a status, for standard error.
QString recordStatusText(const RecordStatus &status);

// --record for a run or a station. Lines are kept here, in order, until a thread of their own has
// taken the file's lock (never blocking: tried again every kRecordLockRetryMs), written and
// flushed them; the loop that times frames never waits for the record. Before each line the path
// is checked: a record removed or replaced mid-shift is made again at its path.
class RecordWriter : public QObject
{
    Q_OBJECT

public:
    explicit RecordWriter(QObject *parent = nullptr);
    ~RecordWriter() override;

    // Before the run; without a call nothing is recorded.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_worker != nullptr; }
    void setSink(RecordSink *sink) { m_sink = sink; }
    // Added to the message of a line that failed or stalled ("; what the run does about it").
    void setConsequence(const QString &text) { m_consequence = text; }

    // One attempt's line, without its end; `source` names the port or slot in messages.
    void append(const QByteArray &line, const QString &source);
    // No more lines: finished() follows once every line is written, or kRecordStopWaitMs later.
    void finish();
    // At once (a second Ctrl+C while the lines wait).
    void giveUp();
    // A line failed, or was given up at the end.
    bool lost() const { return m_failed || !m_givenUp.isEmpty(); }
    // After finished(): the lines given up, on standard error, each as its JSON line.
    void printUnwritten() const;

signals:
    // A line failed or has waited kRecordStallMs: a station stops taking devices.
    void troubled();
    void finished();

private:
    struct Pending
    {
        quint64 id;
        QByteArray line;
        QString source;
        qint64 sinceMs;
    };

    void written(quint64 id, bool ok, const QString &error);
    void lockBusy(quint64 id);
    void reopened(const QString &text);
    void armTimers();
    void noticeDue();
    void stallDue();
    void tell(const QString &text);
    RecordStatus status() const;
    void endIfDone();

    QString m_path;
    RecordSink *m_sink = nullptr;
    QString m_consequence;
    QThread *m_thread = nullptr;
    RecordWorker *m_worker = nullptr;
    std::shared_ptr<std::atomic<bool>> m_abandoned;
    QList<Pending> m_pending;
    quint64 m_nextId = 1;
    quint64 m_busyId = 0; // the last line whose lock was found held
    QElapsedTimer m_clock;
    QTimer m_notice;
    QTimer m_stall;
    QTimer m_stopWait;
    bool m_waitingTold = false;
    bool m_stallTold = false;
    bool m_failed = false;
    bool m_finishing = false;
    bool m_ended = false;
    QList<QByteArray> m_givenUp;
    bool m_givenUpLockHeld = false;
    bool m_stopWaitOver = false;
};

} // namespace flash
