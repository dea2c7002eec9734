#pragma once

#include "image.h"
#include "options.h"
#include "session.h"

namespace flash {

// The session's configuration for every device of a run or a station.
SessionConfig sessionConfig(const Options &options, const Image &image);

// --identify and --image: every port at the same time in this thread's event loop; returns the
// exit status. Bad input (the image, the record file) is refused before any port is opened.
int runDevices(const Options &options);

} // namespace flash
