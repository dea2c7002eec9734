#pragma once

#include "results.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>

namespace flash {

// The station's counts for the board's footer and the summary.
struct StationTally
{
    int passed = 0;
    int failed = 0; // cancelled included
    int skipped = 0;
    int devices = 0;   // passed or failed: skipped devices are not updated
    int firstPass = 0; // devices whose first attempt passed
    QSet<QString> seenSerials;
    QHash<QString, QMap<QString, int>> results; // slot -> result name -> attempts

    // One verdict. A device is told by its serial number before the update, or, for one that was
    // waiting for firmware, by the one it gave after its restart.
    void add(const QString &slot, Result result, const QString &serialBefore,
             const QString &serialAfter);
    int verdicts() const { return passed + failed + skipped; }
    // Percent, or -1 while no device was updated.
    int firstPassYield() const;
    // Verdicts per hour over `elapsedMs`; 0 before any time passed.
    int devicesPerHour(qint64 elapsedMs) const;
};

} // namespace flash
