#pragma once

#include <QString>

namespace ports {

// Where Linux shows its devices; tests give a folder laid out the same way.
QString defaultSysfsRoot();

// The sysfs file of the latency timer of the USB adapter behind a tty, or empty where there is
// none. `port` is the device node or a link to it (/dev/serial/by-id/...). The tty is found in
// sysfs by the node's device number (whatever the node is called), else by its kernel name
// (/sys/class/tty/ttyUSB0). In the kernel only FTDI's driver has a timer there, on the tty's
// device: /sys/class/tty/ttyUSB0/device/latency_timer, which is also
// /sys/bus/usb-serial/devices/ttyUSB0/latency_timer. A pseudo-terminal, a built-in port and
// adapters whose driver has no timer (CH340, CP210x, PL2303, CDC ACM) have none.
// Other systems than Linux: not done, always empty.
QString latencyTimerFile(const QString &port, const QString &sysfsRoot = defaultSysfsRoot());

// The timer in milliseconds, or -1 when it cannot be read as a number.
int readLatencyTimer(const QString &file);

// Why an adapter's timer stays as it was found.
enum class LatencyRefusal {
    None,
    NotAllowed, // the system refused the write (no permission, read-only): a udev rule helps
    Failed,     // the write failed otherwise (the adapter did not take it, it vanished)
};

// Lowers the latency timer of a port's USB adapter while the port is open and puts the old value
// back when it is let go. An FTDI chip holds what the device sends until its timer runs out (16 ms
// by default) or 62 bytes are waiting: every short answer arrives late by up to the timer.
// Two ways, as far as each is allowed: the ASYNC_LOW_LATENCY flag on the open descriptor (FTDI's
// driver then runs the timer at 1 ms, and lets anyone who may open the port set it), and the
// timer itself in sysfs. Neither changes a byte, a rate or a wait on the line. Where the port
// has no timer (a pseudo-terminal, CH340) nothing is changed and nothing is wrong; a tty whose
// driver has no such flag answers the ioctl with an error, which is ignored.
// Other systems than Linux: not done; the port runs as it was found.
class AdapterLatency
{
public:
    explicit AdapterLatency(const QString &sysfsRoot = defaultSysfsRoot()) : m_root(sysfsRoot) {}
    AdapterLatency(const AdapterLatency &) = delete;
    AdapterLatency &operator=(const AdapterLatency &) = delete;

    // Right after `port` was opened on `fd`; what a previous lower() changed is put back first.
    void lower(const QString &port, int fd);
    // Before the port's descriptor `fd` closes (-1 when it is already closed: only the sysfs
    // timer can then be put back). The figures of the last lower() stay for the record.
    void restore(int fd);

    bool hasTimer() const { return m_foundMs >= 0; }
    int foundMs() const { return m_foundMs; } // -1: no timer
    int usedMs() const { return m_usedMs; }   // as the port runs after lower(); -1: no timer
    // Set when the timer stays above kAdapterLatencyMs because the write failed, with its errno.
    LatencyRefusal refusal() const { return m_refusal; }
    int refusalError() const { return m_refusalError; }
    QString timerFile() const { return m_file; }

private:
    void lowerTimer();

    QString m_root;
    QString m_file;
    int m_foundMs = -1;
    int m_usedMs = -1;
    LatencyRefusal m_refusal = LatencyRefusal::None;
    int m_refusalError = 0;
    bool m_flagSet = false;      // we set ASYNC_LOW_LATENCY
    bool m_timerWritten = false; // we wrote the timer
    // The timer file we wrote, by node: a replaced one belongs to another adapter.
    quint64 m_fileDevice = 0;
    quint64 m_fileInode = 0;
};

// The descriptor of an open QSerialPort for lower() and restore(); -1 where there is none to use.
template <typename SerialPort> int descriptorOf(const SerialPort &port)
{
#ifdef Q_OS_UNIX
    return port.isOpen() ? int(port.handle()) : -1;
#else
    Q_UNUSED(port)
    return -1;
#endif
}

} // namespace ports
