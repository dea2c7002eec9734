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
    if (!deviceNameReceived)
        return true;
    if (expectedField.size() != protocol::kNameFieldSize || image.size() < protocol::kNameFieldSize)
        return false;
    return image.left(protocol::kNameFieldSize) == expectedField;
}
