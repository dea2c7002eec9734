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

QString nameFieldText(const QByteArray &field)
{
    QByteArray shown = field;
    while (shown.endsWith(' '))
        shown.chop(1);
    QString text;
    for (const char c : shown) {
        const uchar b = uchar(c);
        if (b < 0x20 || (b >= 0x7f && b < 0xa0))
            text += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
        else
            text += QChar(b);
    }
    return text;
}
