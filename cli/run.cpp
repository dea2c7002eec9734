#include "run.h"

#include "attemptrecord.h"
#include "interrupt.h"
#include "latencynotes.h"
#include "printers.h"
#include "protocol.h"
#include "recordwriter.h"
#include "serialports.h"
#include "sessiondriver.h"

#include <QEventLoop>
#include <QSerialPortInfo>

#include <memory>
#include <vector>

namespace flash {

namespace {

DeviceView viewOf(const SessionDriver &driver)
{
    return {driver.portName(), &driver.machine(), &driver.clock()};
}

// The devices of one run, what they print and record, and what ends the run.
struct DeviceRun
{
    DeviceRun(const Options &o, const Image &i, PrinterStyle style)
        : options(o), image(i), latencyNotes(style == PrinterStyle::Live),
          printer(makePrinter(
              style, {o.baud, o.paceMs, qMax(0, i.bytes.size() - protocol::kNameFieldSize)}))
    {
    }

    const Options &options;
    const Image &image;
    RecordWriter record;
    LatencyNotes latencyNotes;
    std::unique_ptr<Printer> printer;
    std::vector<std::unique_ptr<SessionDriver>> drivers;
    int running = 0;

    void add(const QString &port, const SessionConfig &config, const QString &adapterSerial);
    void finished(const SessionDriver &driver, const QString &adapterSerial);
    // A lost record line outranks only success and skipping: the device's failure or the cancel
    // is the more urgent news.
    int status(bool interrupted) const;
    RunSummary summary(int status, bool interrupted) const;
};

void DeviceRun::add(const QString &port, const SessionConfig &config, const QString &adapterSerial)
{
    drivers.push_back(std::make_unique<SessionDriver>(port, config));
    SessionDriver *driver = drivers.back().get();
    QObject::connect(driver, &SessionDriver::noted, driver,
                     [this](SessionDriver *d, Note note) { printer->noted(viewOf(*d), note); });
    QObject::connect(driver, &SessionDriver::adapterLatencyKept, driver, [this](SessionDriver *d) {
        latencyNotes.tell(d->portName(), d->adapterLatency());
    });
    QObject::connect(driver, &SessionDriver::finished, driver,
                     [this, adapterSerial](SessionDriver *d) { finished(*d, adapterSerial); });
    printer->added(viewOf(*driver));
    ++running;
}

void DeviceRun::finished(const SessionDriver &d, const QString &adapterSerial)
{
    if (options.command == Options::Command::Update) {
        AttemptRecord r = attemptRecord(d.machine(), options, image);
        r.time = d.startedAt();
        r.port = d.portName();
        r.adapterSerial = adapterSerial;
        r.adapterLatencyMsFound = d.adapterLatency().foundMs();
        r.adapterLatencyMs = d.adapterLatency().usedMs();
        r.durationMs = d.durationMs();
        record.append(recordLine(r), d.portName());
    }
    printer->finished(viewOf(d), d.durationMs());
    // The lines still waiting get their bounded time.
    if (--running == 0)
        record.finish();
}

int DeviceRun::status(bool interrupted) const
{
    QVector<Result> results;
    for (const auto &driver : drivers)
        results << driver->machine().result();
    const int status = aggregateStatus(results, interrupted);
    if (record.lost() &&
        (status == exitStatus(Result::Success) || status == exitStatus(Result::Skipped)))
        return kRecordNotWrittenStatus;
    return status;
}

RunSummary DeviceRun::summary(int status, bool interrupted) const
{
    RunSummary s;
    s.status = status;
    s.interrupted = interrupted;
    s.devices = int(drivers.size());
    for (const auto &driver : drivers)
        s.succeeded += driver->machine().result() == Result::Success;
    return s;
}

} // namespace

SessionConfig sessionConfig(const Options &options, const Image &image)
{
    SessionConfig config;
    config.mode = options.command == Options::Command::Update ? SessionConfig::Mode::Update
                                                              : SessionConfig::Mode::Identify;
    config.baud = options.baud;
    config.attempts = options.attempts;
    config.paceMs = options.paceMs;
    config.image = image.bytes;
    config.verify = options.verify;
    config.expectVersion = options.expectVersion;
    config.skipIfVersion = options.skipIfVersion;
    return config;
}

int runDevices(const Options &options)
{
    Image image;
    if (options.command == Options::Command::Update && !loadImage(options.image, &image))
        return kUsageStatus;
    DeviceRun run(options, image, printerStyle(options.json, false));
    if (!openRecord(&run.record, options, image))
        return kUsageStatus;
    run.record.setSink(run.printer.get());
    InterruptWatcher interrupt;
    QEventLoop loop;
    QObject::connect(&run.record, &RecordWriter::finished, &loop, &QEventLoop::quit);
    const SessionConfig config = sessionConfig(options, image);
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    for (const QString &port : options.ports)
        run.add(port, config, ports::adapterSerialOf(port, present));
    QObject::connect(&interrupt, &InterruptWatcher::interruptRequested, &loop, [&run] {
        // Again while only the record is waited for: its lines go to standard error now.
        if (run.running == 0)
            run.record.giveUp();
        for (const auto &driver : run.drivers)
            driver->cancel();
    });
    for (const auto &driver : run.drivers)
        driver->start();
    if (run.running > 0)
        loop.exec();

    const int status = run.status(interrupt.interrupted());
    run.printer->runFinished(run.summary(status, interrupt.interrupted()));
    run.record.printUnwritten();
    run.latencyNotes.reportLate();
    return status;
}

} // namespace flash
