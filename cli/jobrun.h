#pragma once

#include "options.h"

namespace flash {

// --job FILE: the job file read, its lock taken, its image pinned and checked against its hash,
// its passes counted from its record, all before any port is opened; then its station, until
// the quantity, Ctrl+C or --stop-after. Returns the exit status.
int runJob(const Options &options);

// --write-job FILE: a new job file from the options; 0, or 2 after telling why.
int runWriteJob(const Options &options);

} // namespace flash
