#include "stationtally.h"

namespace flash {

namespace {

constexpr double kMsPerHour = 3600.0 * 1000.0;

} // namespace

void StationTally::add(const QString &slot, Result result, const QString &serialBefore,
                       const QString &serialAfter)
{
    ++results[slot][resultName(result)];
    if (result == Result::Skipped) {
        ++skipped;
        return;
    }
    const bool pass = result == Result::Success;
    pass ? ++passed : ++failed;
    // By serial number: a device's second attempt (a re-insert after FAIL) is not a new device.
    const QString serial = serialBefore.isEmpty() ? serialAfter : serialBefore;
    if (!serial.isEmpty() && seenSerials.contains(serial))
        return;
    if (!serial.isEmpty())
        seenSerials.insert(serial);
    ++devices;
    firstPass += pass;
}

int StationTally::firstPassYield() const
{
    return devices > 0 ? qRound(100.0 * firstPass / devices) : -1;
}

int StationTally::devicesPerHour(qint64 elapsedMs) const
{
    return elapsedMs > 0 ? qRound(verdicts() * kMsPerHour / double(elapsedMs)) : 0;
}

} // namespace flash
