#pragma once

#include "adapterlatency.h"
#include "portlock.h"

#include <QByteArray>
#include <QEventLoop>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QSerialPort>
#include <QString>

class QAction;
class QCloseEvent;
class QMenu;
class QMenuBar;
class QMessageBox;
class QTranslator;
class Ui_SerialUpdata;

class SerialUpdata : public QMainWindow
{
    Q_OBJECT

public:
    explicit SerialUpdata(QWidget *parent = nullptr);
    ~SerialUpdata() override;

    // What the user can reach in each situation (windowstates.cpp has the table). Every outcome of
    // a slot ends in one of these, so no path leaves a control usable out of sequence.
    enum class WindowState {
        Disconnected,  // nothing open: choose port and rate, connect, switch the language
        Connecting,    // from the connect click to its outcome: nothing else can start
        ConnectFailed, // as Disconnected, but a lost link keeps the language locked
        Connected,     // browse for an image
        ReadyToUpdate, // connected with an image chosen: Update too
        Updating,      // from the Update press to its outcome: nothing else can start
        ImageRejected, // unreadable image or one for another product: browse again
        UpdateRefused, // the device refused a frame: only Disconnect
        LinkLost,      // the device went silent: Connect again, same port and rate
        UpdateEnded,   // completed or unconfirmed: all locked while the device restarts
    };

    // The slot names below, odd spellings included, are the window's published interface: the
    // form's connections and the tests reach them by name, so they stay as they are.
public slots:
    void setChianse();
    void setEnglish();
    void setGermany();
    void setJapan();

private slots:
    void on_pBtn_glance_clicked();
    void on_pBtn_open_clicked();
    void recv_data();
    void Send_data(QString fileName);
    void on_pBtn_UpGrade_clicked();
    int fandata(int num);
    void delay(int ms);
    void SerialError(QSerialPort::SerialPortError);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void enterState(WindowState state);

    // What the language menu calls each language: the Chinese texts name them in their own
    // tongues, under keys of their own.
    struct LanguageNames
    {
        QString chinese;
        QString english;
        QString german;
        QString japanese;
    };
    void installCatalogue(const QString &catalogue, const QString &title);
    void applyTranslatedTexts(const QString &title, const LanguageNames &names);
    void appendLine(const QString &stampedText);
    void appendArrowLine(const QString &text);
    static QString timeStamp();
    void wait(int ms, QEventLoop::ProcessEventsFlags flags);

    // Connect and disconnect
    void disconnectLink();
    bool openPort(qint32 baudRate, const QString &openFailedText);
    void connectNineSixHundred();
    void connectFast();
    enum class AttemptEnd { Waiting, Answered, NoAnswer, Stopped };
    AttemptEnd fastAttempt(const QPointer<QSerialPort> &port);
    bool pollForCancelAnswer(const QPointer<QSerialPort> &port);
    bool pollForReply(const QPointer<QSerialPort> &port, int polls, int pollMs);
    bool queryAfterSwitchingRates(const QPointer<QSerialPort> &port);
    void showIdentityAndConnect(const QString &stamp, const QString &connectedText);
    void connectFailed();
    void linkUp();
    void closePortIfOpen();
    void retirePort(QSerialPort *port);
    // A port error enables the connect button while a slot still waits, so a click can connect
    // anew inside that wait. The new link then owns the window: the waiting slot must stop.
    bool linkReplaced(const QPointer<QSerialPort> &port) const { return !port || serial != port; }
    bool linkLive(const QPointer<QSerialPort> &port) const
    {
        return !linkReplaced(port) && port->isOpen();
    }
    bool waitOnLink(const QPointer<QSerialPort> &port, int ms);
    void releaseRetiredPorts();

    // Closing while an update runs (closing.cpp)
    void updateBegins();
    void updateEnds();
    void askBeforeClosing();
    void stopUpdateForClose();
    void drainAndClosePort();

    // Update start
    void updateStartFailed(const QPointer<QSerialPort> &port, const QString &bps);

    // Transfer
    bool loadImage(const QString &fileName, QByteArray &image);
    void showPacketCount(int imageSize);
    bool checkImageName(const QByteArray &image);
    enum class FrameWait { Answered, NoResponse, PortError, LinkReplaced };
    FrameWait awaitFrameAnswer(const QPointer<QSerialPort> &port);
    enum class SendEnd { AllSent, Refused, NoResponse, PortError, LinkReplaced };
    SendEnd sendFrames(const QPointer<QSerialPort> &port, const QByteArray &image);
    void endTransfer(const QPointer<QSerialPort> &port);
    void transferLostPort();
    void transferNoResponse();

    Ui_SerialUpdata *ui;
    QMenu *optionsMenu;
    QMenu *languageMenu;
    QMenuBar *menuBar;
    QAction *actionChinese;
    QAction *actionEnglish;
    QAction *actionJapanese;
    QAction *actionGerman;
    QTranslator *translator;
    QSerialPort *serial;
    QString deviceInfo;
    QByteArray recvBuffer;
    QString firmwarePath;
    QString deviceName;
    bool deviceNameReceived;
    bool portErrorFlag;
    int connectAttempts;
    bool linkEstablished;

    // Set by a connection, cleared by a disconnect or a port error: until then the language stays
    // as it was, because a switch refills the baud list and the next connect reads it.
    bool languageLocked = false;
    // Port objects replaced by a new connect. A port may still be emitting readyRead further
    // down the stack (a connect click can run nested inside recv_data's wait), so it is only
    // handed to deleteLater once no recv_data runs any more.
    int recvDepth = 0;
    QList<QSerialPort *> retiredPorts;
    bool inSerialError = false;
    // The waits now on the stack and the window's close, which depends on them. A close during an
    // update asks first (Asking); "stop and close" quits every wait and makes new ones return at
    // once (Stopping); then, or at once when the link was already gone (Closing), the window
    // closes when the update's slots and their waits have unwound.
    enum class CloseState { Open, Asking, Stopping, Closing };
    struct Waits
    {
        QList<QEventLoop *> active; // their local loops, innermost last
        CloseState close = CloseState::Open;

        bool stopping() const { return close == CloseState::Stopping; }
        bool closeRequested() const { return stopping() || close == CloseState::Closing; }
    } waits;

    // Update slots on the stack; the link the outermost one started on.
    int updateDepth = 0;
    QPointer<QSerialPort> updatePort;
    QPointer<QMessageBox> closeQuestion; // while Asking
    // Held while `serial` is open, so no other program reaches the port under another name.
    ports::PortLock portLock;
    // The USB adapter's latency timer, lowered while `serial` is open and put back as it closes.
    ports::AdapterLatency adapterLatency;
};
