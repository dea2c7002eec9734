#include "namecheck.h"
#include "protocol.h"

QByteArray expectedNameField(const QString &trimmedName)
{
    QByteArray field = trimmedName.toLatin1();
    const int nul = field.indexOf('\0');
    if (nul >= 0)
        field.truncate(nul);
    if (field.size() < protocol::kNameFieldSize)
        field.append(QByteArray(protocol::kNameFieldSize - field.size(), ' '));
    return field;
}

bool nameFieldAccepted(const QByteArray &image, const QByteArray &expectedField,
                       bool deviceNameReceived)
{
    // Without a whole name field the image cannot be meant for any device.
    if (image.size() < protocol::kNameFieldSize)
        return false;
    if (!deviceNameReceived)
        return true;
    if (expectedField.size() != protocol::kNameFieldSize)
        return false;
    return image.left(protocol::kNameFieldSize) == expectedField;
}
