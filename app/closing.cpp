#include "serialupdata.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

// What may still be on its way when an update is stopped: at most one frame, 138 ms at 9600.
constexpr int kDrainMs = 1000;
// A close that has to wait for the waits on the stack looks again this often.
constexpr int kCloseRetryMs = 10;

} // namespace

void SerialUpdata::closeEvent(QCloseEvent *event)
{
    if (waits.closeRequested()) {
        // A quitting application cuts every wait short, and the slots waiting in them would race
        // through their remaining steps: the window closes only once they have all returned.
        if (updateDepth == 0 && waits.active.isEmpty()) {
            QMainWindow::closeEvent(event);
            return;
        }
        event->ignore();
        if (updateDepth == 0)
            QTimer::singleShot(kCloseRetryMs, this, [this] { close(); });
        return;
    }
    if (updateDepth == 0) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (!linkLive(updatePort)) {
        // The link is already gone and the update ends at its next wait.
        waits.close = CloseState::Closing;
        return;
    }
    if (waits.close == CloseState::Asking && closeQuestion) {
        closeQuestion->raise();
        closeQuestion->activateWindow();
        return;
    }
    askBeforeClosing();
}

void SerialUpdata::updateBegins()
{
    if (updateDepth++ == 0)
        updatePort = serial;
}

void SerialUpdata::updateEnds()
{
    if (--updateDepth > 0)
        return;
    if (closeQuestion) {
        closeQuestion->disconnect(this);
        closeQuestion->reject();
    }
    if (waits.close == CloseState::Asking)
        waits.close = CloseState::Open;
    if (waits.stopping())
        drainAndClosePort();
    if (waits.closeRequested())
        QTimer::singleShot(0, this, [this] { close(); });
}

void SerialUpdata::askBeforeClosing()
{
    auto *box = new QMessageBox(
        QMessageBox::Warning, tr("升级进行中"),
        tr("升级尚未完成。现在关闭会停止升级，设备将停留在等待固件的状态。之后请以 115200 "
           "连接设备并重新升级。"),
        QMessageBox::NoButton, this);
    QPushButton *keep = box->addButton(tr("继续升级"), QMessageBox::RejectRole);
    QPushButton *stop = box->addButton(tr("停止升级并关闭"), QMessageBox::DestructiveRole);
    // Enter, Escape and the box's own close all keep the update going.
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, stop](QAbstractButton *clicked) {
        if (clicked == stop)
            stopUpdateForClose();
    });
    // Kept: a later close asks again.
    connect(box, &QDialog::finished, this, [this] {
        if (waits.close == CloseState::Asking)
            waits.close = CloseState::Open;
    });
    closeQuestion = box;
    waits.close = CloseState::Asking;
    // Opened, not run: a loop of its own would hold the transfer's waits until it is answered.
    box->open();
}

// Runs inside one of the update's waits. No frame is cut: every write is a whole frame, and the
// update writes nothing once its wait returns.
void SerialUpdata::stopUpdateForClose()
{
    waits.close = CloseState::Stopping;
    for (QEventLoop *loop : qAsConst(waits.active))
        loop->quit();
}

void SerialUpdata::drainAndClosePort()
{
    if (!serial->isOpen())
        return;
    QElapsedTimer clock;
    clock.start();
    while (serial->bytesToWrite() > 0 && clock.elapsed() < kDrainMs) {
        if (!serial->waitForBytesWritten(static_cast<int>(kDrainMs - clock.elapsed())))
            break;
    }
#ifdef Q_OS_UNIX
    // The close restores the settings the port had before it was opened, at once: what the driver
    // still holds would go out at the wrong rate.
    int queued = 0;
    while (clock.elapsed() < kDrainMs && ::ioctl(serial->handle(), TIOCOUTQ, &queued) == 0 &&
           queued > 0)
        QThread::msleep(2);
#endif
    closePortIfOpen();
}
