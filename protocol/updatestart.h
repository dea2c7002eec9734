#pragma once

#include <QByteArray>
#include <QtGlobal>

// How the update start judges the device's latest answer. The window and the line program both
// decide by these, so a device that is ready for firmware is recognised the same way by both.

// A bootloader already asking for firmware at 115200 (a lone NAK) needs no update command; at
// 9600 the command is always sent.
bool readyWithoutUpdateCommand(const QByteArray &latestReply, qint32 baud);

// Whether the answer to the update command lets the transfer start: a lone NAK at 9600, more than
// 10 bytes at 115200.
bool updateCommandAccepted(const QByteArray &latestReply, qint32 baud);
