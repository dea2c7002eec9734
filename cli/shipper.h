#pragma once

#include <QString>
#include <QStringList>

namespace flash {

struct ShipSettings
{
    QStringList files;
    QString target;  // the database, a URL or libpq's key=value text
    QString station; // for lines that name none
    bool json = false;
};

// --ship: follows every record file as it grows (and when it is replaced or truncated at its
// path) and stores each whole line once in the plant database, batch by batch, each batch in one
// transaction with the file's position, so that a restarted shipper resumes where it stopped.
// A database that is down is retried with back-off while the files are still followed. Runs
// until SIGINT, SIGTERM or SIGHUP, which end it after the batch in hand: status 0. Status 2 for
// a record path that is a folder or a FIFO, 15 for a database with a newer schema.
//
// Events with --json, one object per line, each with `event` and `time`:
//   started {station, files, to}             connected {to, schemaVersion}
//   databaseDown {reason, retryInMs}         resumed {file, offset, line}
//   shipped {file, lines, inserted, duplicates, rejected, offset, line}
//   rejected {file, line, offset, reason}    caughtUp {file, offset, line}
//   fileWaiting {file, reason}               fileReplaced {file, how: replaced|removed|truncated}
//   fileFinished {file}                      stopped {inserted, duplicates, rejected}
int runShip(const ShipSettings &settings);

} // namespace flash
