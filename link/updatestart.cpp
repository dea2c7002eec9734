#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "protocol.h"

#include <QMenuBar>

void SerialUpdata::on_pBtn_UpGrade_clicked()
{
    ui->pBtn_UpGrade->setEnabled(false);

    // The update was meant for the link it started on; a reconnect during a wait stops it.
    const QPointer<QSerialPort> port = serial;

    // An answer already in the buffer (a NAK from a device waiting for firmware, or the
    // handshake's reply) ends this wait at the first poll.
    for (int poll = 0; poll < 80; ++poll) {
        delay(50);
        if (linkReplaced(port))
            return;
        if (!recvBuffer.isEmpty())
            break;
    }

    if (recvBuffer == QByteArray(1, protocol::NAK) &&
        ui->comboBox_Bps->currentText() == QLatin1String("115200")) {
        menuBar->setEnabled(false);
        recvBuffer = QByteArray();
        Send_data(firmwarePath);
        recvBuffer = QByteArray();
        return;
    }

    ui->pBtn_UpGrade->setEnabled(false);
    menuBar->setEnabled(false);
    // A port error during the wait has closed the line; writing to it would only log a warning.
    if (serial->isOpen())
        serial->write(protocol::updateCommand());
    delay(300);
    if (linkReplaced(port)) {
        menuBar->setEnabled(true);
        return;
    }

    const QString bps = ui->comboBox_Bps->currentText();
    if (bps == QLatin1String("9600")) {
        if (recvBuffer == QByteArray(1, protocol::NAK)) {
            recvBuffer = QByteArray();
            Send_data(firmwarePath);
        } else {
            appendLine(timeStamp() + QLatin1String("->") + tr("读取串口失败"));
            menuBar->setEnabled(true);
            ui->pBtn_UpGrade->setEnabled(true);
        }
    } else if (bps == QLatin1String("115200")) {
        if (recvBuffer.size() > 10) {
            recvBuffer = QByteArray();
            Send_data(firmwarePath);
        } else {
            appendLine(timeStamp() + QLatin1String("->") + tr("读取串口失败..."));
            menuBar->setEnabled(true);
            ui->pBtn_UpGrade->setEnabled(true);
        }
    }
}
