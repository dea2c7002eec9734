#include "latencynotes.h"

#include "terminal.h"
#include "timing.h"

#include <cstring>

namespace flash {

QString latencyUdevRule()
{
    return QStringLiteral("ACTION!=\"remove\", SUBSYSTEM==\"usb-serial\", "
                          "TEST==\"latency_timer\", ATTR{latency_timer}=\"1\"");
}

QString latencyKeptText(const QString &port, const ports::AdapterLatency &latency)
{
    const QString kept = QStringLiteral("%1: the USB adapter's latency timer stays at %2 ms, so "
                                        "the device's answers come up to %2 ms late and updates "
                                        "run slower")
                             .arg(port)
                             .arg(latency.usedMs());
    const QString why = QStringLiteral("%1: %2").arg(
        latency.timerFile(), QString::fromLocal8Bit(std::strerror(latency.refusalError())));
    if (latency.refusal() != ports::LatencyRefusal::NotAllowed)
        return QStringLiteral("%1: lowering it to %2 ms failed (%3)")
            .arg(kept)
            .arg(timing::kAdapterLatencyMs)
            .arg(why);
    return QStringLiteral(
               "%1: the system does not let this program lower it to %2 ms (%3). To "
               "allow it, put this line in /etc/udev/rules.d/99-usb-serial-latency.rules "
               "and plug the adapter in again (or run \"udevadm trigger "
               "--subsystem-match=usb-serial\"):\n    %4")
        .arg(kept)
        .arg(timing::kAdapterLatencyMs)
        .arg(why, latencyUdevRule());
}

void LatencyNotes::tell(const QString &port, const ports::AdapterLatency &latency)
{
    if (m_told.contains(port))
        return;
    m_told.insert(port);
    const QString text = latencyKeptText(port, latency);
    if (m_live)
        m_late << text;
    else
        printError(text);
}

void LatencyNotes::reportLate() const
{
    for (const QString &text : m_late)
        printError(text);
}

} // namespace flash
