#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "exchange.h"
#include "linklog.h"
#include "portpath.h"
#include "replies.h"
#include "steadyclock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

void SerialUpdata::delay(int ms)
{
    wait(ms, QEventLoop::AllEvents);
}

void SerialUpdata::wait(int ms, QEventLoop::ProcessEventsFlags flags)
{
    if (ms <= 0)
        return;
    // Sleeps in a local event loop instead of spinning: every event is still handled as it comes,
    // and waits nest (recv_data waits inside the waits of the other slots). Qt rounds each timer
    // wait up to a whole millisecond, which would stretch every 50 ms poll of a transfer by about
    // 2 %, so the loop is asked to wake a little early and the last stretch is slept in steps of
    // a tenth of a millisecond, still handling events between them. A test's virtual clock fires
    // timers exactly when due: there the timer alone ends the wait.
    const bool exactTimers = steadyclock::isVirtual();
    const qint64 deadlineNs = steadyclock::nowNs() + qint64(ms) * 1000000;
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // A stop for closing the window quits every registered loop, so no wait outlasts it.
    waits.active.append(&loop);
    for (qint64 left = deadlineNs - steadyclock::nowNs(); left > 0 && !waits.stopping();
         left = deadlineNs - steadyclock::nowNs()) {
        if (exactTimers || left > 2000000) {
            timer.start(
                static_cast<int>(exactTimers ? (left + 999999) / 1000000 : left / 1000000 - 1));
            // A loop ended while its timer still runs means the application is quitting: stop
            // waiting rather than spin until the time is up.
            if (loop.exec(flags) != 0 || timer.isActive())
                break;
        } else {
            QCoreApplication::processEvents(flags);
            QThread::usleep(static_cast<unsigned long>(qMin<qint64>(left / 1000, 100)));
        }
    }
    waits.active.removeOne(&loop);
    // Qt's glib event dispatcher looks at held-back input again only after a wake-up; without
    // one, a click made during the wait would sit in the queue until some other event came.
    if (flags & QEventLoop::ExcludeUserInputEvents)
        QAbstractEventDispatcher::instance()->wakeUp();
}

void SerialUpdata::on_pBtn_open_clicked()
{
    ui->pgBar->setValue(0);
    ui->pBtn_open->setEnabled(false);

    if (ui->pBtn_open->text() != tr("连接")) {
        disconnectLink();
        return;
    }

    ui->txt_Route->clear();
    // The name judges only the images of the device that gave it: a device that gives none is
    // judged as in a freshly started window.
    deviceName = QString();
    deviceNameReceived = false;
    enterState(WindowState::Connecting);
    const QString bps = ui->comboBox_Bps->currentText();
    if (bps == QLatin1String("9600"))
        connectNineSixHundred();
    else if (bps == QLatin1String("115200"))
        connectFast();
}

void SerialUpdata::disconnectLink()
{
    ui->txt_Route->clear();
    enterState(WindowState::Disconnected);
    closePortIfOpen();
    recvBuffer = QByteArray();
}

bool SerialUpdata::openPort(qint32 baudRate, const QString &openFailedText)
{
    retirePort(serial);
    serial = new QSerialPort;
    serial->setPortName(ui->comboBox_COM->currentText());
    serial->setBaudRate(baudRate, QSerialPort::AllDirections);

    // The lock before the open, which already sets the rate: a port that pelmar-flash (or
    // another window) is using, under any name and even for root, is left untouched.
    if (!portLock.acquire(ui->comboBox_COM->currentText()).locked() ||
        !serial->open(QIODevice::ReadWrite)) {
        portLock.release();
        enterState(WindowState::ConnectFailed);
        QMessageBox::information(this, QStringLiteral("title"), openFailedText, QMessageBox::Yes);
        serial->close();
        return false;
    }
    qCDebug(lcLink) << "Open OK";
    // Answers come without the adapter's hold; where that is not allowed nothing is said, the
    // window's messages being fixed.
    adapterLatency.lower(ports::systemPath(ui->comboBox_COM->currentText()),
                         ports::descriptorOf(*serial));

    connect(serial, SIGNAL(readyRead()), this, SLOT(recv_data()));
    connect(serial, SIGNAL(error(QSerialPort::SerialPortError)), this,
            SLOT(SerialError(QSerialPort::SerialPortError)));
    return true;
}

void SerialUpdata::connectNineSixHundred()
{
    if (!openPort(ui->comboBox_Bps->currentText().toInt(nullptr, 10), tr("打开串口失败")))
        return;
    appendArrowLine(tr("正在连接..."));
    const QPointer<QSerialPort> port = serial;

    if (!protocol::runSteps(*serial, protocol::slowHandshake(),
                            [&](int ms) { return waitOnLink(port, ms); }))
        return;

    if (isLongAnswer(recvBuffer))
        showIdentityAndConnect(timeStamp(), tr("->已连接"));
    else
        connectFailed();
}

void SerialUpdata::connectFast()
{
    if (!openPort(115200, tr("串口打开失败")))
        return;
    appendArrowLine(tr("正在连接"));
    const QPointer<QSerialPort> port = serial;

    for (int attempt = 0; attempt < connectAttempts; ++attempt) {
        const AttemptEnd end = fastAttempt(port);
        if (end == AttemptEnd::Stopped)
            return;
        if (end == AttemptEnd::Waiting) {
            appendLine(timeStamp() + tr("->已连接，请重新升级"));
            connectAttempts = 1;
            linkUp();
            linkEstablished = true;
            break;
        }
        if (end == AttemptEnd::Answered) {
            // A long answer without identity text is taken as a device waiting for firmware.
            showIdentityAndConnect(timeStamp(), hasIdentityText(deviceInfo)
                                                    ? tr("->已连接")
                                                    : tr("->已连接，请重新升级"));
            linkEstablished = true;
            break;
        }
        linkEstablished = false;
        // A port error has closed the line: further attempts could only time out.
        if (!serial->isOpen())
            break;
    }

    if (!linkEstablished)
        connectFailed();
}

// One attempt at 115200: first ask whether the bootloader already waits for firmware (it answers
// CAN with a lone NAK), else switch the device to its console and ask for its identity.
SerialUpdata::AttemptEnd SerialUpdata::fastAttempt(const QPointer<QSerialPort> &port)
{
    if (!protocol::runSteps(*serial, protocol::fastCancel(),
                            [&](int ms) { return waitOnLink(port, ms); }))
        return AttemptEnd::Stopped;
    if (!pollForCancelAnswer(port))
        return AttemptEnd::Stopped;
    if (isNak(recvBuffer))
        return AttemptEnd::Waiting;
    if (!queryAfterSwitchingRates(port))
        return AttemptEnd::Stopped;
    return isLongAnswer(recvBuffer) ? AttemptEnd::Answered : AttemptEnd::NoAnswer;
}

bool SerialUpdata::pollForCancelAnswer(const QPointer<QSerialPort> &port)
{
    // Whatever the cancel byte stirred up is stale; only a NAK that follows counts.
    recvBuffer = QByteArray();
    return pollForReply(port, protocol::kCancelPoll.polls, protocol::kCancelPoll.pollMs);
}

// Polls until a reply is in the buffer or the polls are used up; false if the link was replaced.
bool SerialUpdata::pollForReply(const QPointer<QSerialPort> &port, int polls, int pollMs)
{
    for (int poll = 0; poll < polls; ++poll) {
        if (!waitOnLink(port, pollMs))
            return false;
        if (!recvBuffer.isEmpty())
            break;
    }
    return true;
}

// The device only takes the function-0x41 frame at 9600, then answers the info query at 115200.
bool SerialUpdata::queryAfterSwitchingRates(const QPointer<QSerialPort> &port)
{
    return protocol::runSteps(*serial, protocol::fastQuery(),
                              [&](int ms) { return waitOnLink(port, ms); });
}

// The identity line and the connected line carry the one stamp of the outcome.
void SerialUpdata::showIdentityAndConnect(const QString &stamp, const QString &connectedText)
{
    if (hasIdentityText(deviceInfo))
        appendLine(stamp + QLatin1String("->") + deviceInfo);
    appendLine(stamp + connectedText);
    linkUp();
}

void SerialUpdata::connectFailed()
{
    appendLine(timeStamp() + tr("->连接失败"));
    enterState(WindowState::ConnectFailed);
    closePortIfOpen();
}

void SerialUpdata::linkUp()
{
    enterState(WindowState::Connected);
    portErrorFlag = false;
}

bool SerialUpdata::waitOnLink(const QPointer<QSerialPort> &port, int ms)
{
    delay(ms);
    return !linkReplaced(port) && !waits.stopping();
}

// QSerialPort reports close() on a closed port as an error through the signal that reaches
// SerialError; closing only an open port keeps a failure from adding a second error line.
void SerialUpdata::closePortIfOpen()
{
    adapterLatency.restore(ports::descriptorOf(*serial));
    if (serial->isOpen())
        serial->close();
    portLock.release();
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
