#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "linklog.h"

void SerialUpdata::SerialError(QSerialPort::SerialPortError)
{
    // A port whose adapter vanished may report its own failing close as new errors before it
    // counts as closed (Windows); handled here again, the close would recurse without end.
    if (inSerialError)
        return;
    inSerialError = true;
    appendArrowLine(tr("读取串口失败"));
    portErrorFlag = true;
    qCDebug(lcLink) << "serial port error";
    ui->txt_Route->clear();
    enterState(WindowState::Disconnected);
    // On a hang-up the port repeats its read error until it is closed; a close of a closed port
    // would itself be reported here again.
    closePortIfOpen();
    recvBuffer = QByteArray();
    inSerialError = false;
}
