#pragma once

#include "image.h"
#include "jobfile.h"
#include "jobimage.h"
#include "options.h"

#include <QSet>

namespace flash {

// The status of a station some of whose devices failed (scripts tell it from success).
constexpr int kStationFailedStatus = 13;

// What a job's station runs with, checked before any port is opened: `options` carry the job's
// settings, `image` the pinned bytes.
struct StationJob
{
    Job job;
    PinnedImage pinned;
    QSet<QString> passed; // serial numbers passed under the job, from its record
    int passesWithoutSerial = 0;
};

// --station: every --port a slot, until Ctrl+C or --stop-after; returns the exit status.
int runStation(const Options &options);
// The same with `image` already read; with `job`, until the job's quantity too.
int runStation(const Options &options, const Image &image, const StationJob *job);

} // namespace flash
