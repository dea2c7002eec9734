#include "imagefile.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>

FirmwareImage loadFirmwareImage(const QString &fileName, qint64 maxSize)
{
    FirmwareImage result;
    const QFileInfo info(fileName);
    // Opening a FIFO or a device would block the window or read without end.
    if (info.exists() && !info.isFile()) {
        result.error = QStringLiteral("Not a regular file.");
        return result;
    }
    const qint64 size = info.size();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    if (size > maxSize) {
        result.error = QStringLiteral("The file is %1 bytes; a firmware image is at most %2 bytes.")
                           .arg(size)
                           .arg(maxSize);
        return result;
    }

    QByteArray bytes(static_cast<int>(size), Qt::Uninitialized);
    QDataStream in(&file);
    const int read = size > 0 ? in.readRawData(bytes.data(), static_cast<int>(size)) : 0;
    if (read != size) {
        result.error =
            read < 0 ? file.errorString()
                     : QStringLiteral("Only %1 of %2 bytes could be read.").arg(read).arg(size);
        return result;
    }
    result.ok = true;
    result.bytes = bytes;
    return result;
}
