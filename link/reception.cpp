#include "serialupdata.h"
#include "ui_serialupdata.h"

#include "identity.h"
#include "linklog.h"
#include "timing.h"

void SerialUpdata::recv_data()
{
    ++recvDepth;
    // Lets a reply that comes in several pieces gather before it is read. Clicks wait until after
    // the read: a slot run inside this wait would hold back the port's next readyRead, and an
    // update started here would never see the device's answer.
    wait(timing::kGatherMs, QEventLoop::ExcludeUserInputEvents);
    // A port error during the wait may have closed the port; reading it then gives nothing.
    const QByteArray batch = serial->isOpen() ? serial->readAll() : QByteArray();
    if (--recvDepth == 0 && !retiredPorts.isEmpty())
        releaseRetiredPorts();
    if (batch.isEmpty())
        return;

    qCDebug(lcLink) << "start" << batch << "end";

    const Identity id =
        parseIdentity(batch, IdentityLabels{tr("设备名称:"), tr("设备序列号:"), tr("固件版本:")});
    if (id.nameFound) {
        deviceName = id.productName;
        deviceNameReceived = true;
    }
    deviceInfo = id.text;
    recvBuffer = batch;
}
