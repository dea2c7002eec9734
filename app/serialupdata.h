#pragma once

#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QSerialPort>
#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class QTranslator;
class Ui_SerialUpdata;

class SerialUpdata : public QMainWindow
{
    Q_OBJECT

public:
    explicit SerialUpdata(QWidget *parent = nullptr);
    ~SerialUpdata() override;

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

private:
    void applyTranslatedTexts(const QString &title);
    void appendLine(const QString &stampedText);
    static QString timeStamp();

    void connectNineSixHundred();
    void connectFast();
    bool openPort(qint32 baudRate, const QString &openFailedText);
    void enterConnected();
    void closePortIfOpen();
    void retirePort(QSerialPort *port);
    // A port error enables the connect button while a slot still waits, so a click can connect
    // anew inside that wait. The new link then owns the window: the waiting slot must stop.
    bool linkReplaced(const QPointer<QSerialPort> &port) const { return !port || serial != port; }
    bool waitOnLink(const QPointer<QSerialPort> &port, int ms);
    void releaseRetiredPorts();
    bool loadImage(const QString &fileName, QByteArray &image);
    bool checkImageName(const QByteArray &image);

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

    // Port objects replaced by a new connect. A port may still be emitting readyRead further
    // down the stack (a connect click can run nested inside recv_data's wait), so it is only
    // handed to deleteLater once no recv_data runs any more.
    int recvDepth = 0;
    QList<QSerialPort *> retiredPorts;
};
