#include "station.h"

#include "board.h"
#include "protocol.h"
#include "interrupt.h"
#include "latencynotes.h"
#include "record.h"
#include "recordwriter.h"
#include "attemptrecord.h"
#include "run.h"
#include "slotdriver.h"

#include <QDateTime>
#include <QEventLoop>

#include <memory>
#include <vector>

namespace flash {

namespace {

// The attempt a slot just recorded, as the record keeps it, with the slot it came through.
QByteArray stationRecordLine(const SlotDriver &slot, const Options &options, const Image &image,
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
    return recordLine(r);
}

// The run's state beside its slotDrivers: what ends it and what its status becomes.
struct StationRun
{
    StationRun(const Options &o, const Image &i)
        : options(o), image(i), startedAt(QDateTime::currentDateTimeUtc())
    {
    }

    const Options &options;
    const Image &image;
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
        record.append(stationRecordLine(slot, options, image, startedAt), slot.name());
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
        // Stopped on the next turn of the loop: this slot is still applying its actions.
        if (!run.stopping && enough)
            QMetaObject::invokeMethod(
                &loop, [&run] { run.stop(); }, Qt::QueuedConnection);
    });
    QObject::connect(slot, &SlotDriver::settled, &loop, [&run] { run.endIfDone(); });
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

} // namespace

int runStation(const Options &options)
{
    Image image;
    if (!loadImage(options.image, &image))
        return kUsageStatus;
    StationRun run(options, image);
    if (!openRecord(&run.record, options, image))
        return kUsageStatus;
    QElapsedTimer clock;
    clock.start();
    const SessionConfig config = sessionConfig(options, image);
    QVector<const SlotDriver *> station;
    QVector<SlotView> shown;
    for (const QString &port : options.ports) {
        run.slotDrivers.push_back(std::make_unique<SlotDriver>(port, config, clock));
        station << run.slotDrivers.back().get();
        shown << viewOf(*station.last());
    }
    const PrinterStyle style = printerStyle(options.json, true);
    const std::unique_ptr<StationPrinter> printer = makeStationPrinter(
        style,
        {options.baud, options.paceMs, qMax(0, image.bytes.size() - protocol::kNameFieldSize)},
        shown, run.tally);
    QEventLoop loop;
    LatencyNotes latencyNotes(style == PrinterStyle::Board);
    for (const auto &slot : run.slotDrivers) {
        slot->setStation(station);
        wire(run, slot.get(), *printer, loop);
        QObject::connect(slot.get(), &SlotDriver::adapterLatencyKept, &loop,
                         [&](SlotDriver *s) { latencyNotes.tell(s->name(), s->adapterLatency()); });
    }
    wireRecord(run, *printer, loop);
    InterruptWatcher interrupt;
    QObject::connect(&interrupt, &InterruptWatcher::interruptRequested, &loop, [&] {
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
