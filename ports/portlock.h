#pragma once

#include <QString>

namespace ports {

// How an attempt to lock a port ended.
struct LockOutcome
{
    enum class Kind {
        Locked,
        InUse,  // another program holds the port (its lock, or TIOCEXCL for a non-root user)
        Failed, // the node cannot be opened: absent, no permission...; `error` says why
    };
    Kind kind = Kind::Locked;
    QString error; // in words, also for InUse

    bool locked() const { return kind == Kind::Locked; }
};

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
    // on; a replaced node (an adapter plugged in again) is locked anew.
    LockOutcome acquire(const QString &port);
    void release();
    bool isHeld() const { return m_fd >= 0; }
    // The lock is held on the node `port` names now (under whatever name it was taken).
    bool holds(const QString &port) const;
    // The device behind the lock vanished (an adapter unplugged, a device that re-enumerates as it
    // restarts). The lock must then go at once: while a descriptor is open the kernel keeps the
    // old device's number, and the device would come back under another name.
    bool lineHungUp() const;

private:
    bool stillCurrent(const QString &path) const;

    int m_fd = -1;
};

} // namespace ports
