#include "station.h"

#include "board.h"
#include "protocol.h"
#include "interrupt.h"
#include "quota.h"
#include "latencynotes.h"
#include "record.h"
#include "recordwriter.h"
#include "attemptrecord.h"
#include "run.h"
#include "slotdriver.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>

#include <memory>
#include <vector>

namespace flash {

namespace {

// The attempt a slot just recorded, as the record keeps it, with the slot it came through.
AttemptRecord stationRecord(const SlotDriver &slot, const Options &options, const Image &image,
                            const QDateTime &startedAt)
{
    const SlotController &c = slot.controller();
    AttemptRecord r = attemptRecord(*c.attempt(), options, image);
    r.time = startedAt.addMSecs(c.attemptStartUs() / 1000);
    // The slot's name, stable across re-plugs: a worn cable or adapter shows per port in --report.
    r.port = slot.name();
    r.adapterSerial = slot.adapterSerial();
    r.adapterLatencyMsFound = slot.adapterLatency().foundMs();
    r.adapterLatencyMs = slot.adapterLatency().usedMs();
    r.durationMs = (c.attemptEndUs() - c.attemptStartUs()) / 1000;
    r.slot = slot.name();
    r.slotPath = slot.slotPath();
    return r;
}

// Every line of a job says which job, so that a unit's record tells where it came from.
void addJob(AttemptRecord *r, const StationJob &job)
{
    r->station = job.job.settings.station;
    r->job = job.job.settings.name;
    r->jobFile = job.job.file;
    r->jobSha256 = job.job.fileSha256;
    r->quantity = job.job.settings.quantity;
}

// The run's state beside its slotDrivers: what ends it and what its status becomes.
struct StationRun
{
    StationRun(const Options &o, const Image &i, const StationJob *j)
        : options(o), image(i), job(j), startedAt(QDateTime::currentDateTimeUtc())
    {
        if (j)
            quota = std::make_unique<JobQuota>(j->job.settings.quantity, j->passed,
                                               j->passesWithoutSerial);
    }

    const Options &options;
    const Image &image;
    const StationJob *job;
    std::unique_ptr<JobQuota> quota; // with a job: shared by the slots
    quint64 quotaGeneration = 0;     // as the slots were last told
    QDateTime startedAt;
    RecordWriter record;
    StationTally tally;
    std::vector<std::unique_ptr<SlotDriver>> slotDrivers;
    bool stopping = false;
    bool ending = false; // every slot is done; the record's last lines get their time
    bool interruptedAttempt = false;

    void stop()
    {
        stopping = true;
        for (const auto &slot : slotDrivers)
            slot->stopTakingDevices();
    }

    bool allDone() const
    {
        for (const auto &slot : slotDrivers) {
            if (!slot->isDone())
                return false;
        }
        return true;
    }

    void endIfDone()
    {
        if (!stopping || ending || !allDone())
            return;
        ending = true;
        record.finish();
    }

    void write(const SlotDriver &slot)
    {
        AttemptRecord r = stationRecord(slot, options, image, startedAt);
        if (job)
            addJob(&r, *job);
        record.append(recordLine(r), slot.name());
    }

    bool quotaReached() const { return quota && quota->complete(); }

    // Slots waiting for a place ask again, on the next turn of the loop: the slot that freed
    // the place is still applying its actions.
    void tellQuotaMoved(QEventLoop &loop)
    {
        if (!quota || quota->generation() == quotaGeneration)
            return;
        quotaGeneration = quota->generation();
        QMetaObject::invokeMethod(
            &loop,
            [this] {
                for (const auto &slot : slotDrivers)
                    slot->quotaMoved();
            },
            Qt::QueuedConnection);
    }

    int status() const
    {
        if (interruptedAttempt)
            return exitStatus(Result::Cancelled);
        if (tally.failed > 0)
            return kStationFailedStatus;
        return record.lost() ? kRecordNotWrittenStatus : 0;
    }
};

SlotView viewOf(const SlotDriver &slot)
{
    return {slot.name(), &slot.controller(), &slot.clock()};
}

void wire(StationRun &run, SlotDriver *slot, StationPrinter &printer, QEventLoop &loop)
{
    QObject::connect(slot, &SlotDriver::stateChanged, &loop,
                     [&printer](SlotDriver *s) { printer.slotChanged(viewOf(*s)); });
    QObject::connect(slot, &SlotDriver::noted, &loop,
                     [&printer](SlotDriver *s, Note note) { printer.noted(viewOf(*s), note); });
    QObject::connect(slot, &SlotDriver::recorded, &loop, [&run, &printer, &loop](SlotDriver *s) {
        const SessionMachine &m = *s->controller().attempt();
        run.tally.add(s->name(), m.result(), m.identityBefore().serialNumber,
                      m.identity().serialNumber);
        run.write(*s);
        printer.recorded(viewOf(*s));
        const bool enough =
            run.options.stopAfter > 0 && run.tally.verdicts() >= run.options.stopAfter;
        if (!run.stopping && run.quotaReached())
            printer.jobNotice(StationPrinter::JobNotice::Complete,
                              QStringLiteral("job complete: %1 of %2")
                                  .arg(run.quota->passed())
                                  .arg(run.quota->quantity()));
        // Stopped on the next turn of the loop: this slot is still applying its actions.
        if (!run.stopping && (enough || run.quotaReached()))
            QMetaObject::invokeMethod(
                &loop, [&run] { run.stop(); }, Qt::QueuedConnection);
    });
    QObject::connect(slot, &SlotDriver::settled, &loop, [&run, &loop] {
        run.tellQuotaMoved(loop);
        run.endIfDone();
    });
}

// A line that failed, or waits too long, stops the station taking devices; the end waits for
// the record's last lines.
void wireRecord(StationRun &run, StationPrinter &printer, QEventLoop &loop)
{
    run.record.setSink(&printer);
    run.record.setConsequence(QStringLiteral(
        "; the station takes no new devices and stops once the updates running have ended"));
    QObject::connect(&run.record, &RecordWriter::troubled, &loop, [&run] {
        if (!run.stopping)
            run.stop();
        run.endIfDone();
    });
    QObject::connect(&run.record, &RecordWriter::finished, &loop, &QEventLoop::quit);
}

// The board's header of a job: what the operator checks at a glance.
JobFacts jobFacts(const StationJob &j, const JobQuota *quota)
{
    const JobSettings &js = j.job.settings;
    JobFacts f;
    f.station = js.station;
    f.name = js.name;
    f.file = j.job.file;
    f.fileSha256 = j.job.fileSha256;
    f.image = QFileInfo(js.image).fileName();
    f.expectVersion = js.expectVersion;
    f.imageSha256 = j.pinned.sha256;
    f.record = js.record;
    f.quota = quota;
    return f;
}

std::unique_ptr<StationPrinter> stationPrinter(const StationRun &run,
                                               const QVector<SlotView> &shown)
{
    const Options &o = run.options;
    const RunFacts facts{o.baud, o.paceMs,
                         qMax(0, run.image.bytes.size() - protocol::kNameFieldSize)};
    const JobFacts job = run.job ? jobFacts(*run.job, run.quota.get()) : JobFacts();
    return makeStationPrinter(printerStyle(o.json, true), facts, shown, run.tally,
                              run.job ? &job : nullptr);
}

void wireInterrupt(StationRun &run, InterruptWatcher &interrupt, QEventLoop &loop)
{
    QObject::connect(&interrupt, &InterruptWatcher::interruptRequested, &loop, [&run] {
        // Again while only the record is waited for: its lines go to standard error now.
        if (run.ending)
            run.record.giveUp();
        run.stopping = true;
        for (const auto &slot : run.slotDrivers) {
            run.interruptedAttempt |= slot->controller().attemptRunning();
            slot->cancel();
        }
        run.endIfDone();
    });
}

} // namespace

int runStation(const Options &options)
{
    Image image;
    if (!loadImage(options.image, &image))
        return kUsageStatus;
    return runStation(options, image, nullptr);
}

int runStation(const Options &options, const Image &image, const StationJob *job)
{
    StationRun run(options, image, job);
    if (!openRecord(&run.record, options, image))
        return kUsageStatus;
    QElapsedTimer clock;
    clock.start();
    const SessionConfig config = sessionConfig(options, image);
    QVector<const SlotDriver *> station;
    QVector<SlotView> shown;
    for (const QString &port : options.ports) {
        run.slotDrivers.push_back(std::make_unique<SlotDriver>(port, config, clock));
        if (run.quota)
            run.slotDrivers.back()->setQuota(run.quota.get(), station.size());
        station << run.slotDrivers.back().get();
        shown << viewOf(*station.last());
    }
    const std::unique_ptr<StationPrinter> printer = stationPrinter(run, shown);
    QEventLoop loop;
    LatencyNotes latencyNotes(printerStyle(options.json, true) == PrinterStyle::Board);
    for (const auto &slot : run.slotDrivers) {
        slot->setStation(station);
        wire(run, slot.get(), *printer, loop);
        QObject::connect(slot.get(), &SlotDriver::adapterLatencyKept, &loop,
                         [&](SlotDriver *s) { latencyNotes.tell(s->name(), s->adapterLatency()); });
    }
    wireRecord(run, *printer, loop);
    InterruptWatcher interrupt;
    wireInterrupt(run, interrupt, loop);
    std::unique_ptr<ImageWatcher> watcher;
    if (job) {
        watcher = std::make_unique<ImageWatcher>(job->pinned);
        QObject::connect(watcher.get(), &ImageWatcher::imageChanged, &loop,
                         [&printer](const QString &text) {
                             printer->jobNotice(StationPrinter::JobNotice::ImageChanged, text);
                         });
        watcher->start();
    }
    for (const auto &slot : run.slotDrivers)
        slot->start();
    loop.exec();

    const int status = run.status();
    printer->stationFinished({status, interrupt.interrupted(), clock.elapsed()});
    run.record.printUnwritten();
    latencyNotes.reportLate();
    return status;
}

} // namespace flash
