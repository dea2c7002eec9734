#pragma once

#include <QByteArray>
#include <QElapsedTimer>
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
    struct Received
    {
        qint64 atUs = 0;
        qint32 baud = 0;
        QByteArray bytes;
    };

    explicit DeviceSimulator(QObject *parent = nullptr);
    ~DeviceSimulator() override;

    // Opens a fresh pty pair; after hangUp() the kernel may reuse the number once the tool has
    // closed the old slave too. Returns true at once if already running.
    bool start();
    void hangUp();
    bool isRunning() const { return m_masterFd >= 0; }
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_errorString; }
    qint32 currentBaud() const;

    // Writes bytes as the device, recorded in sent(); for answers no switch describes.
    void send(const QByteArray &bytes);

    static QByteArray identityReply(const QByteArray &product, const QByteArray &serial,
                                    const QByteArray &version);
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

private:
    enum class Mode { Console, Receive };

    void onReadable();
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

    int m_masterFd = -1;
    int m_slaveFd = -1;
    quint64 m_session = 0; // bumped on hang-up so pending answers of an old line are dropped
    QString m_slavePath;
    QString m_errorString;
    QSocketNotifier *m_notifier = nullptr;
    QElapsedTimer m_clock;
    QList<Received> m_record;
    QList<Received> m_sent;

    QByteArray m_identityReply;
    QByteArray m_updateAnswer;
    int m_replyParts = 1;
    int m_replyGapMs = 0;
    int m_replyDelayMs = 0;
    bool m_answerFunction41 = true;
    bool m_answerUpdate = true;
    qint32 m_deviceBaud = 0;

    Behaviour m_behaviour = Normal;
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
