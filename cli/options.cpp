#include "options.h"

#include "imagefile.h"
#include "portlock.h"
#include "protocol.h"
#include "serveoptions.h"
#include "timing.h"

#include <QCommandLineParser>
#include <QHash>

namespace flash {

namespace {

const QString kList = QStringLiteral("list");
const QString kPort = QStringLiteral("port");
const QString kBaud = QStringLiteral("baud");
const QString kIdentify = QStringLiteral("identify");
const QString kImage = QStringLiteral("image");
const QString kVerify = QStringLiteral("verify");
const QString kExpectVersion = QStringLiteral("expect-version");
const QString kSkipIfVersion = QStringLiteral("skip-if-version");
const QString kRecord = QStringLiteral("record");
const QString kJson = QStringLiteral("json");
const QString kPace = QStringLiteral("pace");
const QString kAttempts = QStringLiteral("attempts");
const QString kReport = QStringLiteral("report");
const QString kStation = QStringLiteral("station");
const QString kStopAfter = QStringLiteral("stop-after");
// Enough for a long shift; the limit only keeps the number sane.
constexpr int kMaxStopAfter = 1000000;

// What is done, to which ports, and how the line is driven.
QList<QCommandLineOption> commandOptions()
{
    return {
        {kList, QStringLiteral("List the serial ports present, with their description, USB "
                               "vendor and product id, USB serial number and latency timer.")},
        {kPort,
         QStringLiteral("Serial port of a device (/dev/ttyUSB0, COM3). Repeat for more devices; "
                        "all are updated at the same time."),
         QStringLiteral("PORT")},
        {kBaud,
         QStringLiteral("Line rate: 9600 or 115200 (default). Only 115200 finds a device that "
                        "already waits for firmware."),
         QStringLiteral("RATE")},
        {kIdentify, QStringLiteral("Connect, print product, serial number and firmware version "
                                   "(or that the device waits for firmware), disconnect.")},
        {kImage, QStringLiteral("Update every --port with this image (*.bin or *.hex)."),
         QStringLiteral("FILE")},
        {kVerify, QStringLiteral("After the confirmed end, wait for the device to restart "
                                 "(at most %1 s), connect again and check its identity.")
                      .arg(timing::kRestartDeadlineMs / 1000)},
        {kExpectVersion, QStringLiteral("With --verify: the version the device must report."),
         QStringLiteral("V")},
        {kSkipIfVersion,
         QStringLiteral("Leave a device that already reports this version "
                        "alone (recorded as skipped)."),
         QStringLiteral("V")},
    };
}

// With --ship and --report, --station NAME names a station.
QCommandLineOption stationOption(bool named)
{
    const QString text = QStringLiteral(
        "With --image: run a station. Each --port is a slot whose port may be absent, appear and "
        "vanish; every device that comes is updated once, shown with its verdict until it is "
        "taken out, and recorded. Stops on Ctrl+C or after --stop-after. With --ship or "
        "--report: --station NAME names a station (see below).");
    return named ? QCommandLineOption(kStation, text, QStringLiteral("NAME"))
                 : QCommandLineOption(kStation, text);
}

// Where the outcome goes, the pace, and the station.
QList<QCommandLineOption> outputOptions(bool stationNamed)
{
    return {
        {kRecord,
         QStringLiteral("Append one JSON line per device attempt to FILE, whatever its end."),
         QStringLiteral("FILE")},
        {kJson, QStringLiteral("Print one JSON object per event on standard output, and nothing "
                               "else there.")},
        {kPace,
         QStringLiteral("Look for a frame's answer every MS milliseconds (default %1, as the "
                        "window does); 0 sends the next frame as soon as the answer is read. "
                        "See the warning below.")
             .arg(timing::kReplyPollMs),
         QStringLiteral("MS")},
        {kReport,
         QStringLiteral("Read the record files named after the options (any number, from several "
                        "stations) and print a shift report: yield, results, ports and adapters "
                        "that fail more than the rest, durations.")},
        stationOption(stationNamed),
        {kStopAfter,
         QStringLiteral("With --station: stop after N devices have a verdict (running updates "
                        "end first)."),
         QStringLiteral("N")},
        {kAttempts,
         QStringLiteral("Handshake attempts before a device counts as not answering (default 1, "
                        "at most %1).")
             .arg(timing::kFastAttemptsAfterAbort),
         QStringLiteral("N")},
    };
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
    parser.addOptions(commandOptions());
    parser.addOptions(outputOptions(stationNamed));
    parser.addOptions(plantOptions());
    parser.addOptions(serveOptions());
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
    for (const QString &name : {kPort, kBaud, kVerify, kExpectVersion, kSkipIfVersion, kRecord,
                                kPace, kAttempts, kStopAfter}) {
        if (p.isSet(name))
            return QStringLiteral("--%1 does not go with --report").arg(name);
    }
    if (o.reportFiles.isEmpty() && o.plant.target.isEmpty())
        return QStringLiteral("--report needs at least one record file");
    return checkPlantReport(p);
}

QString checkCombination(const QCommandLineParser &p, const Options &o)
{
    const int commands = int(p.isSet(kList)) + int(p.isSet(kIdentify)) + int(p.isSet(kImage)) +
                         int(p.isSet(kReport)) + plantCommands(p) +
                         int(p.isSet(QStringLiteral("serve")));
    if (commands == 0)
        return QStringLiteral("nothing to do: give --list, --identify, --image, --report, --ship, "
                              "--init-db or --serve");
    if (commands > 1)
        return QStringLiteral("--list, --identify, --image, --report, --ship, --init-db and "
                              "--serve exclude each other");
    if (o.command == Options::Command::Serve)
        return QString(); // parseServe() checked it
    if (!refuseServeOptions(p).isEmpty())
        return refuseServeOptions(p);
    if (o.command == Options::Command::Report)
        return checkReport(p, o);
    if (o.command == Options::Command::Ship || o.command == Options::Command::InitDb)
        return checkPlantCommand(p, o);
    if (!refusePlantOptions(p).isEmpty())
        return refusePlantOptions(p);
    if (!p.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
    if (o.command == Options::Command::List) {
        for (const QString &name : {kPort, kBaud, kVerify, kExpectVersion, kSkipIfVersion, kRecord,
                                    kPace, kAttempts, kStation, kStopAfter}) {
            if (p.isSet(name))
                return QStringLiteral("--%1 does not go with --list").arg(name);
        }
        return QString();
    }
    if (o.ports.isEmpty())
        return QStringLiteral("no --port given");
    if (o.command == Options::Command::Identify) {
        for (const QString &name : {kVerify, kExpectVersion, kSkipIfVersion, kRecord, kPace}) {
            if (p.isSet(name))
                return QStringLiteral("--%1 goes with --image, not with --identify").arg(name);
        }
    }
    if (o.station && o.command != Options::Command::Update)
        return QStringLiteral("--station needs --image");
    if (p.isSet(kStopAfter) && !o.station)
        return QStringLiteral("--stop-after goes with --station");
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
        const QString key = portKey(port);
        if (seen.contains(key))
            return QStringLiteral("port %1 is named twice (as %2 too)").arg(seen.value(key), port);
        seen.insert(key, port);
    }
    return QString();
}

// The last of two values would silently win: a typo in a script must not pick the image.
QString checkSingleValues(const QCommandLineParser &p)
{
    const QStringList names = QStringList{kBaud,   kImage, kExpectVersion, kSkipIfVersion,
                                          kRecord, kPace,  kAttempts,      kStopAfter} +
                              plantValueOptions() + serveValueOptions();
    for (const QString &name : names) {
        if (p.values(name).size() > 1)
            return QStringLiteral("--%1 is given %2 times; give it once")
                .arg(name)
                .arg(p.values(name).size());
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
        "[--pace MS] [--attempts N] [--stop-after N]\n");
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
       not a regular file, or is the image or a port (also one not there yet)
    3  a port cannot be opened (also: in use by another program)
    4  no answer (to the handshake, or to the update command)
    5  the image is for another product, or the device did not name its product
       (nothing was sent after the handshake; a name that comes only after the
       update command stops the update before its first frame)
    6  the device refused a frame
    7  the device stopped answering
    8  the port was lost (unplugged, or it reported an error)
    9  the end was not confirmed
   10  verification failed
   11  skipped: every device already reports the version of --skip-if-version
   12  record not written: every device succeeded or was skipped, but a line
       could not be added to --record (disk full, write error, its lock still
       held %2 s after the end); no partial line is left behind, and each
       line not written is on standard error as JSON
   13  station: some devices failed (--station; a station whose devices all
       passed or were skipped, or to which none came, exits with 0)
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
  answering on a port that stays, is identified and updated once; its verdict
  stays shown until the device leaves (the port vanishes, two probes in a row
  go unanswered, or another serial number answers). A record line is written
  only for a device that answered. A record line that cannot be written stops
  the station taking new devices (status 12 unless a device failed).

Ports:
  A port is locked while it is in use, against every name it has (symlinks
  under /dev/serial) and against root too: a second program is refused with
  status 3 before it changes anything on the line.

Record:
  The record's lock, write and flush never hold up the devices: lines wait in
  memory, in order, while another program holds the lock (said on standard
  error after %4 s). A line waiting %5 s stops a station taking new devices.
  At the end the lines get %6 s more, then each line not written is printed on
  standard error after "record not written: ". A record file removed or
  replaced is made again at its path.
)")
                                  .arg(timing::kReplyPollMs)
                                  .arg(timing::kGatherMs)
                                  .arg(timing::kReplyTimeoutMs)
                                  .arg(timing::kRecordWaitNoticeMs / 1000)
                                  .arg(timing::kRecordStallMs / 1000)
                                  .arg(timing::kRecordStopWaitMs / 1000);
}

} // namespace

QString portKey(const QString &port)
{
    return portlock::portIdentity(port);
}

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

    o.command = p.isSet(kList)                       ? Options::Command::List
                : p.isSet(kIdentify)                 ? Options::Command::Identify
                : p.isSet(kReport)                   ? Options::Command::Report
                : p.isSet(QStringLiteral("ship"))    ? Options::Command::Ship
                : p.isSet(QStringLiteral("init-db")) ? Options::Command::InitDb
                : p.isSet(QStringLiteral("serve"))   ? Options::Command::Serve
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
