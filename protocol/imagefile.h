#pragma once

#include <QByteArray>
#include <QString>

// Device flash is a few hundred KiB; anything this large is the wrong file, and refusing it keeps
// a mistaken pick (a disk image, a video) from exhausting memory.
constexpr qint64 kMaxFirmwareImageSize = 64 * 1024 * 1024;

struct FirmwareImage
{
    bool ok = false;
    QByteArray bytes; // the whole file, name field included; empty unless ok
    QString error;    // why it could not be loaded, for the user
};

// Reads the whole file. A file that cannot be opened, is larger than `maxSize`, or yields fewer
// bytes than its size (changed or failing while read) is refused, so a partial image is never
// sent.
FirmwareImage loadFirmwareImage(const QString &fileName, qint64 maxSize = kMaxFirmwareImageSize);
