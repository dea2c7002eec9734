#include "image.h"

#include "imagefile.h"
#include "protocol.h"
#include "terminal.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace flash {

bool checkImageBytes(const QString &fileName, const QByteArray &bytes)
{
    if (bytes.size() < protocol::kNameFieldSize) {
        printError(QStringLiteral("cannot use the image %1: it has %2 bytes, fewer than its "
                                  "%3-byte name field")
                       .arg(fileName)
                       .arg(bytes.size())
                       .arg(protocol::kNameFieldSize));
        return false;
    }
    // The device would get the update command and an end byte, and be left without firmware.
    if (bytes.size() == protocol::kNameFieldSize) {
        printError(QStringLiteral("cannot use the image %1: it holds only its %2-byte name "
                                  "field, no firmware")
                       .arg(fileName)
                       .arg(protocol::kNameFieldSize));
        return false;
    }
    return true;
}

bool loadImage(const QString &fileName, Image *image)
{
    const FirmwareImage loaded = loadFirmwareImage(fileName);
    if (!loaded.ok) {
        printError(QStringLiteral("cannot use the image %1: %2").arg(fileName, loaded.error));
        return false;
    }
    if (!checkImageBytes(fileName, loaded.bytes))
        return false;
    image->bytes = loaded.bytes;
    image->path = QFileInfo(fileName).absoluteFilePath();
    image->sha256 = QString::fromLatin1(
        QCryptographicHash::hash(loaded.bytes, QCryptographicHash::Sha256).toHex());
    return true;
}

} // namespace flash
