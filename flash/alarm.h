#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

// A single-shot alarm with microsecond resolution. Qt's timers round every wait up to a whole
// millisecond, which would stretch each 50 ms poll of a transfer by up to 2 %; on Linux a timerfd
// fires on time without any spinning. Elsewhere a precise QTimer stands in.
class Alarm : public QObject
{
    Q_OBJECT

public:
    explicit Alarm(QObject *parent = nullptr);
    ~Alarm() override;

    // Replaces any pending alarm; a delay of zero or less fires at the next turn of the loop.
    void startIn(qint64 delayUs);
    void stop();
    bool isActive() const { return m_active; }

signals:
    void fired();

private:
    void onReadable();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_timer;
    bool m_active = false;
};
