#include "options.h"

#include "optionnames.h"

#include "imagefile.h"
#include "jobfile.h"
#include "portpath.h"
#include "protocol.h"
#include "serveoptions.h"
#include "timing.h"

#include <QCommandLineParser>
#include <QHash>

namespace flash {

namespace {

// Enough for a long shift; the limit only keeps the number sane.
constexpr int kMaxStopAfter = 1000000;

// What pelmar-flash is asked to do; each option is taken by some of these.
enum Mode : unsigned {
    kListMode = 1,
    kIdentifyMode = 2,
    kRunMode = 4, // --image without --station
    kStationMode = 8,
    kReportMode = 16,
    kShipMode = 32,
    kInitDbMode = 64,
    kServeMode = 128,
    kJobMode = 256,      // --job FILE
    kWriteJobMode = 512, // --write-job FILE
};
constexpr unsigned kPortModes = kIdentifyMode | kRunMode | kStationMode;
constexpr unsigned kUpdateModes = kRunMode | kStationMode;
// What a job file fixes: --write-job takes them, --job refuses them.
constexpr unsigned kJobSettingModes = kUpdateModes | kWriteJobMode;

// Every option: the modes that take it, its value's name (none for a switch) and its help.
struct OptionEntry
{
    QString name;
    unsigned modes;
    QString valueName;
    QString (*help)();
};

QString stationHelp()
{
    return QStringLiteral(
        "With --image: run a station. Each --port is a slot whose port may be absent, appear and "
        "vanish; every device that comes is updated once, shown with its verdict until it is "
        "taken out, and recorded. Stops on Ctrl+C or after --stop-after. With --ship or "
        "--report: --station NAME names a station (see below).");
}

// In the order of --help.
const QVector<OptionEntry> kOptionTable = {
    {kList,
     kListMode,
     {},
     [] {
         return QStringLiteral("List the serial ports present, with their description, USB "
                               "vendor and product id, USB serial number and latency timer.");
     }},
    {kPort, kPortModes | kWriteJobMode, QStringLiteral("PORT"),
     [] {
         return QStringLiteral("Serial port of a device (/dev/ttyUSB0, COM3). Repeat for more "
                               "devices; all are updated at the same time.");
     }},
    {kBaud, kPortModes | kWriteJobMode, QStringLiteral("RATE"),
     [] {
         return QStringLiteral("Line rate: 9600 or 115200 (default). Only 115200 finds a "
                               "device that already waits for firmware.");
     }},
    {kIdentify,
     kIdentifyMode,
     {},
     [] {
         return QStringLiteral("Connect, print product, serial number and firmware version "
                               "(or that the device waits for firmware), disconnect.");
     }},
    {kImage, kJobSettingModes, QStringLiteral("FILE"),
     [] { return QStringLiteral("Update every --port with this image (*.bin or *.hex)."); }},
    {kVerify,
     kJobSettingModes,
     {},
     [] {
         return QStringLiteral("After the confirmed end, wait for the device to restart "
                               "(at most %1 s), connect again and check its identity.")
             .arg(timing::kRestartDeadlineMs / 1000);
     }},
    {kExpectVersion, kJobSettingModes, QStringLiteral("V"),
     [] { return QStringLiteral("With --verify: the version the device must report."); }},
    {kSkipIfVersion, kJobSettingModes, QStringLiteral("V"),
     [] {
         return QStringLiteral("Leave a device that already reports this version "
                               "alone (recorded as skipped).");
     }},
    {kRecord, kJobSettingModes, QStringLiteral("FILE"),
     [] {
         return QStringLiteral(
             "Append one JSON line per device attempt to FILE, whatever its end.");
     }},
    {kJson,
     kListMode | kPortModes | kReportMode | kShipMode | kJobMode,
     {},
     [] {
         return QStringLiteral("Print one JSON object per event on standard output, and "
                               "nothing else there.");
     }},
    {kPace, kJobSettingModes, QStringLiteral("MS"),
     [] {
         return QStringLiteral("Look for a frame's answer every MS milliseconds (default %1, "
                               "as the window does); 0 sends the next frame as soon as the "
                               "answer is read. See the warning below.")
             .arg(timing::kReplyPollMs);
     }},
    {kReport,
     kReportMode,
     {},
     [] {
         return QStringLiteral("Read the record files named after the options (any number, "
                               "from several stations) and print a shift report: yield, "
                               "results, ports and adapters that fail more than the rest, "
                               "durations.");
     }},
    {kStation, kStationMode | kReportMode | kShipMode | kJobMode | kWriteJobMode, {}, stationHelp},
    {kStopAfter, kStationMode | kJobMode, QStringLiteral("N"),
     [] {
         return QStringLiteral("With --station: stop after N devices have a verdict (running "
                               "updates end first).");
     }},
    {kAttempts, kPortModes | kWriteJobMode, QStringLiteral("N"),
     [] {
         return QStringLiteral("Handshake attempts before a device counts as not answering "
                               "(default 1, at most %1).")
             .arg(timing::kFastAttemptsAfterAbort);
     }},
    {kShip,
     kShipMode,
     {},
     [] {
         return QStringLiteral("Ship the record files named after the options to the plant "
                               "database of --to, following them as they grow, until "
                               "stopped.");
     }},
    {kTo, kShipMode | kInitDbMode | kReportMode, QStringLiteral("URL"),
     [] {
         return QStringLiteral("The plant database: postgresql://USER@HOST[:PORT]/DATABASE "
                               "(libpq's rules; the password from PGPASSFILE or ~/.pgpass).");
     }},
    {kInitDb,
     kInitDbMode,
     {},
     [] {
         return QStringLiteral("Create the plant database's tables at --to, or bring older "
                               "ones up to date, and exit.");
     }},
    {kSince, kReportMode, QStringLiteral("TIME"),
     [] {
         return QStringLiteral("With --report: only attempts that started at or after TIME "
                               "(ISO 8601, e.g. 2026-12-07T06:00:00Z or 2026-12-07).");
     }},
    {kJob, kReportMode | kJobMode, QStringLiteral("JOB"),
     [] {
         return QStringLiteral("Run the station that the job file JOB fixes (--station implied; "
                               "see Jobs below). With --report: only attempts of the job named "
                               "JOB.");
     }},
    {kWriteJob, kWriteJobMode, QStringLiteral("FILE"),
     [] {
         return QStringLiteral("Write a new job file FILE from --job-name, --station-name, the "
                               "station's options (--port, --image, --record...) and "
                               "--quantity; an existing file is never replaced.");
     }},
    {kJobName, kWriteJobMode, QStringLiteral("NAME"),
     [] { return QStringLiteral("With --write-job: the job's name (the work order)."); }},
    {kStationName, kWriteJobMode, QStringLiteral("NAME"),
     [] { return QStringLiteral("With --write-job: the station's name."); }},
    {kQuantity, kWriteJobMode, QStringLiteral("N"),
     [] {
         return QStringLiteral("With --write-job: the devices to pass, after which the "
                               "station stops (at most %1).")
             .arg(kMaxJobQuantity);
     }},
    {kSerial, kReportMode, QStringLiteral("SN"),
     [] {
         return QStringLiteral("With --report: only attempts on the device with serial "
                               "number SN (before or after its update).");
     }},
    {kServe, kServeMode, QStringLiteral("[ADDR:]PORT"),
     [] {
         return QStringLiteral("Serve the line's live page and its JSON API on [ADDR:]PORT "
                               "(127.0.0.1 unless ADDR is given; PORT 0 takes a free one) over "
                               "--db, or over the record files named after the options. "
                               "Read-only.");
     }},
    {kDb, kServeMode, QStringLiteral("URL"),
     [] { return QStringLiteral("With --serve: the plant database to show (postgresql://...)."); }},
};

const QVector<OptionEntry> &optionTable()
{
    return kOptionTable;
}

const OptionEntry *entryOf(const QString &name)
{
    for (const OptionEntry &e : optionTable()) {
        if (e.name == name)
            return &e;
    }
    return nullptr;
}

Mode modeOf(const Options &o)
{
    switch (o.command) {
    case Options::Command::List:
        return kListMode;
    case Options::Command::Identify:
        return kIdentifyMode;
    case Options::Command::Report:
        return kReportMode;
    case Options::Command::Ship:
        return kShipMode;
    case Options::Command::InitDb:
        return kInitDbMode;
    case Options::Command::Serve:
        return kServeMode;
    case Options::Command::Job:
        return kJobMode;
    case Options::Command::WriteJob:
        return kWriteJobMode;
    default:
        return o.station ? kStationMode : kRunMode;
    }
}

QString modeOption(Mode mode)
{
    switch (mode) {
    case kListMode:
        return kList;
    case kReportMode:
        return kReport;
    case kShipMode:
        return kShip;
    case kInitDbMode:
        return kInitDb;
    case kServeMode:
        return kServe;
    case kJobMode:
        return kJob;
    case kWriteJobMode:
        return kWriteJob;
    default:
        return kImage;
    }
}

// Why `name` does not go with `mode`.
QString refusal(const QString &name, Mode mode)
{
    const unsigned deviceModes = kListMode | kPortModes;
    const unsigned modes = entryOf(name)->modes;
    if (mode == kJobMode && (modes & kJobSettingModes))
        return QStringLiteral("--%1 does not go with --job: the job file fixes the image, the "
                              "ports, the rate, the verification, the record, the pace and the "
                              "attempts")
            .arg(name);
    if (modes == kServeMode)
        return QStringLiteral("--%1 goes with --serve").arg(name);
    if ((mode & deviceModes) && !(modes & deviceModes))
        return QStringLiteral("--%1 goes with --ship, --init-db or --report").arg(name);
    if (name == kStopAfter && (mode & kPortModes))
        return QStringLiteral("--stop-after goes with --station");
    if (name == kStation && mode == kIdentifyMode)
        return QStringLiteral("--station needs --image");
    if (mode == kIdentifyMode)
        return QStringLiteral("--%1 goes with --image, not with --identify").arg(name);
    return QStringLiteral("--%1 does not go with --%2").arg(name, modeOption(mode));
}

// The first option given that `mode` does not take, among those `within` selects, in the
// table's order; empty when there is none.
QString refusedOption(const QCommandLineParser &p, Mode mode, unsigned within)
{
    for (const OptionEntry &e : optionTable()) {
        if ((e.modes & within) && !(e.modes & mode) && p.isSet(e.name))
            return refusal(e.name, mode);
    }
    return QString();
}

void describe(QCommandLineParser &parser, bool stationNamed = false)
{
    parser.setApplicationDescription(QStringLiteral(
        "Updates the firmware of Pelmar devices on serial lines, many at once: each device is "
        "connected, checked against the image's product name, sent the image frame by frame, "
        "optionally verified after its restart, and recorded."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    // With --ship and --report, --station NAME names a station.
    for (const OptionEntry &e : optionTable()) {
        const bool takesValue = !e.valueName.isEmpty() || (e.name == kStation && stationNamed);
        parser.addOption(
            takesValue
                ? QCommandLineOption(e.name, e.help(),
                                     e.valueName.isEmpty() ? QStringLiteral("NAME") : e.valueName)
                : QCommandLineOption(e.name, e.help()));
    }
}

bool parseInt(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *value = v;
    return true;
}

QString checkReport(const QCommandLineParser &p, const Options &o)
{
    const QString refused = refusedOption(p, kReportMode, ~0u);
    if (!refused.isEmpty())
        return refused;
    if (o.reportFiles.isEmpty() && o.plant.target.isEmpty())
        return QStringLiteral("--report needs at least one record file");
    return checkPlantReport(p);
}

// --ship and --init-db: the options in the order given.
QString checkPlant(const QCommandLineParser &p, const Options &o)
{
    const Mode mode = modeOf(o);
    for (const QString &name : p.optionNames()) {
        if (!(entryOf(name)->modes & mode))
            return refusal(name, mode);
    }
    return checkPlantCommand(p, o);
}

QString checkValues(const QCommandLineParser &p, const Options &o);

// --job names a job file unless --report is given, where it names a job.
bool jobRun(const QCommandLineParser &p)
{
    return p.isSet(kJob) && !p.isSet(kReport);
}

QString checkCommand(const QCommandLineParser &p)
{
    int commands = int(jobRun(p));
    for (const QString &name :
         {kList, kIdentify, kImage, kReport, kShip, kInitDb, kServe, kWriteJob}) {
        // --image is a setting of --write-job; with --job it is refused as one of the job's.
        if (name != kImage || !(jobRun(p) || p.isSet(kWriteJob)))
            commands += int(p.isSet(name));
    }
    if (commands == 0)
        return QStringLiteral("nothing to do: give --list, --identify, --image, --job, "
                              "--write-job, --report, --ship, --init-db or --serve");
    if (commands > 1)
        return QStringLiteral("--list, --identify, --image, --job, --write-job, --report, --ship "
                              "and --init-db exclude each other");
    return QString();
}

// --job takes everything from its file; --write-job needs what a job file must hold.
QString checkJob(const QCommandLineParser &p, const Options &o, Mode mode)
{
    if (!p.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
    QString error = refusedOption(p, mode, ~0u);
    if (!error.isEmpty() || mode == kJobMode)
        return error;
    const QString needs[] = {kJobName, kStationName, kImage, kPort, kRecord};
    for (const QString &name : needs) {
        if (!p.isSet(name))
            return QStringLiteral("--write-job needs --%1").arg(name);
    }
    if (o.jobName.isEmpty() || o.stationName.isEmpty())
        return QStringLiteral("--job-name and --station-name need a name");
    return checkValues(p, o);
}

QString checkValues(const QCommandLineParser &p, const Options &o)
{
    if (p.isSet(kExpectVersion) && !o.verify)
        return QStringLiteral("--expect-version needs --verify");
    if (p.isSet(kExpectVersion) && o.expectVersion.isEmpty())
        return QStringLiteral("--expect-version needs a version");
    if (p.isSet(kSkipIfVersion) && o.skipIfVersion.isEmpty())
        return QStringLiteral("--skip-if-version needs a version");
    if (p.isSet(kRecord) && o.recordPath.isEmpty())
        return QStringLiteral("--record needs a file name");
    QHash<QString, QString> seen; // port identity -> the name it was first given as
    for (const QString &port : o.ports) {
        if (port.isEmpty())
            return QStringLiteral("--port needs a port name");
        const QString key = ports::portIdentity(port);
        if (seen.contains(key))
            return QStringLiteral("port %1 is named twice (as %2 too)").arg(seen.value(key), port);
        seen.insert(key, port);
    }
    return QString();
}

QString checkCombination(const QCommandLineParser &p, const Options &o)
{
    QString error = checkCommand(p);
    const Mode mode = modeOf(o);
    if (!error.isEmpty() || mode == kReportMode)
        return error.isEmpty() ? checkReport(p, o) : error;
    if (mode == kServeMode)
        return QString(); // parseServe() checked it
    if (mode == kJobMode || mode == kWriteJobMode)
        return checkJob(p, o, mode);
    if (mode == kShipMode || mode == kInitDbMode)
        return checkPlant(p, o);
    // The page's and the plant's options first: they belong to other kinds of command.
    error = refusedOption(p, mode, kServeMode);
    if (error.isEmpty())
        error = refusedOption(p, mode, kReportMode | kShipMode | kInitDbMode);
    if (error.isEmpty() && !p.positionalArguments().isEmpty())
        error = QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
    if (error.isEmpty() && mode == kListMode)
        return refusedOption(p, mode, ~0u);
    if (error.isEmpty() && o.ports.isEmpty())
        error = QStringLiteral("no --port given");
    if (error.isEmpty())
        error = refusedOption(p, mode, ~0u);
    return error.isEmpty() ? checkValues(p, o) : error;
}

// The last of two values would silently win: a typo in a script must not pick the image.
QString checkSingleValues(const QCommandLineParser &p)
{
    for (const OptionEntry &e : optionTable()) {
        const int given = int(p.values(e.name).size());
        if (e.name != kPort && given > 1)
            return QStringLiteral("--%1 is given %2 times; give it once").arg(e.name).arg(given);
    }
    return QString();
}

QString parseNumbers(const QCommandLineParser &p, Options &o)
{
    if (p.isSet(kBaud)) {
        const QString rate = p.value(kBaud);
        if (rate == QString::number(protocol::kSlowBaud))
            o.baud = protocol::kSlowBaud;
        else if (rate == QString::number(protocol::kFastBaud))
            o.baud = protocol::kFastBaud;
        else
            return QStringLiteral("unknown baud rate \"%1\": the device speaks %2 or %3")
                .arg(rate)
                .arg(protocol::kSlowBaud)
                .arg(protocol::kFastBaud);
    }
    if (p.isSet(kPace) && !parseInt(p.value(kPace), 0, timing::kReplyTimeoutMs, &o.paceMs))
        return QStringLiteral("--pace needs a number of milliseconds from 0 to %1")
            .arg(timing::kReplyTimeoutMs);
    if (p.isSet(kAttempts) &&
        !parseInt(p.value(kAttempts), 1, timing::kFastAttemptsAfterAbort, &o.attempts))
        return QStringLiteral("--attempts needs a number from 1 to %1")
            .arg(timing::kFastAttemptsAfterAbort);
    if (p.isSet(kStopAfter) && !parseInt(p.value(kStopAfter), 1, kMaxStopAfter, &o.stopAfter))
        return QStringLiteral("--stop-after needs a number from 1 to %1").arg(kMaxStopAfter);
    if (p.isSet(kQuantity) && !parseInt(p.value(kQuantity), 1, kMaxJobQuantity, &o.quantity))
        return QStringLiteral("--quantity needs a number from 1 to %1").arg(kMaxJobQuantity);
    return QString();
}

QString synopsisText()
{
    return QStringLiteral(
        "Usage: pelmar-flash --list\n"
        "  or:  pelmar-flash --port PORT [--baud RATE] --identify\n"
        "  or:  pelmar-flash --port PORT [--port PORT ...] [--baud RATE] --image FILE "
        "[--verify [--expect-version V]] [--skip-if-version V] [--record FILE] [--json] "
        "[--pace MS] [--attempts N]\n"
        "  or:  pelmar-flash --station --port SLOT [--port SLOT ...] --image FILE [--baud RATE] "
        "[--verify [--expect-version V]] [--skip-if-version V] [--record FILE] [--json] "
        "[--pace MS] [--attempts N] [--stop-after N]\n"
        "  or:  pelmar-flash --job FILE [--json] [--stop-after N]\n"
        "  or:  pelmar-flash --write-job FILE --job-name NAME --station-name NAME --port SLOT "
        "[--port SLOT ...] --image FILE --record FILE [--quantity N] [--baud RATE] "
        "[--verify [--expect-version V]] [--skip-if-version V] [--pace MS] [--attempts N]\n");
}

// Exit statuses, pacing, cancelling and port locks.
QString exitStatusText()
{
    return QStringLiteral(R"(
Exit status:
    0  success (every device updated, or some skipped and the others updated)
    2  usage error: bad option, an option given twice, unknown baud rate, a port
       named twice (under any names), an image that is missing, unreadable, not a
       regular file, over %1 MiB, shorter than its 16-byte name field or with
       nothing after it (no firmware), a record file that cannot be opened, is
       not a regular file, or is the image or a port (also one not there yet);
       --job: a job file that cannot be used (the key is named), an option the
       job fixes, an image whose SHA-256 is not the job's (both are named)
    3  a port cannot be opened (also: in use by another program); --job: the
       job already runs on this machine
    4  no answer (to the handshake, or to the update command)
    5  the image is for another product, or the device did not name its product
       (nothing was sent after the handshake; a name that comes only after the
       update command stops the update before its first frame)
    6  the device refused a frame
    7  the device stopped answering
    8  the port was lost (unplugged, or it reported an error)
    9  the end was not confirmed
   10  verification failed (--verify, or a station: another serial number or
       product after the restart)
   11  skipped: every device already reports the version of --skip-if-version
   12  record not written: every device succeeded or was skipped, but a line
       could not be added to --record (disk full, write error, its lock still
       held %2 s after the end); no partial line is left behind, and each
       line not written is on standard error as JSON
   13  station: some devices failed (--station; a station whose devices all
       passed or were skipped, or to which none came, exits with 0)
   14  came back waiting for firmware: the end was confirmed, but after its
       restart the device answered as its bootloader (--verify, or a station)
   15  the plant database cannot be reached, has no pelmar tables, or refused
       (--init-db, --report over the database; --ship keeps trying instead)
   16  the plant database's schema is newer than this program knows
  130  cancelled (Ctrl+C, SIGTERM, or SIGHUP from a closed terminal; a station
       only when a device's update was running)
  With several ports the status is 0 only if every device succeeded or was
  skipped (and at least one succeeded), 11 if all were skipped; otherwise it is
  the status of the first failing port in command-line order. A failing device
  and a cancelled run keep their status over 12.
)")
        .arg(kMaxFirmwareImageSize / (1024 * 1024))
        .arg(timing::kRecordStopWaitMs / 1000);
}

// Pacing, cancelling, the station and port locks.
QString notesText()
{
    return exitStatusText() + QStringLiteral(R"(
Pacing:
  By default a frame's answer is looked for every %1 ms, as the window does:
  the device may rely on that pace. --pace 0 sends the next frame as soon as
  the answer is read (no %2 ms gathering either); a device that needs the
  pause, or that sends its answer in pieces, may then fail. The time allowed
  for one answer stays %3 ms whatever the pace.

Cancelling:
  Ctrl+C, SIGTERM and SIGHUP stop every device at its next frame boundary (a
  frame on the line is never cut), record it as cancelled and exit with 130.
  Under nohup a hang-up is ignored. A device stopped mid-transfer waits for
  firmware; run the update again at 115200.

Station:
  --station watches every slot: a port that appears, or a device that starts
  answering on a port that stays, is identified and updated at most once per
  visit. Its restart is watched (with or without --verify) and judged before
  its record line is written. The verdict stays shown until the device leaves:
  the port vanishes, another serial number answers, or the 9600 and the 115200
  handshakes each go unanswered twice in a row with no byte for more than %4 s.
  A record line is written only for a device that answered. A record line that
  cannot be written stops the station taking new devices (status 12 unless a
  device failed).

Jobs:
  --job FILE runs the station its job file fixes: image, slots, rate,
  verification, record, pace and attempts. The image is read once at the
  start and must match the job's SHA-256; those bytes are flashed all shift,
  and the board says once when the file on disk changes. With a quantity, the
  devices passed under the job are counted, from the record at the start on;
  no update starts that could pass it, a device that passed is skipped, and
  the station ends at the quantity ("job complete: N of N").

Ports:
  A port is locked while it is in use, against every name it has (symlinks
  under /dev/serial) and against root too: a second program is refused with
  status 3 before it changes anything on the line.

Record:
  The record's lock, write and flush never hold up the devices: lines wait in
  memory, in order, while another program holds the lock (said on standard
  error after %5 s). A line waiting %6 s stops a station taking new devices.
  At the end the lines get %7 s more, then each line not written is printed on
  standard error after "record not written: ". A record file removed or
  replaced is made again at its path.
)")
                                  .arg(timing::kReplyPollMs)
                                  .arg(timing::kGatherMs)
                                  .arg(timing::kReplyTimeoutMs)
                                  .arg(timing::kDepartureSilenceMs / 1000)
                                  .arg(timing::kRecordWaitNoticeMs / 1000)
                                  .arg(timing::kRecordStallMs / 1000)
                                  .arg(timing::kRecordStopWaitMs / 1000);
}

} // namespace

ParsedOptions parseOptions(const QStringList &arguments)
{
    ParsedOptions result;
    Options &o = result.options;
    QCommandLineParser p;
    describe(p, stationNamesOne(arguments));
    if (!p.parse(arguments)) {
        result.error = p.errorText();
        return result;
    }
    if (p.isSet(QStringLiteral("help"))) {
        o.command = Options::Command::Help;
        return result;
    }
    if (p.isSet(QStringLiteral("version"))) {
        o.command = Options::Command::Version;
        return result;
    }
    result.error = checkSingleValues(p);
    if (!result.error.isEmpty())
        return result;

    o.command = p.isSet(kWriteJob)   ? Options::Command::WriteJob
                : jobRun(p)          ? Options::Command::Job
                : p.isSet(kList)     ? Options::Command::List
                : p.isSet(kIdentify) ? Options::Command::Identify
                : p.isSet(kReport)   ? Options::Command::Report
                : p.isSet(kShip)     ? Options::Command::Ship
                : p.isSet(kInitDb)   ? Options::Command::InitDb
                : p.isSet(kServe)    ? Options::Command::Serve
                                     : Options::Command::Update;
    o.reportFiles = p.positionalArguments();
    o.ports = p.values(kPort);
    o.image = p.value(kImage);
    o.verify = p.isSet(kVerify);
    o.expectVersion = p.value(kExpectVersion).trimmed();
    o.skipIfVersion = p.value(kSkipIfVersion).trimmed();
    o.recordPath = p.value(kRecord);
    o.json = p.isSet(kJson);
    o.station = p.isSet(kStation) && !stationNamesOne(arguments);
    if (o.command == Options::Command::Job)
        o.jobFile = p.value(kJob);
    o.writeJobFile = p.value(kWriteJob);
    o.jobName = p.value(kJobName).trimmed();
    o.stationName = p.value(kStationName).trimmed();

    result.error = parseNumbers(p, o);
    if (result.error.isEmpty())
        result.error = parsePlant(p, o);
    if (result.error.isEmpty() && o.command == Options::Command::Serve)
        result.error = parseServe(p, &o.serve);
    if (result.error.isEmpty())
        result.error = checkCombination(p, o);
    return result;
}

QString helpText()
{
    QCommandLineParser p;
    describe(p);
    // The parser names the program by the path it was started with; the synopsis is ours.
    QString text = p.helpText();
    text.remove(0, text.indexOf(QLatin1Char('\n')) + 1);
    return synopsisText() + plantSynopsis() + serveSynopsis() + text + notesText() + plantNotes() +
           serveNotes();
}

} // namespace flash
