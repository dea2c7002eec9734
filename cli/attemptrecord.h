#pragma once

#include "image.h"
#include "options.h"
#include "record.h"
#include "session.h"

#include <QString>

namespace flash {

class RecordWriter;

// What the record keeps of a finished attempt; the caller adds when, where and how long.
AttemptRecord attemptRecord(const SessionMachine &machine, const Options &options,
                            const Image &image);

// Why --record must not be opened (it is the image or a port, also one still absent), or empty.
QString recordClash(const Options &options, const Image &image);
// --record checked and opened, when given; false after telling why on standard error.
bool openRecord(RecordWriter *record, const Options &options, const Image &image);

} // namespace flash
