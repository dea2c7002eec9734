#pragma once

#include "adapterlatency.h"

#include <QSet>
#include <QString>
#include <QStringList>

namespace flash {

// The udev rule that sets every adapter's latency timer to 1 ms as it is plugged in.
QString latencyUdevRule();

// Why a port's adapter keeps its latency timer, what that costs, and what lets it be lowered.
QString latencyKeptText(const QString &port, const ports::AdapterLatency &latency);

// Tells each port's kept latency timer once on standard error: at once, or after a live display's
// last redraw, which would climb over it.
class LatencyNotes
{
public:
    explicit LatencyNotes(bool live) : m_live(live) {}
    void tell(const QString &port, const ports::AdapterLatency &latency);
    void reportLate() const;

private:
    bool m_live;
    QSet<QString> m_told;
    QStringList m_late;
};

} // namespace flash
