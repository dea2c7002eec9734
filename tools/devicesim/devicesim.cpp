#include "devicesim.h"
#include "frame.h"
#include "identity.h"
#include "protocol.h"
#include "steadyclock.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray &longUpdateAnswer()
{
    static const QByteArray answer = QByteArrayLiteral("\r\nupdata\r\nready to receive\r\n");
    return answer;
}

const QList<QByteArray> &consoleCommands()
{
    static const QList<QByteArray> commands = {protocol::function41Frame(), protocol::infoQuery(),
                                               protocol::shortInfoQuery(),
                                               protocol::updateCommand()};
    return commands;
}

// True while the buffer could still grow into one of the console commands.
bool isCommandPrefix(const QByteArray &input)
{
    for (const QByteArray &command : consoleCommands()) {
        if (input.size() < command.size() && command.startsWith(input))
            return true;
    }
    return false;
}

qint32 speedToBaud(speed_t speed)
{
    struct Entry
    {
        speed_t speed;
        qint32 baud;
    };
    static const Entry table[] = {
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
        {B2500000, 2500000},
        {B3000000, 3000000},
        {B3500000, 3500000},
        {B4000000, 4000000},
    };
    for (const Entry &entry : table) {
        if (entry.speed == speed)
            return entry.baud;
    }
    return -1;
}

constexpr qint64 kNsPerByteAtOneBaud = protocol::kBitsPerByte * 1'000'000'000LL;

// Time the line needs for `bytes` bytes at `baud`, rounded up; none at an unknown rate.
qint64 lineNs(qint64 bytes, qint32 baud)
{
    return baud > 0 ? (bytes * kNsPerByteAtOneBaud + baud - 1) / baud : 0;
}

// Rounded up, so that the line is never faster than its rate.
qint64 microsUntil(qint64 ns)
{
    return qMax<qint64>(0, (ns + 999) / 1000);
}

// The reply with the value after `marker` replaced; unchanged if it has no such line.
QByteArray withField(const QByteArray &reply, const QByteArray &marker, const QByteArray &value)
{
    const int at = reply.indexOf(marker);
    if (at < 0)
        return reply;
    const int from = at + marker.size();
    const int end = reply.indexOf("\r\n", from);
    return reply.left(from) + value + (end < 0 ? QByteArray() : reply.mid(end));
}

QByteArray withVersion(const QByteArray &reply, const QByteArray &version)
{
    return withField(reply, QByteArrayLiteral("SW VERSION:"), version);
}

} // namespace

DeviceSimulator::DeviceSimulator(QObject *parent)
    : QObject(parent), m_identityReply(identityReply("PM-100", "SN0001", "V1.0.0")),
      m_unitReply(m_identityReply), m_garbledReply("\x06\x06", 2)
{
    m_cancelAnswerTimer.setSingleShot(true);
    m_cancelAnswerTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_cancelAnswerTimer, &QTimer::timeout, this, &DeviceSimulator::sendCancelAnswer);
    m_unaskedNakTimer.setSingleShot(true);
    m_unaskedNakTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_unaskedNakTimer, &QTimer::timeout, this, &DeviceSimulator::sendUnaskedNak);
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setTimerType(Qt::PreciseTimer);
    // The line model needs microseconds: a millisecond timer would slow a frame at 115200 by a
    // tenth.
    connect(&m_rxAlarm, &Alarm::fired, this, &DeviceSimulator::takeDueInput);
    connect(&m_txAlarm, &Alarm::fired, this, &DeviceSimulator::writeDueOutput);
    connect(&m_heldAlarm, &Alarm::fired, this, &DeviceSimulator::deliverHeld);
    connect(&m_restartTimer, &QTimer::timeout, this, &DeviceSimulator::finishRestart);
}

DeviceSimulator::~DeviceSimulator()
{
    delete m_notifier;
    m_notifier = nullptr;
    const bool running = isRunning();
    closeFds();
    if (running)
        removeLink();
}

bool DeviceSimulator::start()
{
    if (isRunning())
        return true;

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        m_errorString = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    char name[128] = {};
    if (::ptsname_r(master, name, sizeof name) != 0) {
        m_errorString = QStringLiteral("ptsname: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        ::close(master);
        ::close(slave);
        return false;
    }

    // A fresh pty slave echoes and translates line ends until the tool opens it; QSerialPort
    // restores the settings it found when it closes, so make those raw too.
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);

    m_masterFd = master;
    m_slaveFd = slave;
    m_slavePath = QString::fromLocal8Bit(name);
    if (!makeLink()) {
        closeFds();
        return false;
    }
    m_plugged = true;
    m_errorString.clear();
    m_input.clear();
    if (m_startNs < 0)
        m_startNs = steadyclock::nowNs();

    m_notifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeviceSimulator::onReadable);
    updateUnaskedNakTimer();
    return true;
}

void DeviceSimulator::hangUp()
{
    if (!isRunning())
        return;
    ++m_session;
    m_cancelAnswerTimer.stop();
    m_unaskedNakTimer.stop();
    dropLine();
    // May run inside the notifier's own signal, so it must not be deleted here.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    closeFds();
    // After the pty: a tool that finds the link gone must find the port gone too.
    removeLink();
    m_input.clear();
    // The tool's port sees EOF and QSerialPort classifies it by the thread's stale errno: our own
    // EAGAIN from the master would turn the ReadError of a separate device into a ResourceError.
    errno = 0;
    emit hungUp();
}

void DeviceSimulator::dropLine()
{
    m_rxAlarm.stop();
    m_txAlarm.stop();
    m_incoming.clear();
    m_outgoing.clear();
    m_txDueNs = -1;
    m_rxFreeNs = 0;
}

void DeviceSimulator::closeFds()
{
    m_held.clear(); // the adapter went with the port
    m_heldAlarm.stop();
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    m_masterFd = -1;
    m_slaveFd = -1;
}

qint32 DeviceSimulator::currentBaud() const
{
    if (!isRunning())
        return 0;
    termios tio{};
    if (::tcgetattr(m_masterFd, &tio) != 0)
        return 0;
    return speedToBaud(::cfgetospeed(&tio));
}

void DeviceSimulator::send(const QByteArray &bytes)
{
    if (!isRunning() || !m_powered || bytes.isEmpty())
        return;
    if (m_lineSpeed) {
        // A reply reaches the other end as it crosses the line, a few milliseconds' worth at a
        // time (as a USB adapter hands it on), not whole after its last byte.
        const qsizetype piece = qMax<qsizetype>(1, currentBaud() / 10 / 200);
        for (qsizetype at = 0; at < bytes.size(); at += piece)
            m_outgoing.append(bytes.mid(at, piece));
        scheduleOutgoing();
        return;
    }
    writeNow(bytes);
}

void DeviceSimulator::writeNow(const QByteArray &bytes)
{
    if (!isRunning())
        return;
    qsizetype done = bytes.size();
    if (m_answerLatencyMs > 0)
        hold(bytes);
    else
        done = deliver(bytes);
    if (done == 0)
        return;
    const QByteArray written = bytes.left(done);
    m_sent.append({clockNs() / 1000, currentBaud(), written});
    emit bytesSent(written);
}

void DeviceSimulator::setAnswerLatencyMs(int ms)
{
    m_answerLatencyMs = qMax(0, ms);
    if (m_answerLatencyMs == 0)
        deliverHeld();
}

// The timer runs from the first byte held; a full packet goes at once, and what is left over came
// with the bytes just added, so its time starts now.
void DeviceSimulator::hold(const QByteArray &bytes)
{
    bool restart = m_held.isEmpty();
    m_held += bytes;
    while (m_held.size() >= kAdapterHoldBytes && isRunning()) {
        deliver(m_held.left(kAdapterHoldBytes));
        m_held.remove(0, kAdapterHoldBytes);
        restart = true;
    }
    if (m_held.isEmpty())
        m_heldAlarm.stop();
    else if (restart)
        m_heldAlarm.startIn(qint64(m_answerLatencyMs) * 1000);
}

void DeviceSimulator::deliverHeld()
{
    m_heldAlarm.stop();
    const QByteArray bytes = m_held;
    m_held.clear();
    if (!bytes.isEmpty())
        deliver(bytes);
}

// Writes to the tool's end of the pty; returns how much went.
qsizetype DeviceSimulator::deliver(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_masterFd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            qWarning("DeviceSimulator: write failed after %lld of %lld bytes",
                     static_cast<long long>(done), static_cast<long long>(bytes.size()));
            break;
        }
        done += n;
    }
    return done;
}

void DeviceSimulator::setIdentity(const QByteArray &product, const QByteArray &serial,
                                  const QByteArray &version)
{
    m_identityReply = identityReply(product, serial, version);
    m_unitReply = m_identityReply;
}

void DeviceSimulator::setIdentityReply(const QByteArray &raw)
{
    m_identityReply = raw;
    m_unitReply = raw;
}

void DeviceSimulator::setReplySplit(int parts, int gapMs)
{
    m_replyParts = qMax(1, parts);
    m_replyGapMs = qMax(0, gapMs);
}

void DeviceSimulator::setBehaviour(Behaviour behaviour)
{
    m_unitBehaviour = behaviour;
    applyBehaviour(behaviour);
}

void DeviceSimulator::applyBehaviour(Behaviour behaviour)
{
    m_behaviour = behaviour;
    switch (behaviour) {
    case Normal:
        if (m_mode == Mode::Receive)
            leaveReceiveMode();
        break;
    case Silent:
        m_input.clear();
        m_cancelAnswerTimer.stop();
        break;
    case WaitingForFirmware:
        enterReceiveMode();
        break;
    }
    updateUnaskedNakTimer();
}

void DeviceSimulator::setUnaskedNakIntervalMs(int ms)
{
    m_unaskedNakIntervalMs = ms;
    m_unaskedNakTimer.stop();
    updateUnaskedNakTimer();
}

void DeviceSimulator::setLineSpeed(bool on)
{
    if (on == m_lineSpeed)
        return;
    if (on && steadyclock::isVirtual()) {
        qWarning("DeviceSimulator: no line speed on a virtual clock (its alarms run in real time)");
        return;
    }
    m_lineSpeed = on;
    if (!on)
        flushLine();
}

int DeviceSimulator::bytesOnLine() const
{
    int count = 0;
    for (const Incoming &in : m_incoming)
        count += in.bytes.size() - in.taken;
    return count;
}

void DeviceSimulator::setRestartAfterUpdate(int silentMs, const QByteArray &newVersion)
{
    m_restartSilentMs = silentMs;
    m_newVersion = newVersion;
}

void DeviceSimulator::setGarbledAtFrame(int k, const QByteArray &reply, int times)
{
    m_garbledAtFrame = k;
    m_garbledReply = reply;
    m_garbledTimes = qMax(1, times);
}

QByteArray DeviceSimulator::receivedBytes() const
{
    QByteArray all;
    for (const Received &chunk : m_record)
        all += chunk.bytes;
    return all;
}

QByteArray DeviceSimulator::sentBytes() const
{
    QByteArray all;
    for (const Received &chunk : m_sent)
        all += chunk.bytes;
    return all;
}

void DeviceSimulator::clearRecord()
{
    m_record.clear();
    m_sent.clear();
}

void DeviceSimulator::onReadable()
{
    char buffer[4096];
    while (isRunning()) {
        const ssize_t n = ::read(m_masterFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const QByteArray bytes(buffer, static_cast<int>(n));
        // The rate the tool wrote them at, which is also the rate they take on the line.
        const qint32 baud = currentBaud();
        if (m_lineSpeed)
            queueIncoming(bytes, baud);
        else
            takeIn(bytes, baud);
    }
}

void DeviceSimulator::takeIn(const QByteArray &bytes, qint32 baud)
{
    m_record.append({clockNs() / 1000, baud, bytes});
    emit bytesReceived(bytes);
    // A slot connected to bytesReceived may have hung up or silenced the device.
    if (!isRunning() || !m_powered || m_behaviour == Silent || m_restarting)
        return;
    if (m_deviceBaud != 0 && baud != m_deviceBaud)
        return;
    m_input += bytes;
    process();
}

// The tool's bytes reach the master at once; on the line each one starts when the one before it
// has ended.
void DeviceSimulator::queueIncoming(const QByteArray &bytes, qint32 baud)
{
    const qint64 startNs = qMax(clockNs(), m_rxFreeNs);
    m_rxFreeNs = startNs + lineNs(bytes.size(), baud);
    m_incoming.append({startNs, baud, bytes, 0});
    scheduleIncoming();
}

void DeviceSimulator::takeDueInput()
{
    const qint64 nowNs = clockNs();
    while (!m_incoming.isEmpty()) {
        Incoming &next = m_incoming.first();
        const qint64 elapsedNs = nowNs - next.startNs;
        int done = next.bytes.size();
        if (elapsedNs < lineNs(done, next.baud))
            done =
                elapsedNs <= 0 ? 0 : static_cast<int>(elapsedNs * next.baud / kNsPerByteAtOneBaud);
        if (done <= next.taken)
            break;
        const QByteArray bytes = next.bytes.mid(next.taken, done - next.taken);
        const qint32 baud = next.baud;
        next.taken = done;
        if (done == next.bytes.size())
            m_incoming.removeFirst();
        takeIn(bytes, baud); // may hang up, which empties the queue
    }
    scheduleIncoming();
}

void DeviceSimulator::scheduleIncoming()
{
    if (m_incoming.isEmpty()) {
        m_rxAlarm.stop();
        return;
    }
    // Bytes are taken in about every millisecond as they cross the line, the last one of a write
    // exactly when it has.
    const Incoming &next = m_incoming.constFirst();
    const qint64 nowNs = clockNs();
    const qint64 nextByteNs = next.startNs + lineNs(next.taken + 1, next.baud);
    const qint64 lastByteNs = next.startNs + lineNs(next.bytes.size(), next.baud);
    const qint64 wakeNs = qMin(lastByteNs, qMax(nextByteNs, nowNs + 1'000'000));
    m_rxAlarm.startIn(microsUntil(wakeNs - nowNs));
}

// A chunk is timed from when it comes first in the queue, which is when the one before it was
// really written: a late timer delays what follows instead of bunching it up.
void DeviceSimulator::scheduleOutgoing()
{
    if (m_outgoing.isEmpty()) {
        m_txAlarm.stop();
        m_txDueNs = -1;
        return;
    }
    const qint64 nowNs = clockNs();
    if (m_txDueNs < 0)
        m_txDueNs = nowNs + lineNs(m_outgoing.constFirst().size(), currentBaud());
    if (!m_txAlarm.isActive())
        m_txAlarm.startIn(microsUntil(m_txDueNs - nowNs));
}

void DeviceSimulator::writeDueOutput()
{
    if (!m_outgoing.isEmpty() && clockNs() >= m_txDueNs) {
        const QByteArray bytes = m_outgoing.takeFirst();
        m_txDueNs = -1;
        writeNow(bytes); // may hang up, which empties the queue
    }
    scheduleOutgoing();
}

// What was queued went out before anything the pending input may still cause.
void DeviceSimulator::flushLine()
{
    m_rxAlarm.stop();
    m_txAlarm.stop();
    m_txDueNs = -1;
    while (!m_outgoing.isEmpty())
        writeNow(m_outgoing.takeFirst());
    while (!m_incoming.isEmpty()) {
        const Incoming in = m_incoming.takeFirst();
        takeIn(in.bytes.mid(in.taken), in.baud);
    }
}

void DeviceSimulator::process()
{
    bool progressed = true;
    while (progressed && isRunning() && m_behaviour != Silent && !m_restarting &&
           !m_input.isEmpty())
        progressed = m_mode == Mode::Console ? processConsole() : processReceive();
}

bool DeviceSimulator::processConsole()
{
    if (m_input.startsWith(protocol::function41Frame())) {
        m_input.remove(0, protocol::function41Frame().size());
        if (m_answerFunction41)
            sendIdentity();
        return true;
    }
    if (m_input.startsWith(protocol::infoQuery())) {
        m_input.remove(0, protocol::infoQuery().size());
        sendIdentity();
        return true;
    }
    // The 4-byte query has no terminator, so it is answered as soon as it is complete; a CR that
    // follows in a later chunk is then dropped as noise.
    if (m_input.startsWith(protocol::shortInfoQuery())) {
        m_input.remove(0, protocol::shortInfoQuery().size());
        sendIdentity();
        return true;
    }
    if (m_input.startsWith(protocol::updateCommand())) {
        m_input.remove(0, protocol::updateCommand().size());
        if (m_answerUpdate && !m_updateAnswer.isEmpty())
            send(m_updateAnswer);
        else if (m_answerUpdate)
            send(currentBaud() == 9600 ? QByteArray(1, protocol::NAK) : longUpdateAnswer());
        enterReceiveMode();
        return true;
    }
    if (isCommandPrefix(m_input))
        return false;
    // Anything else, CAN included, is noise to the application firmware.
    m_input.remove(0, 1);
    return true;
}

bool DeviceSimulator::processReceive()
{
    const char first = m_input.at(0);
    if (first == protocol::SOH) {
        if (m_input.size() < protocol::kFrameSize)
            return false;
        const QByteArray frame = m_input.left(protocol::kFrameSize);
        m_input.remove(0, protocol::kFrameSize);
        handleFrame(frame);
        return true;
    }
    if (first == protocol::EOT) {
        m_input.remove(0, 1);
        handleEot();
        return true;
    }
    if (first == protocol::CAN) {
        m_input.remove(0, 1);
        handleCancel();
        return true;
    }
    // The handshake keeps talking to a device that already waits for firmware: swallow it.
    if (m_input.startsWith(protocol::function41Frame())) {
        m_input.remove(0, protocol::function41Frame().size());
        return true;
    }
    if (m_input.startsWith(protocol::infoQuery())) {
        m_input.remove(0, protocol::infoQuery().size());
        return true;
    }
    // Waits for the byte after "info": a lone CR left over would shift every later frame.
    if (m_input.startsWith(protocol::shortInfoQuery()) &&
        m_input.size() > protocol::shortInfoQuery().size()) {
        m_input.remove(0, protocol::shortInfoQuery().size());
        return true;
    }
    if (m_input.startsWith(protocol::updateCommand())) {
        m_input.remove(0, protocol::updateCommand().size());
        restartTransfer();
        send(QByteArray(1, protocol::NAK));
        return true;
    }
    if (isCommandPrefix(m_input))
        return false;
    // A frame with a wrong start byte: take the full frame length so that one NAK answers it.
    if (m_input.size() < protocol::kFrameSize)
        return false;
    const QByteArray frame = m_input.left(protocol::kFrameSize);
    m_input.remove(0, protocol::kFrameSize);
    handleFrame(frame);
    return true;
}

void DeviceSimulator::handleFrame(const QByteArray &frame)
{
    const int arrival = ++m_framesReceived;
    updateUnaskedNakTimer();

    if (m_hangUpAtFrame > 0 && arrival == m_hangUpAtFrame) {
        m_hangUpAtFrame = 0;
        hangUp();
        return;
    }

    const quint8 block = static_cast<quint8>(frame.at(1));
    const quint8 complement = static_cast<quint8>(frame.at(2));
    const QByteArray data = frame.mid(3, protocol::kBlockSize);
    const quint8 checksum = static_cast<quint8>(frame.at(protocol::kFrameSize - 1));
    const bool wellFormed = frame.at(0) == protocol::SOH && complement == 255 - block &&
                            checksum == blockChecksum(data);
    const bool isNext = wellFormed && block == m_expectedBlock;
    const bool isRepeat =
        wellFormed && m_anyAccepted && block == static_cast<quint8>(m_expectedBlock - 1);

    QByteArray answer(1, protocol::ACK);
    if (!isNext && !isRepeat) {
        ++m_badFrames;
        answer = QByteArray(1, protocol::NAK);
    } else if (m_nakAtFrame > 0 && arrival == m_nakAtFrame) {
        m_nakAtFrame = 0;
        answer = QByteArray(1, protocol::NAK);
    } else {
        if (isNext) {
            m_image += data;
            ++m_framesAccepted;
            m_anyAccepted = true;
            ++m_expectedBlock; // wraps 255 -> 0 like the block number on the line
        } else {
            ++m_duplicateFrames;
        }
        if (m_garbledAtFrame > 0 && arrival >= m_garbledAtFrame &&
            arrival < m_garbledAtFrame + m_garbledTimes) {
            if (arrival == m_garbledAtFrame + m_garbledTimes - 1)
                m_garbledAtFrame = 0;
            answer = m_garbledReply;
        }
    }

    if (m_silentFromFrame > 0 && arrival >= m_silentFromFrame)
        return;
    sendLater(m_answerDelayMs, answer);
}

void DeviceSimulator::handleEot()
{
    m_eotReceived = true;
    const bool silent = m_silentFromFrame > 0 && m_framesReceived + 1 >= m_silentFromFrame;
    if (m_answerEot && !silent)
        send(m_eotAnswer);
    leaveReceiveMode();
    if (m_restartSilentMs >= 0)
        beginRestart();
    emit transferFinished();
}

void DeviceSimulator::beginRestart()
{
    m_restarting = true;
    ++m_session;
    m_input.clear();
    m_cancelAnswerTimer.stop();
    updateUnaskedNakTimer();
    m_restartTimer.start(qMax(0, m_restartSilentMs));
}

void DeviceSimulator::finishRestart()
{
    m_restarting = false;
    ++m_restarts;
    installNewFirmware();
    applyBehaviour(m_behaviour);
    emit restarted();
}

void DeviceSimulator::installNewFirmware()
{
    if (m_comesBackWaiting) {
        m_behaviour = WaitingForFirmware;
        return;
    }
    if (!m_newVersion.isEmpty())
        m_identityReply = withVersion(m_identityReply, m_newVersion);
    if (!m_newSerial.isEmpty())
        m_identityReply = withField(m_identityReply, QByteArrayLiteral("PRODUCT SN:"), m_newSerial);
    m_behaviour = Normal;
}

void DeviceSimulator::handleCancel()
{
    // The bootloader stays in receive mode and expects a new transfer from block 1.
    restartTransfer();
    m_cancelAnswerTimer.start(qMax(0, m_cancelAnswerDelayMs));
    updateUnaskedNakTimer();
}

void DeviceSimulator::enterReceiveMode()
{
    const bool changed = m_mode != Mode::Receive;
    m_mode = Mode::Receive;
    restartTransfer();
    updateUnaskedNakTimer();
    if (changed)
        emit receiveModeChanged(true);
}

void DeviceSimulator::restartTransfer()
{
    m_image.clear();
    m_expectedBlock = 1;
    m_anyAccepted = false;
    m_framesReceived = 0;
    m_framesAccepted = 0;
    m_duplicateFrames = 0;
    m_badFrames = 0;
    m_eotReceived = false;
}

void DeviceSimulator::leaveReceiveMode()
{
    m_mode = Mode::Console;
    // After the transfer the device boots its (new) application firmware.
    if (m_behaviour == WaitingForFirmware)
        m_behaviour = Normal;
    m_cancelAnswerTimer.stop();
    updateUnaskedNakTimer();
    emit receiveModeChanged(false);
}

void DeviceSimulator::sendIdentity()
{
    const QByteArray reply = m_identityReply;
    const int parts = qMin(m_replyParts, qMax(1, reply.size()));
    const int base = reply.size() / parts;
    QList<QByteArray> pieces;
    for (int i = 0; i < parts; ++i)
        pieces.append(i == parts - 1 ? reply.mid(i * base) : reply.mid(i * base, base));
    sendPieces(pieces, m_replyDelayMs, m_replyGapMs);
}

void DeviceSimulator::sendLater(int ms, const QByteArray &bytes)
{
    sendPieces({bytes}, ms, 0);
}

// Each piece is timed from the previous one, so a late timer never shortens a gap.
void DeviceSimulator::sendPieces(QList<QByteArray> pieces, int delayMs, int gapMs)
{
    if (pieces.isEmpty())
        return;
    const quint64 session = m_session;
    auto next = [this, session, pieces, gapMs]() mutable {
        if (session != m_session)
            return;
        const QByteArray piece = pieces.takeFirst();
        if (m_behaviour != Silent)
            send(piece);
        sendPieces(pieces, gapMs, gapMs);
    };
    if (delayMs <= 0)
        next();
    else
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, next);
}

void DeviceSimulator::sendCancelAnswer()
{
    if (m_behaviour != Silent)
        send(QByteArray(1, protocol::NAK));
    updateUnaskedNakTimer();
}

void DeviceSimulator::sendUnaskedNak()
{
    // Take in what the tool may have written since the last event: a NAK crossing the first
    // frame on the line would read as a refusal of that frame.
    onReadable();
    if (unaskedNakWanted() && m_input.isEmpty() && m_incoming.isEmpty())
        send(QByteArray(1, protocol::NAK));
    updateUnaskedNakTimer();
}

bool DeviceSimulator::unaskedNakWanted() const
{
    return isRunning() && m_powered && m_behaviour == WaitingForFirmware &&
           m_mode == Mode::Receive && m_framesReceived == 0 && !m_cancelAnswerTimer.isActive() &&
           m_unaskedNakIntervalMs > 0;
}

// Single shot, restarted after each NAK: the gap never shrinks below the interval.
void DeviceSimulator::updateUnaskedNakTimer()
{
    if (!unaskedNakWanted())
        m_unaskedNakTimer.stop();
    else if (!m_unaskedNakTimer.isActive())
        m_unaskedNakTimer.start(m_unaskedNakIntervalMs);
}

bool DeviceSimulator::setLinkPath(const QString &path)
{
    if (path == m_linkPath)
        return true;
    if (isRunning())
        removeLink();
    m_linkPath = path;
    return !isRunning() || makeLink();
}

bool DeviceSimulator::makeLink()
{
    if (m_linkPath.isEmpty())
        return true;
    const QByteArray link = QFile::encodeName(m_linkPath);
    struct stat st
    {
    };
    // A link left by an earlier run is replaced; a file or a device node is not ours to remove.
    if (::lstat(link.constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            m_errorString = QStringLiteral("%1 exists and is not a symbolic link").arg(m_linkPath);
            return false;
        }
        ::unlink(link.constData());
    }
    if (::symlink(QFile::encodeName(m_slavePath).constData(), link.constData()) != 0) {
        m_errorString = QStringLiteral("cannot link %1: %2")
                            .arg(m_linkPath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

void DeviceSimulator::removeLink()
{
    if (m_linkPath.isEmpty())
        return;
    const QByteArray link = QFile::encodeName(m_linkPath);
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n > 0 && QByteArray(target, static_cast<int>(n)) == QFile::encodeName(m_slavePath))
        ::unlink(link.constData());
}

bool DeviceSimulator::plug()
{
    if (m_plugged && isRunning())
        return true;
    if (!start())
        return false;
    if (!m_powered)
        boot();
    emit plugged();
    return true;
}

void DeviceSimulator::unplug()
{
    if (!m_plugged)
        return;
    m_plugged = false;
    if (m_powered)
        cutPower();
    hangUp();
    emit unplugged();
}

void DeviceSimulator::setPowered(bool on)
{
    if (!m_plugged || on == m_powered)
        return;
    if (on)
        boot();
    else
        cutPower();
    emit poweredChanged(on);
}

void DeviceSimulator::swap(const QByteArray &serial)
{
    const bool live = m_plugged && m_powered;
    if (live)
        cutPower();
    m_identityReply = withField(m_unitReply, QByteArrayLiteral("PRODUCT SN:"), serial);
    m_behaviour = m_unitBehaviour;
    restartTransfer();
    if (live)
        boot();
    emit swapped(serial);
}

void DeviceSimulator::cutPower()
{
    ++m_session;
    m_cancelAnswerTimer.stop();
    dropLine();
    m_input.clear();
    if (m_restarting) {
        m_restartTimer.stop();
        m_restarting = false;
        installNewFirmware();
    } else if (m_mode == Mode::Receive && m_behaviour != Silent) {
        m_behaviour = WaitingForFirmware; // the old firmware may be half overwritten
    }
    m_powered = false;
    updateUnaskedNakTimer();
}

void DeviceSimulator::boot()
{
    m_powered = true;
    m_input.clear();
    if (m_behaviour == WaitingForFirmware)
        enterReceiveMode();
    else if (m_mode == Mode::Receive)
        leaveReceiveMode();
    updateUnaskedNakTimer();
}
