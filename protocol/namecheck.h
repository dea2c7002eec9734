#pragma once

#include <QByteArray>
#include <QString>

// The name field an image must carry for a device called `trimmedName`: Latin-1, cut at the
// first NUL, padded with spaces to 16 bytes (a longer name is left as it is and never matches).
QByteArray expectedNameField(const QString &trimmedName);

// Whether the image may be sent. An image shorter than the name field is always rejected. Without
// a product name from the device any other image is accepted; with one, the first 16 bytes must
// equal the expected field.
bool nameFieldAccepted(const QByteArray &image, const QByteArray &expectedField,
                       bool deviceNameReceived);

// An image's name field as a message shows it: trailing spaces dropped, and a byte that would
// not show (a NUL, a control) as \xNN, so that "PM-100" padded with NULs does not read as the
// device's own "PM-100".
QString nameFieldText(const QByteArray &field);
