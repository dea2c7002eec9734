#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "protocol.h"
#include "timing.h"
#include "updatestart.h"

#include <QScopeGuard>

void SerialUpdata::on_pBtn_UpGrade_clicked()
{
    updateBegins();
    const auto ends = qScopeGuard([this] { updateEnds(); });
    enterState(WindowState::Updating);
    // The update was meant for the link it started on; a reconnect during a wait stops it.
    const QPointer<QSerialPort> port = serial;

    // An answer already in the buffer (a NAK from a device waiting for firmware, or the
    // handshake's reply) ends this wait at the first poll.
    if (!pollForReply(port, timing::kReadyPolls, timing::kReadyPollMs))
        return;

    // The connect left the list at the rate the line runs at: it stays locked while connected,
    // and so does the language menu whose switch would refill it.
    if (readyWithoutUpdateCommand(recvBuffer, ui->comboBox_Bps->currentText().toInt())) {
        recvBuffer = QByteArray();
        Send_data(firmwarePath);
        recvBuffer = QByteArray();
        return;
    }

    // A port error during the wait has closed the line; writing to it would only log a warning.
    if (serial->isOpen())
        serial->write(protocol::updateCommand());
    if (!waitOnLink(port, timing::kAfterUpdateCommandMs))
        return;

    const QString bps = ui->comboBox_Bps->currentText();
    if (updateCommandAccepted(recvBuffer, bps.toInt())) {
        recvBuffer = QByteArray();
        Send_data(firmwarePath);
    } else {
        updateStartFailed(port, bps);
    }
}

void SerialUpdata::updateStartFailed(const QPointer<QSerialPort> &port, const QString &bps)
{
    appendArrowLine(bps == QLatin1String("9600") ? tr("读取串口失败") : tr("读取串口失败..."));
    // After a port error the window is already disconnected and must stay so.
    if (linkLive(port))
        enterState(WindowState::ReadyToUpdate);
}
