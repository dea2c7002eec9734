#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "exchange.h"
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
    if (!pollForReply(port, protocol::kReadyPoll.polls, protocol::kReadyPoll.pollMs))
        return;

    // The connect left the list at the rate the line runs at: it stays locked while connected,
    // and so does the language menu whose switch would refill it.
    if (readyWithoutUpdateCommand(recvBuffer, ui->comboBox_Bps->currentText().toInt())) {
        recvBuffer = QByteArray();
        Send_data(firmwarePath);
        recvBuffer = QByteArray();
        return;
    }

    // A port error during the wait has closed the line; runSteps then writes nothing.
    if (!protocol::runSteps(*serial, protocol::updateStart(),
                            [&](int ms) { return waitOnLink(port, ms); }))
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
