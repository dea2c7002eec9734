#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "namecheck.h"
#include "protocol.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <cmath>

namespace {

// Device flash is a few hundred KiB; anything this large is the wrong file, and refusing it keeps
// a mistaken pick (a disk image, a video) from exhausting memory.
constexpr qint64 kMaxImageSize = 64 * 1024 * 1024;

} // namespace

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
    const qint64 size = QFileInfo(fileName).size();
    QFile file(fileName);
    QString reason;
    if (!file.open(QIODevice::ReadOnly)) {
        reason = file.errorString();
    } else if (size > kMaxImageSize) {
        reason = QStringLiteral("The file is %1 bytes; a firmware image is at most %2 bytes.")
                     .arg(size)
                     .arg(kMaxImageSize);
    } else {
        image = QByteArray(static_cast<int>(size), Qt::Uninitialized);
        QDataStream in(&file);
        const int read = size > 0 ? in.readRawData(image.data(), static_cast<int>(size)) : 0;
        // A file that changes or fails while it is read must never be sent in part.
        if (read != size) {
            reason = read < 0 ? file.errorString()
                              : QStringLiteral("Only %1 of %2 bytes could be read.")
                                    .arg(qMax(read, 0))
                                    .arg(size);
            image.clear();
        }
    }
    if (reason.isEmpty())
        return true;

    QMessageBox::information(this, tr("Error Message"), tr("File Open Error") + reason,
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
