#pragma once

#include <QByteArray>
#include <QString>

namespace flash {

// The image every device of a run or a station gets, read once before any port is opened.
struct Image
{
    QByteArray bytes;
    QString path; // absolute
    QString sha256;
};

// False after telling why on standard error: unreadable, not a regular file, over the size limit,
// shorter than its name field, or nothing after it (no firmware).
bool loadImage(const QString &fileName, Image *image);

// The checks of loadImage() on bytes already read (a job's pinned image); false after telling
// why on standard error.
bool checkImageBytes(const QString &fileName, const QByteArray &bytes);

} // namespace flash
