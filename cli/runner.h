#pragma once

#include "options.h"

namespace flash {

// --list: the ports the system knows, one line (or one JSON object) each.
int listPorts(const Options &options);

// --identify and --image: every port at the same time in this thread's event loop; returns the
// exit status. Bad input (the image, the record file) is refused before any port is opened.
int runDevices(const Options &options);

} // namespace flash
