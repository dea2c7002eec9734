#pragma once

#include "options.h"
#include "serialports.h"
#include "stablenames.h"

#include <QList>
#include <QString>

namespace flash {

// --list: the ports the system knows, one line (or one JSON object) each.
int listPorts(const Options &options);

// What --list prints for `listed`, their stable names and latency timers taken from `stable` and
// the sysfs tree at `sysfsRoot` (a test gives fake ones).
QString portListing(const QList<ports::ListedPort> &listed, const ports::StableNameMap &stable,
                    const QString &sysfsRoot, bool json);

} // namespace flash
