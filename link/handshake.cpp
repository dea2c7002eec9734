#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "protocol.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

void SerialUpdata::delay(int ms)
{
    if (ms <= 0)
        return;
    // Sleeps in a local event loop instead of spinning: every event is still handled as it comes,
    // and waits nest (recv_data waits inside the waits of the other slots). Qt rounds each timer
    // wait up to a whole millisecond, which would stretch every 50 ms poll of a transfer by about
    // 2 %, so the loop is asked to wake a little early and the last stretch is slept in steps of
    // a tenth of a millisecond, still handling events between them.
    QElapsedTimer clock;
    clock.start();
    const qint64 deadlineNs = qint64(ms) * 1000000;
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (qint64 left = deadlineNs; left > 0; left = deadlineNs - clock.nsecsElapsed()) {
        if (left > 2000000) {
            timer.start(static_cast<int>(left / 1000000) - 1);
            // A loop ended while its timer still runs means the application is quitting: stop
            // waiting rather than spin until the time is up.
            if (loop.exec() != 0 || timer.isActive())
                return;
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QThread::usleep(static_cast<unsigned long>(qMin<qint64>(left / 1000, 100)));
        }
    }
}

void SerialUpdata::on_pBtn_open_clicked()
{
    ui->pgBar->setValue(0);
    ui->pBtn_open->setEnabled(false);

    if (ui->pBtn_open->text() != tr("连接")) {
        ui->txt_Route->clear();
        ui->comboBox_Bps->setEnabled(true);
        ui->comboBox_COM->setEnabled(true);
        ui->pBtn_open->setText(tr("连接"));
        ui->pBtn_UpGrade->setEnabled(false);
        ui->pBtn_glance->setEnabled(false);
        ui->pBtn_open->setEnabled(true);
        closePortIfOpen();
        optionsMenu->setEnabled(true);
        recvBuffer = QByteArray();
        return;
    }

    ui->txt_Route->clear();
    const QString bps = ui->comboBox_Bps->currentText();
    if (bps == QLatin1String("9600"))
        connectNineSixHundred();
    else if (bps == QLatin1String("115200"))
        connectFast();
}

bool SerialUpdata::openPort(qint32 baudRate, const QString &openFailedText)
{
    retirePort(serial);
    serial = new QSerialPort;
    serial->setPortName(ui->comboBox_COM->currentText());
    serial->setBaudRate(baudRate, QSerialPort::AllDirections);

    if (!serial->open(QIODevice::ReadWrite)) {
        ui->comboBox_Bps->setEnabled(true);
        ui->comboBox_COM->setEnabled(true);
        ui->pBtn_open->setEnabled(true);
        QMessageBox::information(this, QStringLiteral("title"), openFailedText, QMessageBox::Yes);
        serial->close();
        return false;
    }
    qDebug() << "Open OK";

    ui->comboBox_Bps->setEnabled(false);
    ui->comboBox_COM->setEnabled(false);
    connect(serial, SIGNAL(readyRead()), this, SLOT(recv_data()));
    connect(serial, SIGNAL(error(QSerialPort::SerialPortError)), this,
            SLOT(SerialError(QSerialPort::SerialPortError)));
    return true;
}

void SerialUpdata::connectNineSixHundred()
{
    if (!openPort(ui->comboBox_Bps->currentText().toInt(nullptr, 10), tr("打开串口失败")))
        return;
    appendLine(timeStamp() + QLatin1String("->") + tr("正在连接..."));
    const QPointer<QSerialPort> port = serial;

    serial->write(protocol::function41Frame());
    if (!waitOnLink(port, 2000))
        return;
    serial->write(protocol::shortInfoQuery());
    if (!waitOnLink(port, 30))
        return;

    if (recvBuffer.size() > 10) {
        const QString stamp = timeStamp();
        if (deviceInfo.size() > 6)
            appendLine(stamp + QLatin1String("->") + deviceInfo);
        appendLine(stamp + tr("->已连接"));
        enterConnected();
    } else {
        appendLine(timeStamp() + tr("->连接失败"));
        ui->pBtn_open->setEnabled(true);
        ui->comboBox_Bps->setEnabled(true);
        ui->comboBox_COM->setEnabled(true);
        closePortIfOpen();
    }
}

void SerialUpdata::connectFast()
{
    if (!openPort(115200, tr("串口打开失败")))
        return;
    appendLine(timeStamp() + QLatin1String("->") + tr("正在连接"));
    const QPointer<QSerialPort> port = serial;

    for (int attempt = 0; attempt < connectAttempts; ++attempt) {
        serial->setBaudRate(115200, QSerialPort::AllDirections);
        if (!waitOnLink(port, 300))
            return;
        serial->write(QByteArray(1, protocol::CAN));
        if (!waitOnLink(port, 3000))
            return;
        // Whatever the cancel byte stirred up is stale; only a NAK that follows counts.
        recvBuffer = QByteArray();
        for (int poll = 0; poll < 80; ++poll) {
            if (!waitOnLink(port, 50))
                return;
            if (!recvBuffer.isEmpty())
                break;
        }

        if (recvBuffer == QByteArray(1, protocol::NAK)) {
            appendLine(timeStamp() + tr("->已连接，请重新升级"));
            connectAttempts = 1;
            enterConnected();
            linkEstablished = true;
            break;
        }

        // The device only takes the function-0x41 frame at 9600, then answers the info query
        // at 115200.
        serial->setBaudRate(9600, QSerialPort::AllDirections);
        serial->write(protocol::function41Frame());
        if (!waitOnLink(port, 2000))
            return;
        serial->setBaudRate(115200, QSerialPort::AllDirections);
        if (!waitOnLink(port, 500))
            return;
        serial->write(protocol::infoQuery());
        if (!waitOnLink(port, 200))
            return;
        serial->write(protocol::infoQuery());
        if (!waitOnLink(port, 200))
            return;

        if (recvBuffer.size() > 10) {
            const QString stamp = timeStamp();
            if (deviceInfo.size() > 6) {
                appendLine(stamp + QLatin1String("->") + deviceInfo);
                appendLine(stamp + tr("->已连接"));
            } else {
                appendLine(stamp + tr("->已连接，请重新升级"));
            }
            enterConnected();
            linkEstablished = true;
            break;
        }
        linkEstablished = false;

        // A port error has closed the line: further attempts could only time out.
        if (!serial->isOpen())
            break;
    }

    if (!linkEstablished) {
        ui->comboBox_Bps->setEnabled(true);
        ui->comboBox_COM->setEnabled(true);
        appendLine(timeStamp() + tr("->连接失败"));
        ui->pBtn_open->setEnabled(true);
        closePortIfOpen();
    }
}

bool SerialUpdata::waitOnLink(const QPointer<QSerialPort> &port, int ms)
{
    delay(ms);
    return !linkReplaced(port);
}

void SerialUpdata::enterConnected()
{
    ui->pBtn_open->setText(tr("断开连接"));
    ui->pBtn_glance->setEnabled(true);
    ui->pBtn_open->setEnabled(true);
    optionsMenu->setEnabled(false);
    portErrorFlag = false;
}

// QSerialPort reports close() on a closed port as an error through the signal that reaches
// SerialError; closing only an open port keeps a failure from adding a second error line.
void SerialUpdata::closePortIfOpen()
{
    if (serial->isOpen())
        serial->close();
}

void SerialUpdata::retirePort(QSerialPort *port)
{
    if (!port)
        return;
    port->disconnect(this);
    retiredPorts.append(port);
    if (recvDepth == 0)
        releaseRetiredPorts();
}

void SerialUpdata::releaseRetiredPorts()
{
    for (QSerialPort *port : qAsConst(retiredPorts))
        port->deleteLater();
    retiredPorts.clear();
}
