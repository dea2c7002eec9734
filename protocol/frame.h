#pragma once

#include <QByteArray>

// The device's checksum rule: the data bytes are summed as signed values and the low byte of the
// absolute sum is sent. It matches the plain XMODEM sum only for non-negative sums.
quint8 blockChecksum(const QByteArray &data);

// One 132-byte frame: SOH, block, 255 - block, 128 image bytes from `offset` (0x1A past the end of
// the image), checksum of the data bytes.
QByteArray buildFrame(const QByteArray &image, qsizetype offset, quint8 block);
