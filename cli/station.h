#pragma once

#include "options.h"

namespace flash {

// The status of a station some of whose devices failed (scripts tell it from success).
constexpr int kStationFailedStatus = 13;

// --station: every --port a slot, until Ctrl+C or --stop-after; returns the exit status.
int runStation(const Options &options);

} // namespace flash
