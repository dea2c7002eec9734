#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "imagefile.h"
#include "linklog.h"
#include "namecheck.h"
#include "protocol.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include <cmath>
#include <limits>

void SerialUpdata::on_pBtn_glance_clicked()
{
    firmwarePath =
        QFileDialog::getOpenFileName(this, QStringLiteral("plase chose (.bin)"),
                                     QDir::currentPath(), QStringLiteral("(*.bin);;(*.hex)"));
    // A port error while the dialog was open has disconnected the window: Update stays off then.
    if (firmwarePath.size() > 5 && serial->isOpen())
        ui->pBtn_UpGrade->setEnabled(true);
    ui->txt_Route->setPlainText(firmwarePath);
}

int SerialUpdata::fandata(int num)
{
    // In 64 bits: -num overflows an int for the smallest int, whose result is clamped.
    qint64 sum = 0;
    for (int k = 0; num > sum; ++k)
        sum += static_cast<qint64>(std::pow(2.0, k));
    return static_cast<int>(qMin<qint64>(sum - num, std::numeric_limits<int>::max()));
}

bool SerialUpdata::loadImage(const QString &fileName, QByteArray &image)
{
    const FirmwareImage loaded = loadFirmwareImage(fileName);
    if (loaded.ok) {
        image = loaded.bytes;
        return true;
    }
    const QPointer<QSerialPort> port = serial;
    QMessageBox::information(this, tr("Error Message"), tr("File Open Error") + loaded.error,
                             QMessageBox::Ok);
    // A port error while the box was up has left the window disconnected, and so it stays.
    if (linkLive(port))
        enterState(WindowState::ImageRejected);
    return false;
}

bool SerialUpdata::checkImageName(const QByteArray &image)
{
    deviceName = deviceName.trimmed();
    const QByteArray expected = expectedNameField(deviceName);
    const bool accepted = nameFieldAccepted(image, expected, deviceNameReceived);
    qCDebug(lcLink) << image.left(protocol::kNameFieldSize) << expected << (accepted ? 1 : 0);
    if (!accepted) {
        appendArrowLine(tr("固件错误"));
        enterState(WindowState::ImageRejected);
    }
    return accepted;
}
