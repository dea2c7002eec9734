#pragma once

#include <QObject>

class QSocketNotifier;
class QTimer;

namespace flash {

// Turns SIGINT, SIGTERM and SIGHUP (Ctrl+C, a supervisor's stop, a closed terminal) into a signal
// in the event loop, so that every session can stop at a frame boundary and be recorded instead of
// the process dying.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

    bool interrupted() const { return m_interrupted; }

signals:
    void interruptRequested();

private:
    void deliver();

    bool m_interrupted = false;
    bool m_hangUpCaught = false;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_poll = nullptr;
};

} // namespace flash
