#pragma once

#include "plantoptions.h"
#include "protocol.h"
#include "serve.h"
#include "timing.h"

#include <QString>
#include <QStringList>

namespace flash {

struct Options
{
    enum class Command {
        Help,
        Version,
        List,
        Identify,
        Update,
        Report,
        Ship,
        InitDb,
        Serve,
        Job,      // --job FILE: the station the job file fixes
        WriteJob, // --write-job FILE
    };
    Command command = Command::Update;
    QStringList ports;
    qint32 baud = protocol::kFastBaud;
    int paceMs = timing::kReplyPollMs;
    int attempts = 1;
    QString image;
    bool verify = false;
    QString expectVersion;
    QString skipIfVersion;
    QString recordPath;
    bool json = false;
    bool station = false;    // --station: every --port is a slot, devices come and go
    int stopAfter = 0;       // --stop-after: the station stops after this many verdicts; 0: never
    QStringList reportFiles; // --report: the record files to read
    QString jobFile;         // --job FILE (not with --report, where --job names a job)
    QString writeJobFile;    // --write-job FILE
    QString jobName;         // --job-name, with --write-job
    QString stationName;     // --station-name, with --write-job
    int quantity = 0;        // --quantity, with --write-job; 0: none
    PlantOptions plant;      // --ship, --init-db, --report over the plant database
    ServeSettings serve;     // --serve
};

struct ParsedOptions
{
    Options options;
    QString error; // empty when the command line is usable
};

// Parses the whole command line (program name first). Usage errors are found here, before any
// port is touched; the image and the record file are checked by their own loaders.
ParsedOptions parseOptions(const QStringList &arguments);

// --help: the options, then the exit statuses and the notes on pacing and cancelling.
QString helpText();

} // namespace flash
