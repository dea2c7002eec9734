#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "exchange.h"
#include "frame.h"
#include "linklog.h"
#include "protocol.h"
#include "replies.h"
#include "timing.h"
#include "transfer.h"

#include <QScopeGuard>

void SerialUpdata::Send_data(QString fileName)
{
    updateBegins();
    const auto ends = qScopeGuard([this] { updateEnds(); });
    enterState(WindowState::Updating);

    QByteArray image;
    if (!loadImage(fileName, image))
        return;
    showPacketCount(image.size());
    if (!checkImageName(image))
        return;

    appendArrowLine(tr("开始升级，固件正在传输"));
    qCDebug(lcLink) << "transfer start";

    // The image was meant for the link it started on: if a reconnect replaces that link during a
    // wait, never send the rest, or report an outcome, on the new one.
    const QPointer<QSerialPort> port = serial;
    const SendEnd sent =
        image.size() > protocol::kNameFieldSize ? sendFrames(port, image) : SendEnd::AllSent;
    switch (sent) {
    case SendEnd::AllSent:
        endTransfer(port);
        break;
    case SendEnd::Refused:
        // A port error right after the refusal has already disconnected the window.
        if (linkLive(port))
            enterState(WindowState::UpdateRefused);
        break;
    case SendEnd::NoResponse:
        transferNoResponse();
        break;
    case SendEnd::PortError:
        transferLostPort();
        break;
    case SendEnd::LinkReplaced:
        break;
    }
}

// The numbers shown are the window's own estimate, not the count of frames: a 144-byte image
// shows 2 packets and sends one frame.
void SerialUpdata::showPacketCount(int imageSize)
{
    if (imageSize == protocol::kNameFieldSize) {
        ui->pgBar->setMaximum(timing::kNameFieldOnlyMaximum);
        ui->lineEdit_Data->setText(QStringLiteral("0"));
    } else {
        ui->pgBar->setMaximum(imageSize / protocol::kBlockSize + timing::kProgressExtraSteps);
        ui->lineEdit_Data->setText(QString::number(imageSize / protocol::kBlockSize + 1));
    }
}

SerialUpdata::SendEnd SerialUpdata::sendFrames(const QPointer<QSerialPort> &port,
                                               const QByteArray &image)
{
    TransferCursor cursor;
    for (;;) {
        serial->write(buildFrame(image, cursor.offset, cursor.block));
        switch (awaitFrameAnswer(port)) {
        case FrameWait::Answered:
            break;
        case FrameWait::NoResponse:
            return SendEnd::NoResponse;
        case FrameWait::PortError:
            return SendEnd::PortError;
        case FrameWait::LinkReplaced:
            return SendEnd::LinkReplaced;
        }

        // The counter shown starts at 1 and moves only with an accepted frame.
        const int progress = framesAccepted(cursor) + 1;
        ui->pgBar->setValue(progress);
        switch (applyFrameVerdict(cursor, frameVerdict(recvBuffer), image.size())) {
        case FrameStep::Refused:
            appendLine(timeStamp() + QLatin1String("->") + QString::number(progress) +
                       tr("数据包解析失败，重新传输数据包"));
            return SendEnd::Refused;
        case FrameStep::AllSent:
            recvBuffer = QByteArray();
            return SendEnd::AllSent;
        case FrameStep::Next:
        case FrameStep::Resend:
            recvBuffer = QByteArray();
            break;
        }
    }
}

// A reply already in the buffer counts before a port error that came after it.
SerialUpdata::FrameWait SerialUpdata::awaitFrameAnswer(const QPointer<QSerialPort> &port)
{
    for (int poll = 0; poll < protocol::kFrameAnswerPoll.polls; ++poll) {
        if (!waitOnLink(port, protocol::kFrameAnswerPoll.pollMs))
            return FrameWait::LinkReplaced;
        if (!recvBuffer.isEmpty())
            return FrameWait::Answered;
        if (portErrorFlag)
            return FrameWait::PortError;
    }
    return FrameWait::NoResponse;
}

// Any byte in the pause before the end byte or just after it confirms the update.
void SerialUpdata::endTransfer(const QPointer<QSerialPort> &port)
{
    bool lostPort = false;
    const bool ended = protocol::runSteps(*serial, protocol::transferEnd(), [&](int ms) {
        if (!waitOnLink(port, ms))
            return false;
        lostPort = portErrorFlag;
        return !lostPort;
    });
    if (lostPort)
        transferLostPort();
    if (!ended)
        return;

    qCDebug(lcLink) << "after EOT" << recvBuffer.size() << recvBuffer;
    if (!recvBuffer.isEmpty()) {
        appendLine(timeStamp() + tr("->升级完成"));
        ui->pgBar->setValue(ui->pgBar->maximum());
    }
    enterState(WindowState::UpdateEnded);
}

// The port error has already written its line, closed the port and freed the connect controls.
void SerialUpdata::transferLostPort()
{
    ui->pgBar->setValue(0);
    connectAttempts = timing::kFastAttemptsAfterAbort;
    enterState(WindowState::Disconnected);
}

// The same port and rate stay chosen for the next connect, which then makes many attempts.
void SerialUpdata::transferNoResponse()
{
    qCDebug(lcLink) << "time out";
    appendArrowLine(tr("设备无响应，请重新升级"));
    ui->pgBar->setValue(0);
    ui->txt_Route->clear();
    closePortIfOpen();
    connectAttempts = timing::kFastAttemptsAfterAbort;
    enterState(WindowState::LinkLost);
}
