#pragma once

#include "options.h"
#include "record.h"
#include "session.h"
#include "serialports.h"
#include "stablenames.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace flash {

class RecordWriter;

// --list: the ports the system knows, one line (or one JSON object) each.
int listPorts(const Options &options);

// What --list prints for `listed`, their stable names and latency timers taken from `stable` and
// the sysfs tree at `sysfsRoot` (a test gives fake ones).
QString portListing(const QList<ports::ListedPort> &listed, const ports::StableNameMap &stable,
                    const QString &sysfsRoot, bool json);

// --identify and --image: every port at the same time in this thread's event loop; returns the
// exit status. Bad input (the image, the record file) is refused before any port is opened.
int runDevices(const Options &options);

// Shared with the station.
struct Image
{
    QByteArray bytes;
    QString path;
    QString sha256;
};

// Tells why on standard error when the image cannot be used.
bool loadImage(const QString &fileName, Image *image);
SessionConfig sessionConfig(const Options &options, const Image &image);
// Why --record must not be opened (it is the image or a port, also one still absent), or empty.
QString recordClash(const Options &options, const Image &image);
// --record checked and opened, when given; false after telling why on standard error.
bool openRecord(RecordWriter *record, const Options &options, const Image &image);
// What the record keeps of a finished attempt; the caller adds when, where and how long.
AttemptRecord attemptRecord(const SessionMachine &machine, const Options &options,
                            const Image &image);
// "pelmar-flash: TEXT" on standard error.
void printError(const QString &text);

} // namespace flash
