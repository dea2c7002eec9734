#include "hotplug.h"
#include "devicesim.h"

#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QStringList>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kMaxSerial = 64;
constexpr int kMaxLine = 4096;
constexpr int kMaxWaitMs = 24 * 3600 * 1000;

bool validSerial(const QByteArray &serial)
{
    if (serial.isEmpty() || serial.size() > kMaxSerial)
        return false;
    for (const char c : serial) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

PlugCommand command(PlugCommand::Kind kind, const QByteArray &serial = QByteArray())
{
    return PlugCommand{kind, serial};
}

} // namespace

PlugCommand parsePlugCommand(const QByteArray &line)
{
    const QByteArray text = line.trimmed();
    if (text.isEmpty() || text.startsWith('#'))
        return command(PlugCommand::Nothing);
    int space = 0;
    while (space < text.size() && !std::isspace(static_cast<unsigned char>(text.at(space))))
        ++space;
    const QByteArray word = text.left(space).toLower();
    const QByteArray rest = text.mid(space).trimmed();
    if (word == "plug" && rest.isEmpty())
        return command(PlugCommand::Plug);
    if (word == "unplug" && rest.isEmpty())
        return command(PlugCommand::Unplug);
    if (word == "swap" && validSerial(rest))
        return command(PlugCommand::Swap, rest);
    if (word == "power" && rest.toLower() == "off")
        return command(PlugCommand::PowerOff);
    if (word == "power" && rest.toLower() == "on")
        return command(PlugCommand::PowerOn);
    return command(PlugCommand::Invalid);
}

bool applyPlugCommand(DeviceSimulator &device, const PlugCommand &command)
{
    switch (command.kind) {
    case PlugCommand::Nothing:
        return true;
    case PlugCommand::Invalid:
        return false;
    case PlugCommand::Plug:
        return device.plug();
    case PlugCommand::Unplug:
        device.unplug();
        return true;
    case PlugCommand::Swap:
        device.swap(command.serial);
        return true;
    case PlugCommand::PowerOff:
    case PlugCommand::PowerOn:
        device.setPowered(command.kind == PlugCommand::PowerOn);
        return true;
    }
    return false;
}

PlugCommandReader::PlugCommandReader(int fd, DeviceSimulator *device, QObject *parent)
    : QObject(parent), m_fd(fd), m_device(device),
      m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &PlugCommandReader::onReadable);
}

void PlugCommandReader::onReadable()
{
    char buffer[kMaxLine];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        m_notifier->setEnabled(false);
        if (!m_pending.isEmpty() && !m_overlong)
            handleLine(m_pending); // a last line without its line end
        m_pending.clear();
        emit closed(n == 0 ? QStringLiteral("end of input")
                           : QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    m_pending.append(buffer, static_cast<int>(n));
    int end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        if (!m_overlong)
            handleLine(line);
        m_overlong = false;
    }
    // A line without an end that outgrows any command is dropped up to its end.
    if (m_pending.size() > kMaxLine) {
        if (!m_overlong)
            emit refused(m_pending.left(40) + "...", QStringLiteral("line too long"));
        m_overlong = true;
        m_pending.clear();
    }
}

void PlugCommandReader::handleLine(const QByteArray &line)
{
    const PlugCommand parsed = parsePlugCommand(line);
    if (parsed.kind == PlugCommand::Nothing)
        return;
    if (parsed.kind == PlugCommand::Invalid) {
        emit refused(line.trimmed(), QStringLiteral("unknown command (plug, unplug, swap SERIAL, "
                                                    "power off, power on)"));
        return;
    }
    if (applyPlugCommand(*m_device, parsed))
        emit applied(line.trimmed());
    else
        emit refused(line.trimmed(), m_device->errorString());
}

bool PlugPattern::parsePlan(const QString &text, Plan *plan)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 4)
        return false;
    bool ok[4] = {};
    const uint seed = parts.at(0).toUInt(&ok[0]);
    const int count = parts.at(1).toInt(&ok[1]);
    const int minMs = parts.at(2).toInt(&ok[2]);
    const int maxMs = parts.at(3).toInt(&ok[3]);
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || count < 1 || minMs < 0 || maxMs < minMs ||
        maxMs > kMaxWaitMs)
        return false;
    *plan = Plan{seed, count, minMs, maxMs};
    return true;
}

QList<int> PlugPattern::waits(const Plan &plan)
{
    QRandomGenerator generator(plan.seed);
    QList<int> result;
    for (int i = 0; i < plan.count; ++i)
        result.append(static_cast<int>(generator.bounded(plan.minMs, plan.maxMs + 1)));
    return result;
}

QByteArray PlugPattern::unitSerial(const QByteArray &serial, int unit)
{
    return serial + '-' + QByteArray::number(unit);
}

PlugPattern::PlugPattern(DeviceSimulator *device, const Plan &plan, const QByteArray &serial,
                         QObject *parent)
    : QObject(parent), m_device(device), m_plan(plan), m_serial(serial)
{
    m_arrivalTimer.setSingleShot(true);
    m_arrivalTimer.setTimerType(Qt::PreciseTimer);
    m_holdTimer.setSingleShot(true);
    m_holdTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_arrivalTimer, &QTimer::timeout, this, &PlugPattern::arrive);
    connect(&m_holdTimer, &QTimer::timeout, m_device, &DeviceSimulator::unplug);
    connect(m_device, &DeviceSimulator::transferFinished, this, &PlugPattern::onTransferFinished);
    connect(m_device, &DeviceSimulator::restarted, this, &PlugPattern::onUpdated);
    connect(m_device, &DeviceSimulator::unplugged, this, &PlugPattern::onUnplugged);
}

void PlugPattern::start()
{
    m_waits = waits(m_plan);
    m_unit = 0;
    m_present = false;
    m_finished = false;
    m_device->unplug();
    scheduleNext();
}

void PlugPattern::scheduleNext()
{
    if (m_unit >= m_waits.size()) {
        m_finished = true;
        emit finished();
        return;
    }
    const int ms = m_waits.at(m_unit);
    emit waiting(m_unit + 1, ms);
    m_arrivalTimer.start(ms);
}

void PlugPattern::arrive()
{
    ++m_unit;
    const QByteArray serial = unitSerial(m_serial, m_unit);
    m_transfers = 0;
    m_device->swap(serial);
    if (!m_device->plug()) {
        // Counted as come and gone, so that the pattern still ends.
        emit plugFailed(m_unit, m_device->errorString());
        emit unitRemoved(m_unit, 0);
        scheduleNext();
        return;
    }
    m_present = true;
    emit unitArrived(m_unit, serial);
}

void PlugPattern::onTransferFinished()
{
    if (!m_present)
        return;
    ++m_transfers;
    if (!m_device->isRestarting())
        onUpdated();
}

void PlugPattern::onUpdated()
{
    if (m_present && m_holdMs >= 0 && !m_holdTimer.isActive())
        m_holdTimer.start(m_holdMs);
}

void PlugPattern::onUnplugged()
{
    if (!m_present)
        return;
    m_present = false;
    m_holdTimer.stop();
    emit unitRemoved(m_unit, m_transfers);
    scheduleNext();
}
