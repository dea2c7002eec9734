#pragma once

#include <QString>

namespace ports {

// The path a port name opens, resolved as QSerialPort resolves it: on Unix a name that does not
// start with "/", "./" or "../" lies under /dev ("ttyUSB0", "pts/3").
QString systemPath(const QString &port);

// The same text for every name of one port: a device node gives its device number, so a symlink
// under /dev/serial/by-id, "pts/3" and "/dev/pts/3" are one port. Anything else gives its
// canonical path, or its system path when it does not exist.
QString portIdentity(const QString &port);

// True when both paths exist and reach one file (device and inode) or one device (its number).
bool sameNode(const QString &a, const QString &b);

// One file or device, also when one or both are absent yet (a slot's port appears later): links
// followed, the paths made absolute and clean, and where both exist, compared by node.
bool samePlace(const QString &a, const QString &b);

} // namespace ports
