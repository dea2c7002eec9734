#include "serialupdata.h"
#include "ui_serialupdata.h"

#include <QDebug>
#include <QMenu>

void SerialUpdata::SerialError(QSerialPort::SerialPortError)
{
    appendLine(timeStamp() + QLatin1String("->") + tr("读取串口失败"));
    ui->comboBox_Bps->setEnabled(true);
    ui->comboBox_COM->setEnabled(true);
    portErrorFlag = true;
    qDebug() << "serial port error";
    ui->txt_Route->clear();
    ui->pBtn_open->setText(tr("连接"));
    ui->pBtn_UpGrade->setEnabled(false);
    ui->pBtn_glance->setEnabled(false);
    ui->pBtn_open->setEnabled(true);
    // On a hang-up the port repeats its read error until it is closed; a close of a closed port
    // would itself be reported here again.
    closePortIfOpen();
    optionsMenu->setEnabled(true);
    recvBuffer = QByteArray();
}
