#pragma once

#include <QString>

namespace portlock {

// The path a port name opens, resolved as QSerialPort resolves it: on Unix a name that does not
// start with "/", "./" or "../" lies under /dev ("ttyUSB0", "pts/3").
QString systemPath(const QString &port);

// The same text for every name of one port: a device node gives its device number, so a symlink
// under /dev/serial/by-id, "pts/3" and "/dev/pts/3" are one port. Anything else gives its
// canonical path, or its system path when it does not exist.
QString portIdentity(const QString &port);

// True when both paths exist and reach one file (device and inode) or one device (its number).
bool sameNode(const QString &a, const QString &b);

// The reason given when another program holds the port.
QString inUseText();

// Keeps a port for this process while it is in use. QSerialPort's lock file is named after the
// path it was given and root passes its TIOCEXCL, so neither stops a second program that reaches
// the port by another name or as root; an exclusive flock on the device itself stops both. The
// descriptor is our own, opened without changing anything on the line, so a refused program has
// not touched the line's rate or settings either.
class PortLock
{
public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Locks `port`. A lock already held stays when the name still reaches the node it was taken
    // on; a replaced node (an adapter plugged in again) is locked anew. False with the reason in
    // `error` (inUseText() when another program holds it).
    bool acquire(const QString &port, QString *error);
    void release();
    bool isHeld() const { return m_fd >= 0; }
    // The lock is held on the node `port` names now (under whatever name it was taken).
    bool holds(const QString &port) const { return m_fd >= 0 && stillCurrent(systemPath(port)); }
    // The device behind the lock vanished (an adapter unplugged, a device that re-enumerates as it
    // restarts). The lock must then go at once: while a descriptor is open the kernel keeps the
    // old device's number, and the device would come back under another name.
    bool lineHungUp() const;

private:
    bool stillCurrent(const QString &path) const;

    int m_fd = -1;
};

} // namespace portlock
