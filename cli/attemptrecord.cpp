#include "attemptrecord.h"

#include "portpath.h"
#include "recordwriter.h"
#include "terminal.h"

#include <QUuid>

namespace flash {

AttemptRecord attemptRecord(const SessionMachine &m, const Options &options, const Image &image)
{
    const DeviceIdentity &before = m.identityBefore();
    AttemptRecord r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.baud = options.baud;
    r.product = before.productReceived ? before.product : QString();
    r.serialNumber = before.serialNumber;
    r.versionBefore = before.version;
    if (m.verifying()) {
        r.versionAfter = m.identity().version;
        r.serialNumberAfter = m.identity().serialNumber;
    }
    r.image = image.path;
    r.imageSize = image.bytes.size();
    r.imageSha256 = image.sha256;
    r.frames = m.framesAccepted();
    r.totalFrames = m.framesTotal();
    r.resends = m.resends();
    r.waitingForFirmware = before.waitingForFirmware;
    r.endByteSent = m.endByteSent();
    r.endConfirmed = m.endConfirmed();
    r.endReply = m.endReply();
    r.result = m.result();
    r.message = m.message();
    return r;
}

// The record must not land in the firmware (the next run would flash text) or down a line.
QString recordClash(const Options &options, const Image &image)
{
    if (!image.path.isEmpty() && ports::samePlace(options.recordPath, image.path))
        return QStringLiteral("it is the image");
    for (const QString &port : options.ports) {
        if (ports::samePlace(options.recordPath, ports::systemPath(port)))
            return QStringLiteral("it is the port %1").arg(port);
    }
    return QString();
}

bool openRecord(RecordWriter *record, const Options &options, const Image &image)
{
    if (options.recordPath.isEmpty())
        return true;
    QString error = recordClash(options, image);
    if (error.isEmpty() && record->open(options.recordPath, &error))
        return true;
    printError(QStringLiteral("cannot open the record file %1: %2").arg(options.recordPath, error));
    return false;
}

} // namespace flash
