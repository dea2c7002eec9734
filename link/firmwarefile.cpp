#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "firmwareimage.h"
#include "namecheck.h"
#include "protocol.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include <cmath>

void SerialUpdata::on_pBtn_glance_clicked()
{
    firmwarePath =
        QFileDialog::getOpenFileName(this, QStringLiteral("plase chose (.bin)"),
                                     QDir::currentPath(), QStringLiteral("(*.bin);;(*.hex)"));
    if (firmwarePath.size() > 5)
        ui->pBtn_UpGrade->setEnabled(true);
    ui->txt_Route->setPlainText(firmwarePath);
}

int SerialUpdata::fandata(int num)
{
    int sum = 0;
    for (int k = 0; num > sum; ++k)
        sum += static_cast<int>(std::pow(2.0, k));
    return sum - num;
}

bool SerialUpdata::loadImage(const QString &fileName, QByteArray &image)
{
    const FirmwareImage loaded = loadFirmwareImage(fileName);
    if (loaded.ok) {
        image = loaded.bytes;
        return true;
    }
    QMessageBox::information(this, tr("Error Message"), tr("File Open Error") + loaded.error,
                             QMessageBox::Ok);
    ui->pBtn_glance->setEnabled(true);
    return false;
}

bool SerialUpdata::checkImageName(const QByteArray &image)
{
    deviceName = deviceName.trimmed();
    const QByteArray expected = expectedNameField(deviceName);
    const bool accepted = nameFieldAccepted(image, expected, deviceNameReceived);
    qDebug() << image.left(protocol::kNameFieldSize) << expected << (accepted ? 1 : 0);
    if (!accepted) {
        appendLine(timeStamp() + QLatin1String("->") + tr("固件错误"));
        ui->pBtn_glance->setEnabled(true);
    }
    return accepted;
}
