#include "station.h"

#include "board.h"
#include "interrupt.h"
#include "latencynotes.h"
#include "record.h"
#include "recordwriter.h"
#include "runner.h"
#include "portpath.h"
#include "serialports.h"
#include "sessiondriver.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

#include <memory>
#include <vector>

namespace flash {

namespace {

// As the session driver: bounds the wait for queued bytes before a released port closes, and
// watches a held lock while the port is closed so that a re-enumerating device finds its old
// number free again.
constexpr int kDrainLimitMs = 2000;
constexpr int kLockWatchMs = 50;

bool pathExists(const QString &slot)
{
    // One stat(); a dangling link (the by-id name of an unplugged adapter) counts as absent.
    return QFileInfo::exists(ports::systemPath(slot));
}

} // namespace

SlotDriver::SlotDriver(const QString &slot, const SessionConfig &config, const QElapsedTimer &clock,
                       QObject *parent)
    : QObject(parent), m_name(slot), m_controller(config), m_clock(clock)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SlotDriver::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SlotDriver::onError);
    connect(&m_alarm, &Alarm::fired, this, [this] { run(m_controller.alarm(nowUs())); });
    connect(&m_port, &QSerialPort::bytesWritten, this, [this] {
        if (m_releasing && m_port.bytesToWrite() == 0)
            finishRelease();
    });
    m_drainLimit.setSingleShot(true);
    connect(&m_drainLimit, &QTimer::timeout, this, &SlotDriver::finishRelease);
    m_lockWatch.setInterval(kLockWatchMs);
    connect(&m_lockWatch, &QTimer::timeout, this, [this] {
        if (m_lock.lineHungUp()) {
            m_lock.release();
            m_lockWatch.stop();
        }
    });
    m_pathPoll.setInterval(timing::kSlotPathPollMs);
    connect(&m_pathPoll, &QTimer::timeout, this, &SlotDriver::pollPath);
}

void SlotDriver::start()
{
    m_pathPresent = pathExists(m_name);
    m_pathPoll.start();
    emit stateChanged(this);
    run(m_controller.start(nowUs(), m_pathPresent));
}

void SlotDriver::cancel()
{
    run(m_controller.cancel(nowUs()));
}

void SlotDriver::stopTakingDevices()
{
    run(m_controller.stopTakingDevices(nowUs()));
}

bool SlotDriver::isDone() const
{
    return m_controller.idle() && !m_port.isOpen() && !m_lock.isHeld() && !m_releasing;
}

void SlotDriver::pollPath()
{
    const bool present = pathExists(m_name);
    if (present == m_pathPresent)
        return;
    m_pathPresent = present;
    run(present ? m_controller.pathAppeared(nowUs()) : m_controller.pathVanished(nowUs()));
}

void SlotDriver::run(const QVector<SlotAction> &actions)
{
    // The controller has already moved on when its actions are applied: its state is told once,
    // after the notes and the record of the same batch, so that a verdict follows its attempt.
    bool changed = false;
    for (const SlotAction &a : actions) {
        if (a.kind == SlotAction::Kind::StateChanged)
            changed = true;
        else
            apply(a);
    }
    if (changed)
        emit stateChanged(this);
    const qint64 at = m_controller.nextAlarmUs();
    if (at < 0)
        m_alarm.stop();
    else
        m_alarm.startIn(at - nowUs());
    emit settled(this);
}

void SlotDriver::apply(const SlotAction &a)
{
    switch (a.kind) {
    case SlotAction::Kind::Open:
        open(a.baud);
        break;
    case SlotAction::Kind::Close:
        closePort();
        break;
    case SlotAction::Kind::Release:
        release();
        break;
    case SlotAction::Kind::SetBaud:
        m_port.setBaudRate(a.baud, QSerialPort::AllDirections);
        break;
    case SlotAction::Kind::Write:
        if (m_port.isOpen())
            m_port.write(a.bytes);
        break;
    case SlotAction::Kind::Note:
        emit noted(this, a.note);
        break;
    case SlotAction::Kind::Record:
        emit recorded(this);
        break;
    case SlotAction::Kind::StateChanged:
        break; // told by run()
    }
}

void SlotDriver::open(qint32 baud)
{
    if (m_releasing)
        finishRelease();
    m_lockWatch.stop();
    QString error;
    OpenResult result = OpenResult::Opened;
    // The lock first: a port another program uses must not see even the rate being set.
    const int samePort = samePortSlot();
    if (samePort > 0) {
        result = OpenResult::SamePort;
        error = QStringLiteral("same port as slot %1").arg(samePort);
    } else if (const ports::LockOutcome lock = m_lock.acquire(m_name); !lock.locked()) {
        result =
            lock.kind == ports::LockOutcome::Kind::InUse ? OpenResult::InUse : OpenResult::Failed;
        error = lock.error;
    } else {
        closeSerial();
        m_port.setPortName(m_name);
        m_port.setBaudRate(baud, QSerialPort::AllDirections);
        m_opening = true;
        const bool ok = m_port.open(QIODevice::ReadWrite);
        m_opening = false;
        if (!ok) {
            result = OpenResult::Failed;
            error = m_port.errorString();
        } else {
            m_adapterSerial = ports::adapterSerialOf(m_name, QSerialPortInfo::availablePorts());
            m_latency.lower(ports::systemPath(m_name), ports::descriptorOf(m_port));
            if (m_latency.refusal() != ports::LatencyRefusal::None)
                emit adapterLatencyKept(this);
        }
    }
    // Answered on the next turn of the loop, so the controller is never re-entered from inside
    // its own actions.
    QTimer::singleShot(0, this,
                       [this, result, error] { run(m_controller.opened(nowUs(), result, error)); });
}

// 1-based, as the slots are given; 0 when no other slot holds this port.
int SlotDriver::samePortSlot() const
{
    for (int i = 0; i < m_station.size(); ++i) {
        if (m_station.at(i) != this && m_station.at(i)->m_lock.holds(m_name))
            return i + 1;
    }
    return 0;
}

void SlotDriver::release()
{
    m_lockWatch.stop();
    if (!m_port.isOpen() || m_port.bytesToWrite() == 0) {
        finishRelease();
        return;
    }
    // A frame is never cut off: what was handed to the port leaves before it closes.
    m_releasing = true;
    m_drainLimit.start(kDrainLimitMs);
}

void SlotDriver::finishRelease()
{
    m_releasing = false;
    m_drainLimit.stop();
    m_lockWatch.stop();
    closeSerial();
    m_lock.release();
    emit settled(this);
}

void SlotDriver::closePort()
{
    closeSerial();
    if (m_lock.isHeld())
        m_lockWatch.start();
}

// The adapter's latency timer goes back as it was before the port is let go.
void SlotDriver::closeSerial()
{
    m_latency.restore(ports::descriptorOf(m_port));
    if (m_port.isOpen())
        m_port.close();
}

void SlotDriver::onReadyRead()
{
    const QByteArray bytes = m_port.readAll();
    if (!bytes.isEmpty())
        run(m_controller.bytesArrived(nowUs(), bytes));
}

void SlotDriver::onError(QSerialPort::SerialPortError error)
{
    if (m_opening || error == QSerialPort::NoError || error == QSerialPort::NotOpenError ||
        error == QSerialPort::TimeoutError)
        return;
    const QString text = portErrorText(m_port, error);
    // A hung-up line repeats its read error until the port is closed.
    closePort();
    run(m_controller.portError(nowUs(), text));
}

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
    QJsonObject o = QJsonDocument::fromJson(recordLine(r)).object();
    o.insert(QStringLiteral("slot"), slot.name());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
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

void wire(StationRun &run, SlotDriver *slot, StationPrinter &printer, QEventLoop &loop)
{
    QObject::connect(slot, &SlotDriver::stateChanged, &loop,
                     [&printer](SlotDriver *s) { printer.slotChanged(*s); });
    QObject::connect(slot, &SlotDriver::noted, &loop,
                     [&printer](SlotDriver *s, Note note) { printer.noted(*s, note); });
    QObject::connect(slot, &SlotDriver::recorded, &loop, [&run, &printer, &loop](SlotDriver *s) {
        run.tally.add(s->name(), *s->controller().attempt());
        run.write(*s);
        printer.recorded(*s);
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
    QVector<const SlotDriver *> shown;
    for (const QString &port : options.ports) {
        run.slotDrivers.push_back(std::make_unique<SlotDriver>(port, config, clock));
        shown << run.slotDrivers.back().get();
    }
    const PrinterStyle style = printerStyle(options.json, true);
    const std::unique_ptr<StationPrinter> printer = makeStationPrinter(
        style,
        {options.baud, options.paceMs, qMax(0, image.bytes.size() - protocol::kNameFieldSize)},
        shown, run.tally);
    QEventLoop loop;
    LatencyNotes latencyNotes(style == PrinterStyle::Board);
    for (const auto &slot : run.slotDrivers) {
        slot->setStation(shown);
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
