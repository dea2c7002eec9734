#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>

namespace flash {

// The system's words for an error number, in the user's locale.
QString errnoText(int error = errno);

// Writes all of `bytes` to `fd`, going on after a signal and after a partial write; false with
// the reason in `why` otherwise. A full disk takes part of a write and refuses the rest with
// ENOSPC; a file-size limit does the same with EFBIG.
bool writeAll(int fd, const QByteArray &bytes, QString *why);

} // namespace flash
