#include "jobrun.h"

#include "attemptrecord.h"
#include "attemptnotes.h"
#include "image.h"
#include "jobcount.h"
#include "joblock.h"
#include "results.h"
#include "station.h"
#include "terminal.h"

#include <QTextStream>

namespace flash {

namespace {

// The station's options are the job's, whatever the command line held besides.
Options jobOptions(const Options &given, const JobSettings &s)
{
    Options o;
    o.command = Options::Command::Update;
    o.station = true;
    o.json = given.json;
    o.stopAfter = given.stopAfter;
    o.ports = s.ports;
    o.baud = s.baud;
    o.paceMs = s.paceMs;
    o.attempts = s.attempts;
    o.image = s.image;
    o.verify = s.verify;
    o.expectVersion = s.expectVersion;
    o.skipIfVersion = s.skipIfVersion;
    o.recordPath = s.record;
    return o;
}

// The pinned bytes, with the checks --image gets.
bool pinnedImage(const JobSettings &s, StationJob *job, Image *image)
{
    const ImagePin pin = pinImage(s.image, s.imageSha256);
    if (!pin.error.isEmpty()) {
        printError(pin.error);
        return false;
    }
    if (!checkImageBytes(s.image, pin.image.bytes))
        return false;
    job->pinned = pin.image;
    image->bytes = pin.image.bytes;
    image->path = pin.image.path;
    image->sha256 = pin.image.sha256;
    return true;
}

} // namespace

int runJob(const Options &options)
{
    StationJob job;
    const ParsedJob parsed = parseJob(options.jobFile);
    if (!parsed.error.isEmpty()) {
        printError(parsed.error);
        return kUsageStatus;
    }
    job.job = parsed.job;
    const JobSettings &s = job.job.settings;
    JobLock lock;
    QString error;
    if (lock.acquire(s.name, JobLock::defaultFolder(), &error) != JobLock::Outcome::Locked) {
        printError(error);
        return exitStatus(Result::PortOpenFailed);
    }
    Image image;
    if (!pinnedImage(s, &job, &image))
        return kUsageStatus;
    const JobPasses passes = countJobPasses(s.record, s.name, image.sha256);
    if (!passes.error.isEmpty()) {
        printError(passes.error);
        return kUsageStatus;
    }
    job.passed = passes.serials;
    job.passesWithoutSerial = passes.withoutSerial;
    // Restarted after its last pass: nothing to open.
    if (s.quantity > 0 && job.passed.size() >= s.quantity) {
        const QString text = QStringLiteral("job complete: %1 of %2 (by the record %3)")
                                 .arg(job.passed.size())
                                 .arg(s.quantity)
                                 .arg(s.record);
        if (options.json)
            writeEvent(QStringLiteral("jobComplete"), {{QStringLiteral("text"), text}});
        else
            QTextStream(stdout) << text << '\n';
        return 0;
    }
    return runStation(jobOptions(options, s), image, &job);
}

int runWriteJob(const Options &o)
{
    // The name field's checks, as a run with --image would make them.
    Image image;
    if (!loadImage(o.image, &image))
        return kUsageStatus;
    // A job that could never start is refused now, not on the line.
    const QString clash = recordClash(o, image);
    if (!clash.isEmpty()) {
        printError(QStringLiteral("cannot write the job file %1: the record %2: %3")
                       .arg(o.writeJobFile, o.recordPath, clash));
        return kUsageStatus;
    }
    JobSettings s;
    s.name = o.jobName;
    s.station = o.stationName;
    s.image = o.image;
    s.baud = o.baud;
    s.verify = o.verify;
    s.expectVersion = o.expectVersion;
    s.skipIfVersion = o.skipIfVersion;
    s.paceMs = o.paceMs;
    s.attempts = o.attempts;
    s.ports = o.ports;
    s.quantity = o.quantity;
    s.record = o.recordPath;
    const ParsedJob written = writeJob(o.writeJobFile, s);
    if (!written.error.isEmpty()) {
        printError(written.error);
        return kUsageStatus;
    }
    QTextStream(stdout) << QStringLiteral("wrote the job file %1: job \"%2\", image sha256 %3\n")
                               .arg(written.job.file, written.job.settings.name,
                                    written.job.settings.imageSha256);
    return 0;
}

} // namespace flash
