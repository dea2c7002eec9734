#pragma once

#include "alarm.h"
#include "steadyclock.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;

// A device on the far end of a pseudo-terminal (Linux only). The tool opens slavePath() with
// QSerialPort; the simulator answers on the master side, in the caller's thread and event loop.
//
// Console mode answers the function-0x41 frame and the info queries with the identity reply and
// enters receive mode on "updata\n". Receive mode takes 132-byte frames (the device's own
// checksum rule), answers ACK/NAK and ends with EOT. Fault switches count frames by arrival,
// 1-based, duplicates and bad frames included, from the start of the current transfer (entering
// receive mode, or a restart by CAN or "updata\n" while receiving).
//
// With line speed on, bytes take the time the line's current rate gives them (10 bits a byte) in
// each direction, as on a physical line rather than a pty; off, everything happens at once.
class DeviceSimulator : public QObject
{
    Q_OBJECT

public:
    enum Behaviour {
        Normal,
        Silent,             // records everything, answers nothing
        WaitingForFirmware, // bootloader already in receive mode, sending unasked NAKs
    };
    Q_ENUM(Behaviour)

    // One chunk of traffic: microseconds since the first start(), the line rate at that moment.
    // With line speed on, received chunks are stamped when taken in, sent ones when written.
    struct Received
    {
        qint64 atUs = 0;
        qint32 baud = 0;
        QByteArray bytes;
    };

    explicit DeviceSimulator(QObject *parent = nullptr);
    ~DeviceSimulator() override;

    // Opens a fresh pty pair (and the link, if one is set); after hangUp() the kernel may reuse the
    // number once the tool has closed the old slave too. Returns true at once if already running.
    // hangUp() closes the pair and removes the link; the device keeps its state.
    bool start();
    void hangUp();
    bool isRunning() const { return m_masterFd >= 0; }
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_errorString; }
    qint32 currentBaud() const;

    // Hot-plug. The link is a symlink to slavePath() at a path of the caller's choosing, there
    // while the port is, as /dev/serial/by-id/ names come and go. A symlink already at the path is
    // replaced; anything else there makes it fail. Removed only while it still points at our pty.
    bool setLinkPath(const QString &path);
    QString linkPath() const { return m_linkPath; }
    // unplug(): the port vanishes (hang-up, link removed) and the device loses power. plug(): a
    // fresh pty and link appear and the device boots. Power loss drops whatever was pending: a
    // device cut off in receive mode boots waiting for firmware, one cut off during its restart
    // boots the new firmware (written before the end byte was answered).
    bool plug();
    void unplug();
    bool isPlugged() const { return m_plugged; }
    // On a port that stays: off, the device records what reaches the port and answers nothing; on,
    // it boots. Does nothing while unplugged (plugging powers it).
    void setPowered(bool on);
    bool isPowered() const { return m_powered; }
    // Another unit on the same port: the identity last given with this serial number (its version
    // too, not one an update installed) and the behaviour last set. Boots at once if powered.
    void swap(const QByteArray &serial);

    // Writes bytes as the device, recorded in sent(); for answers no switch describes.
    void send(const QByteArray &bytes);

    void setIdentity(const QByteArray &product, const QByteArray &serial,
                     const QByteArray &version);
    void setIdentityReply(const QByteArray &raw);
    QByteArray currentIdentityReply() const { return m_identityReply; }
    void setReplySplit(int parts, int gapMs);
    void setReplyDelayMs(int ms) { m_replyDelayMs = ms; }
    void setAnswerFunction41(bool answer) { m_answerFunction41 = answer; }
    // false: "updata\n" still starts receive mode, but without an answer.
    void setAnswerUpdate(bool answer) { m_answerUpdate = answer; }
    // Console-mode answer to "updata\n"; empty: 0x15 at 9600, a long text at other rates.
    void setUpdateAnswer(const QByteArray &answer) { m_updateAnswer = answer; }
    // 0 accepts any rate; otherwise bytes read at another rate are recorded but not understood.
    void setDeviceBaud(qint32 baud) { m_deviceBaud = baud; }

    void setBehaviour(Behaviour behaviour);
    Behaviour behaviour() const { return m_behaviour; }
    void setCancelAnswerDelayMs(int ms) { m_cancelAnswerDelayMs = ms; }
    void setUnaskedNakIntervalMs(int ms);

    // Fault switches; k <= 0 switches off. NAK, garble and hang-up fire once, then disarm.
    void setNakAtFrame(int k) { m_nakAtFrame = k; }
    // Frames k and later (and EOT) are still taken in but not answered; CAN is still answered.
    void setSilentFromFrame(int k) { m_silentFromFrame = k; }
    // Frames k to k + times - 1 get `reply` instead of their verdict (the frame itself is taken).
    void setGarbledAtFrame(int k, const QByteArray &reply = QByteArray("\x06\x06", 2),
                           int times = 1);
    void setHangUpAtFrame(int k) { m_hangUpAtFrame = k; }
    void setAnswerDelayMs(int ms) { m_answerDelayMs = ms; }
    void setAnswerEot(bool answer) { m_answerEot = answer; }
    // What the device answers the end byte with (default ACK); empty: nothing.
    void setEotAnswer(const QByteArray &answer) { m_eotAnswer = answer; }

    // Input is taken in only once its line time has passed, and answers are written only once
    // theirs has (each queued chunk whole, when its last byte is due). Switching off delivers
    // whatever is still on the line at once. The line's alarms keep real time: on a virtual
    // clock (steadyclock) line speed stays off.
    void setLineSpeed(bool on);
    bool lineSpeed() const { return m_lineSpeed; }
    // Bytes the tool has written that the line has not delivered yet (line speed only).
    int bytesOnLine() const;

    // The tool's USB adapter as an FTDI chip hands on what the device sends: held until ms have
    // passed since the first byte held, or at once when kAdapterHoldBytes are held (a full USB
    // packet). sent() keeps when the device sent, not when the tool got it. 0: not held (the
    // default). Bytes from the tool are not held.
    static constexpr int kAdapterHoldBytes = 62;
    void setAnswerLatencyMs(int ms);
    int answerLatencyMs() const { return m_answerLatencyMs; }

    // After EOT ends a transfer (its answer, if any, goes out first) the device restarts: for
    // silentMs it records but ignores everything, then it is a Normal device reporting
    // newVersion (empty: the version it had). silentMs < 0 switches restarts off (the default).
    void setRestartAfterUpdate(int silentMs, const QByteArray &newVersion);
    // Fault: after the silent time it is still the bootloader waiting for firmware, with its old
    // identity and an empty receivedImage(). Stays armed for every later restart.
    void setComesBackWaiting(bool waiting) { m_comesBackWaiting = waiting; }
    // After the restart it reports this serial number (new firmware, a new format); empty: its own.
    void setNewSerial(const QByteArray &serial) { m_newSerial = serial; }
    // True from EOT (already during transferFinished) until restarted().
    bool isRestarting() const { return m_restarting; }
    int restarts() const { return m_restarts; }

    QList<Received> record() const { return m_record; }
    QList<Received> sent() const { return m_sent; }
    QByteArray receivedBytes() const;
    QByteArray sentBytes() const;
    void clearRecord();

    bool inReceiveMode() const { return m_mode == Mode::Receive; }
    QByteArray receivedImage() const { return m_image; }
    int framesReceived() const { return m_framesReceived; }
    int framesAccepted() const { return m_framesAccepted; }
    int duplicateFrames() const { return m_duplicateFrames; }
    int badFrames() const { return m_badFrames; }
    bool eotReceived() const { return m_eotReceived; }

signals:
    void bytesReceived(const QByteArray &bytes);
    void bytesSent(const QByteArray &bytes);
    void receiveModeChanged(bool receiving);
    void transferFinished();
    void hungUp();
    // The silent time after an update is over.
    void restarted();
    void plugged();
    void unplugged();
    void poweredChanged(bool on);
    void swapped(const QByteArray &serial);

private:
    enum class Mode { Console, Receive };

    struct Incoming
    {
        qint64 startNs = 0; // the first byte starts on the line here
        qint32 baud = 0;
        QByteArray bytes;
        int taken = 0;
    };

    void onReadable();
    void takeIn(const QByteArray &bytes, qint32 baud);
    void queueIncoming(const QByteArray &bytes, qint32 baud);
    void takeDueInput();
    void scheduleIncoming();
    void writeNow(const QByteArray &bytes);
    qsizetype deliver(const QByteArray &bytes);
    void hold(const QByteArray &bytes);
    void deliverHeld();
    void scheduleOutgoing();
    void writeDueOutput();
    void flushLine();
    void beginRestart();
    void finishRestart();
    void installNewFirmware();
    void applyBehaviour(Behaviour behaviour);
    void dropLine();
    void cutPower();
    void boot();
    bool makeLink();
    void removeLink();
    void process();
    bool processConsole();
    bool processReceive();
    void handleFrame(const QByteArray &frame);
    void handleEot();
    void handleCancel();
    void enterReceiveMode();
    void restartTransfer();
    void leaveReceiveMode();
    void sendIdentity();
    void sendLater(int ms, const QByteArray &bytes);
    void sendPieces(QList<QByteArray> pieces, int delayMs, int gapMs);
    void sendCancelAnswer();
    void sendUnaskedNak();
    bool unaskedNakWanted() const;
    void updateUnaskedNakTimer();
    void closeFds();
    qint64 clockNs() const { return steadyclock::nowNs() - m_startNs; }

    int m_masterFd = -1;
    int m_slaveFd = -1;
    // Bumped on hang-up and restart so that answers still pending from before are dropped.
    quint64 m_session = 0;
    QString m_slavePath;
    QString m_errorString;
    QSocketNotifier *m_notifier = nullptr;
    qint64 m_startNs = -1; // the clock's time at the first start()
    QList<Received> m_record;
    QList<Received> m_sent;

    QByteArray m_identityReply;
    QByteArray m_unitReply; // what a fresh unit answers, before any update
    QByteArray m_updateAnswer;
    int m_replyParts = 1;
    int m_replyGapMs = 0;
    int m_replyDelayMs = 0;
    bool m_answerFunction41 = true;
    bool m_answerUpdate = true;
    qint32 m_deviceBaud = 0;

    Behaviour m_behaviour = Normal;
    Behaviour m_unitBehaviour = Normal;
    QString m_linkPath;
    bool m_plugged = false;
    bool m_powered = true;
    int m_cancelAnswerDelayMs = 3500;
    int m_unaskedNakIntervalMs = 1000;
    QTimer m_cancelAnswerTimer;
    QTimer m_unaskedNakTimer;

    int m_nakAtFrame = 0;
    int m_silentFromFrame = 0;
    int m_garbledAtFrame = 0;
    QByteArray m_garbledReply;
    int m_garbledTimes = 1;
    int m_hangUpAtFrame = 0;
    int m_answerDelayMs = 0;
    bool m_answerEot = true;
    QByteArray m_eotAnswer = QByteArray(1, '\x06');

    bool m_lineSpeed = false;
    QList<Incoming> m_incoming;
    qint64 m_rxFreeNs = 0;
    Alarm m_rxAlarm;
    QList<QByteArray> m_outgoing;
    qint64 m_txDueNs = -1; // when the first queued chunk may be written; -1: not scheduled
    Alarm m_txAlarm;
    int m_answerLatencyMs = 0;
    QByteArray m_held; // in the adapter, on its way to the tool
    Alarm m_heldAlarm;

    int m_restartSilentMs = -1;
    QByteArray m_newVersion;
    QByteArray m_newSerial;
    bool m_comesBackWaiting = false;
    bool m_restarting = false;
    int m_restarts = 0;
    QTimer m_restartTimer;

    Mode m_mode = Mode::Console;
    QByteArray m_input;
    QByteArray m_image;
    quint8 m_expectedBlock = 1;
    bool m_anyAccepted = false;
    int m_framesReceived = 0;
    int m_framesAccepted = 0;
    int m_duplicateFrames = 0;
    int m_badFrames = 0;
    bool m_eotReceived = false;
};
