#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "frame.h"
#include "protocol.h"

#include <QDebug>
#include <QMenuBar>

namespace {

// Replies that are neither a single ACK nor a single NAK in a row for one block before the
// device is taken to refuse it.
constexpr int kMaxUnclearReplies = 10;
constexpr int kReplyPolls = 92;

} // namespace

void SerialUpdata::Send_data(QString fileName)
{
    ui->pBtn_glance->setEnabled(false);
    ui->pBtn_open->setEnabled(false);

    QByteArray image;
    if (!loadImage(fileName, image))
        return;

    const int size = image.size();
    if (size == protocol::kNameFieldSize) {
        ui->pgBar->setMaximum(10);
        ui->lineEdit_Data->setText(QStringLiteral("0"));
    } else {
        ui->pgBar->setMaximum(size / protocol::kBlockSize + 11);
        ui->lineEdit_Data->setText(QString::number(size / protocol::kBlockSize + 1));
    }

    if (!checkImageName(image))
        return;

    appendLine(timeStamp() + QLatin1String("->") + tr("开始升级，固件正在传输"));
    qDebug() << "transfer start";

    // The image was meant for the link it started on: if a reconnect replaces that link during a
    // wait, never send the rest, or report an outcome, on the new one.
    const QPointer<QSerialPort> port = serial;
    const auto stopForNewLink = [this, &port] {
        if (!linkReplaced(port))
            return false;
        menuBar->setEnabled(true);
        return true;
    };

    int offset = protocol::kNameFieldSize;
    quint8 block = 1;
    int progress = 1;
    int unclearReplies = 0;
    while (offset < size) {
        serial->write(buildFrame(image, offset, block));

        bool replied = false;
        for (int poll = 0; poll < kReplyPolls; ++poll) {
            delay(50);
            if (stopForNewLink())
                return;
            if (!recvBuffer.isEmpty()) {
                replied = true;
                break;
            }
            if (portErrorFlag) {
                // The port error has already reset the connect controls and closed the port.
                ui->pgBar->setValue(0);
                menuBar->setEnabled(true);
                ui->pBtn_open->setEnabled(true);
                connectAttempts = 20;
                ui->pBtn_glance->setEnabled(false);
                ui->pBtn_UpGrade->setEnabled(false);
                return;
            }
        }
        if (!replied) {
            qDebug() << "time out";
            menuBar->setEnabled(true);
            appendLine(timeStamp() + QLatin1String("->") + tr("设备无响应，请重新升级"));
            ui->pBtn_open->setText(tr("连接"));
            ui->pgBar->setValue(0);
            ui->txt_Route->clear();
            closePortIfOpen();
            connectAttempts = 20;
            ui->pBtn_glance->setEnabled(false);
            ui->pBtn_UpGrade->setEnabled(false);
            ui->pBtn_open->setEnabled(true);
            return;
        }

        ui->pgBar->setValue(progress);
        const bool nak = recvBuffer == QByteArray(1, protocol::NAK);
        if (recvBuffer == QByteArray(1, protocol::ACK)) {
            offset += protocol::kBlockSize;
            ++block; // wraps from 255 to 0, as the device counts
            ++progress;
            unclearReplies = 0;
        } else if (!nak) {
            // Not a verdict: the same block goes out again under the same number, so no data is
            // skipped; a device that keeps answering like this is taken to refuse the block.
            ++unclearReplies;
        }
        if (nak || unclearReplies >= kMaxUnclearReplies) {
            appendLine(timeStamp() + QLatin1String("->") + QString::number(progress) +
                       tr("数据包解析失败，重新传输数据包"));
            ui->pBtn_glance->setEnabled(false);
            ui->pBtn_UpGrade->setEnabled(false);
            ui->pBtn_open->setEnabled(true);
            return;
        }
        recvBuffer = QByteArray();
    }

    delay(1000);
    if (stopForNewLink())
        return;
    if (serial->isOpen())
        serial->write(QByteArray(1, protocol::EOT));
    delay(200);
    if (stopForNewLink())
        return;

    qDebug() << "after EOT" << recvBuffer.size() << recvBuffer;
    if (!recvBuffer.isEmpty()) {
        appendLine(timeStamp() + tr("->升级完成"));
        ui->pgBar->setValue(ui->pgBar->maximum());
        ui->pBtn_open->setEnabled(false);
        ui->pBtn_UpGrade->setEnabled(false);
        ui->pBtn_glance->setEnabled(false);
    }
}
