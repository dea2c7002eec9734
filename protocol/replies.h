#pragma once

#include <QByteArray>
#include <QString>

// How the device's answers are judged. Every answer is one whole read, compared as a whole: a NAK
// followed by anything else is not a NAK.
bool isNak(const QByteArray &reply);
bool isAck(const QByteArray &reply);
// The device's answer to a query or to the update command at 115200: more than 10 bytes.
bool isLongAnswer(const QByteArray &reply);
// Whether the identity text built from a reply holds at least one field.
bool hasIdentityText(const QString &identityText);

enum class FrameVerdict {
    Accepted, // exactly ACK
    Refused,  // exactly NAK
    Unclear,  // anything else: the same block goes out again
};
FrameVerdict frameVerdict(const QByteArray &reply);

// Frames needed for an image of `imageSize` bytes, name field included.
int frameCount(qint64 imageSize);
