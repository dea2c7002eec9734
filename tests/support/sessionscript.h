#pragma once

#include "identity.h"
#include "session.h"

#include <QByteArray>
#include <QPair>
#include <QVector>

#include <functional>

// One write of the session as the device sees it: when (ms of the virtual clock), at which rate.
struct Written
{
    qint64 atMs = 0;
    qint32 baud = 0;
    QByteArray bytes;
};

// Sees what a scripted session's machine is told and what it answers, in order.
class SessionObserver
{
public:
    enum class Event { Read, Alarm, Cancel, PortError, Opened, OpenFailed };
    virtual ~SessionObserver() = default;
    virtual void told(qint64 us, Event event, const QByteArray &bytes) = 0;
    virtual void answered(qint64 us, const flash::Action &action) = 0;
    // After each event of the clock, once the machine has answered it.
    virtual void settled(qint64 us) = 0;
};

// Runs a SessionMachine on a virtual clock against a scripted device, without ports or timers:
// events are taken in time order (device bytes first at equal times), so a whole update takes no
// real time.
class SessionScript
{
public:
    // The device's answers to one write: (delay in ms, bytes), each arriving as one read.
    using Device = std::function<QVector<QPair<int, QByteArray>>(const Written &)>;

    explicit SessionScript(const flash::SessionConfig &config, Device device);

    // Something that happens to the session at a given time (a cancel, a port error).
    void at(qint64 ms, std::function<void(SessionScript &)> what);
    void cancel();
    void portError();
    // Answers at the session's gate (SessionConfig::gateAfterConnect).
    void proceed();
    void skip(const QString &message);
    void refuse(const QString &message);
    void deliver(qint64 afterMs, const QByteArray &bytes);
    // Opens fail while this returns true (the port is gone while the device restarts).
    std::function<bool(qint64 ms)> openFails;

    // Until the session finishes or nothing more can happen; false if it did not finish.
    bool run(qint64 limitMs = 10 * 60 * 1000);
    // Hands what is still pending to the machine even after it finished, then one more alarm.
    void drain(qint64 limitMs = 10 * 60 * 1000);
    // Not owned; null: nobody watches.
    void observe(SessionObserver *observer) { m_observer = observer; }

    const flash::SessionMachine &machine() const { return m_machine; }
    qint64 nowMs() const { return m_nowUs / 1000; }
    qint64 finishedAtMs() const { return m_finishedAtUs / 1000; }
    const QVector<Written> &writes() const { return m_writes; }
    // Writes of 132 bytes starting with SOH.
    QVector<Written> frames() const;
    // When the machine noted it, -1 if it never did (the first time only).
    qint64 noteAtMs(flash::Note note) const;
    int opens() const { return m_opens; }

private:
    struct Pending
    {
        qint64 atUs;
        QByteArray bytes;
        std::function<void(SessionScript &)> hook;
    };

    // Takes the next event in time order; false when there is none up to the limit.
    bool step(qint64 limitUs);
    void apply(const QVector<flash::Action> &actions);
    void tell(SessionObserver::Event event, const QByteArray &bytes = QByteArray());

    flash::SessionMachine m_machine;
    Device m_device;
    SessionObserver *m_observer = nullptr;
    qint64 m_nowUs = 0;
    qint64 m_finishedAtUs = -1;
    qint32 m_baud = 0;
    bool m_open = false;
    int m_opens = 0;
    QVector<Pending> m_pending;
    QVector<Written> m_writes;
    QVector<QPair<qint64, flash::Note>> m_notes;
};

// A device that keeps the contract, with switches for the faults the tests need.
struct ScriptedDevice
{
    QByteArray identity = identityReply("PM-100", "SN0001", "V1.0.0");
    bool waiting = false;      // a bootloader: answers the cancel byte with a lone NAK
    int cancelAnswerMs = 500;  // after the 3 s that the tool discards
    int replyMs = 5;           // identity and update answers, well inside every window
    int answerMs = 12;         // a frame's answer after the frame
    bool answersUpdate = true; // "updata\n": NAK at 9600, a long text at 115200
    bool confirmsEnd = true;
    QByteArray endAnswer = QByteArray(1, '\x06'); // with confirmsEnd
    // The answer to the n-th frame (1-based, by arrival); empty: none. Default: ACK.
    std::function<QByteArray(int frame)> frameAnswer;
    // After a confirmed end: what the device is once opened again (restarts with verify).
    QByteArray identityAfterRestart;
    bool waitingAfterRestart = false;
    qint32 onlyBaud = 0; // takes only what is written at this rate; 0: any

    int framesSeen = 0;
    int opensSeen = 0;

    // Bound to this object: it must outlive the script.
    SessionScript::Device asDevice();
};
