// Drives the line program's session machine on a virtual clock against a device that may do
// anything at any time, and checks after every event what the machine must keep whatever the
// device does: intact frames in order, nothing before the update start or after the finish, one
// finish, success only when earned, and a finish within a bound computed from the configuration.
//
// Input: a 9-byte header (configuration, image and the gate, honest device), then the chaos: one
// operation per port open or write the device sees (answer otherwise, stay silent, split, delay,
// add noise, cancel, port error, failed open...). Once the operations run out the device keeps the
// contract. FUZZ_SESSION_TRACE=1 prints every event, for reading a reproducer.
#include "identity.h"
#include "protocol.h"
#include "results.h"
#include "session.h"
#include "sessionscript.h"
#include "testimage.h"
#include "timing.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <utility>

using flash::Action;
using flash::Note;
using flash::Result;
using flash::SessionConfig;
using Event = SessionObserver::Event;

namespace {

constexpr qint64 kUs = 1000;
constexpr qint64 kGather = timing::kGatherMs;
constexpr qint64 kFrameTimeoutMs = timing::kReplyTimeoutMs;
// The longest wait for a cancel to take effect: the 200 ms after the end byte, and a reply being
// gathered at its end.
constexpr qint64 kCancelBoundMs = timing::kAfterEotMs + kGather;

const bool kTrace = std::getenv("FUZZ_SESSION_TRACE") != nullptr;

[[noreturn]] void broken(const char *what, qint64 us)
{
    std::fprintf(stderr, "invariant broken at %lld ms: %s\n", static_cast<long long>(us / kUs),
                 what);
    std::abort();
}

void require(bool ok, const char *what, qint64 us)
{
    if (!ok)
        broken(what, us);
}

class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    bool atEnd() const { return m_pos >= m_size; }
    QByteArray bytes(int n)
    {
        QByteArray b;
        while (n-- > 0 && !atEnd())
            b.append(static_cast<char>(byte()));
        return b;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Short delays to the millisecond, long ones in steps of 100 ms up to 5.7 s.
int delayMs(uint8_t b)
{
    return b < 200 ? b : 200 + (b - 200) * 100;
}

// ---- The case: configuration, image and the honest device, from the header ----

const QByteArray kProducts[] = {"PM-100", "XY-9", "", "ABCDEFGHIJKLMNOP"};

QByteArray nameField(int choice)
{
    switch (choice) {
    case 0:
        return testimage::nameField("PM-100");
    case 1:
        return testimage::nameField("XY-9");
    case 2:
        return QByteArray("PM-100").leftJustified(protocol::kNameFieldSize, '\0');
    default:
        return QByteArray("ABCDEFGHIJKLMNOP");
    }
}

QByteArray makeImage(int nameChoice, int payload, uint8_t seed)
{
    return nameField(nameChoice) + testimage::payload(payload, seed * 2654435761u + 1);
}

QByteArray deviceIdentity(int choice, const QByteArray &serial, const QByteArray &version)
{
    if (kProducts[choice].isEmpty())
        return "\r\nERROR:UNKNOWN_COMMAND\r\n";
    return identityReply(kProducts[choice], serial, version);
}

// A job's station holds the session after the handshake (SessionConfig::gateAfterConnect) and
// answers after a while.
enum class GateAnswer { Proceed, Skip, Refuse };
constexpr int kLongHoldMs = 90000; // longer than any wait of the exchange

struct Case
{
    SessionConfig config;
    GateAnswer gateAnswer = GateAnswer::Proceed;
    int gateHoldMs = 0;
    ScriptedDevice device;
    // When the header alone describes a device keeping the contract: what the session must end in.
    bool honest = false;
    Result expected = Result::Success;
};

void readConfig(Input &in, SessionConfig &c)
{
    const uint8_t b = in.byte();
    c.baud = (b & 1) ? protocol::kSlowBaud : protocol::kFastBaud;
    const int paces[] = {timing::kReplyPollMs, 0, 7, int(kFrameTimeoutMs)};
    c.paceMs = paces[(b >> 1) & 3];
    c.verify = b & 8;
    const int attempts[] = {1, 2, 3, timing::kFastAttemptsAfterAbort};
    c.attempts = attempts[(b >> 4) & 3];
    c.mode = (b & 64) ? SessionConfig::Mode::Identify : SessionConfig::Mode::Update;
    if (b & 128)
        c.skipIfVersion = QStringLiteral("V1.0.0");
}

Case readCase(Input &in)
{
    Case k;
    readConfig(in, k.config);
    const uint8_t image = in.byte();
    const uint8_t size = in.byte();
    const uint8_t extra = in.byte();
    // 255 frames and more only on purpose: the block number wraps, and each such run is slow.
    const int payload = size == 255 ? 255 * protocol::kBlockSize + extra * 4 : size * 5;
    k.config.image = makeImage(image & 3, payload, in.byte());
    if (image & 4)
        k.config.expectVersion = QStringLiteral("V2.0.0");
    k.config.watchRestart = image & 8;
    k.config.gateAfterConnect = image & 16;
    const GateAnswer answers[] = {GateAnswer::Proceed, GateAnswer::Skip, GateAnswer::Refuse,
                                  GateAnswer::Proceed};
    k.gateAnswer = answers[(image >> 5) & 3];
    k.gateHoldMs = (image & 128) ? kLongHoldMs : 0;

    const uint8_t d = in.byte();
    ScriptedDevice &dev = k.device;
    dev.waiting = d & 1;
    dev.answersUpdate = !(d & 2);
    dev.confirmsEnd = !(d & 4);
    dev.identity = deviceIdentity((d >> 3) & 3, "SN0001", "V1.0.0");
    dev.waitingAfterRestart = d & 32;
    const int after = (d >> 6) & 3;
    if (after > 0)
        dev.identityAfterRestart =
            deviceIdentity(0, after == 2 ? "SN0002" : "SN0001", after == 3 ? "V1.0.0 " : "V2.0.0");
    // Within every window of the contract.
    dev.answerMs = in.byte() * 17;
    dev.replyMs = 1 + in.byte() % 160;
    dev.cancelAnswerMs = 50 + in.byte() * 15;

    const bool fineDevice = (d & ~1) == 0 && !(dev.waiting && k.config.baud == protocol::kSlowBaud);
    k.honest = in.atEnd() && fineDevice && (image & 7) == 0;
    // A bootloader reports no version, so it is never skipped.
    if (!k.config.skipIfVersion.isEmpty() && !dev.waiting &&
        k.config.mode == SessionConfig::Mode::Update)
        k.expected = Result::Skipped;
    else if (k.config.gateAfterConnect && k.config.mode == SessionConfig::Mode::Update &&
             k.gateAnswer != GateAnswer::Proceed)
        k.expected = k.gateAnswer == GateAnswer::Skip ? Result::Skipped : Result::WrongProduct;
    return k;
}

// ---- The chaos: what the device does to each open and write ----

enum class OpKind {
    Pass,      // answer honestly, this and the next n events
    Silent,    // no answer
    Replace,   // these bytes instead, after a delay
    Split,     // the honest answer in pieces, a gap between them
    Delay,     // the honest answer, later
    Extra,     // the honest answer and some bytes
    Cancel,    // the honest answer; a cancel request after a delay
    PortError, // the honest answer; the port fails after a delay
    FailOpen,  // on an open: it fails; on a write: honest
    Canned,    // one of the answers that matter, after a delay
    Twice,     // the honest answer and the same again later
    Chatter,   // the honest answer and a byte repeated at a period
    Count,
};

struct Op
{
    OpKind kind = OpKind::Pass;
    int n = 0;
    int delayMs = 0;
    int gapMs = 0;
    QByteArray bytes;
};

const QByteArray kCanned[] = {
    QByteArray(1, protocol::ACK),
    QByteArray(1, protocol::NAK),
    QByteArray(2, protocol::ACK),
    QByteArray("\x06\x15", 2),
    QByteArray("\x15\x06", 2),
    QByteArray(2, protocol::NAK),
    QByteArray("\x06\r\n", 3),
    QByteArray(1, 'C'),
    QByteArray(1, protocol::CAN),
    QByteArray(1, protocol::EOT),
    QByteArray(1, '\0'),
    QByteArrayLiteral("\r\nupdata\r\nready to receive\r\n"),
    identityReply("PM-100", "SN0001", "V1.0.0"),
    identityReply("XY-9", "SN0001", "V1.0.0"),
    QByteArrayLiteral("\r\nPRODUCT:PM-100\r\n"),
    QByteArrayLiteral("0123456789"),
};

QVector<Op> readOps(Input &in)
{
    QVector<Op> ops;
    while (!in.atEnd()) {
        Op op;
        op.kind = static_cast<OpKind>(in.byte() % int(OpKind::Count));
        switch (op.kind) {
        case OpKind::Pass:
            op.n = in.byte();
            break;
        case OpKind::Replace:
            op.bytes = in.bytes(in.byte() % 48);
            op.delayMs = delayMs(in.byte());
            break;
        case OpKind::Split:
            op.n = 2 + in.byte() % 7;
            op.gapMs = in.byte();
            break;
        case OpKind::Extra:
            op.bytes = in.bytes(1 + in.byte() % 32);
            op.delayMs = delayMs(in.byte());
            break;
        case OpKind::Canned:
            op.bytes = kCanned[in.byte() % std::size(kCanned)];
            op.delayMs = delayMs(in.byte());
            break;
        case OpKind::Chatter:
            op.n = 1 + in.byte() % 64;
            op.gapMs = 1 + in.byte() % 100;
            op.bytes = QByteArray(1, static_cast<char>(in.byte()));
            break;
        case OpKind::Delay:
        case OpKind::Cancel:
        case OpKind::PortError:
        case OpKind::Twice:
            op.delayMs = delayMs(in.byte());
            break;
        case OpKind::Silent:
        case OpKind::FailOpen:
        case OpKind::Count:
            break;
        }
        ops.append(op);
    }
    return ops;
}

using Replies = QVector<QPair<int, QByteArray>>;

class ChaosDevice
{
public:
    ChaosDevice(ScriptedDevice &honest, QVector<Op> ops)
        : m_honest(honest.asDevice()), m_ops(std::move(ops))
    {
    }
    void attach(SessionScript *script) { m_script = script; }

    bool openFails()
    {
        m_openOp = next();
        return m_openOp.kind == OpKind::FailOpen;
    }

    Replies answer(const Written &w)
    {
        const Replies honest = m_honest(w);
        if (!w.bytes.isEmpty())
            return transform(next(), honest, w.atMs);
        // An open: the script drops what is returned, so the bytes go out on their own.
        for (const auto &r : transform(m_openOp, honest, w.atMs))
            m_script->deliver(r.first, r.second);
        return {};
    }

    int opsCount() const { return m_ops.size(); }

private:
    Op next()
    {
        if (m_passLeft > 0) {
            --m_passLeft;
            return Op();
        }
        if (m_next >= m_ops.size())
            return Op();
        const Op op = m_ops.at(m_next++);
        if (op.kind == OpKind::Pass)
            m_passLeft = op.n;
        return op;
    }

    Replies transform(const Op &op, const Replies &honest, qint64 nowMs)
    {
        Replies out;
        switch (op.kind) {
        case OpKind::Pass:
        case OpKind::FailOpen:
        case OpKind::Count:
            return honest;
        case OpKind::Silent:
            return {};
        case OpKind::Replace:
        case OpKind::Canned:
            if (!op.bytes.isEmpty())
                out.append({op.delayMs, op.bytes});
            return out;
        case OpKind::Split:
            for (const auto &r : honest)
                appendPieces(out, r, op.n, op.gapMs);
            return out;
        case OpKind::Delay:
            for (const auto &r : honest)
                out.append({r.first + op.delayMs, r.second});
            return out;
        case OpKind::Extra:
            out = honest;
            if (!op.bytes.isEmpty())
                out.append({op.delayMs, op.bytes});
            return out;
        case OpKind::Cancel:
            m_script->at(nowMs + op.delayMs, [](SessionScript &s) { s.cancel(); });
            return honest;
        case OpKind::PortError:
            m_script->at(nowMs + op.delayMs, [](SessionScript &s) { s.portError(); });
            return honest;
        case OpKind::Twice:
            out = honest;
            for (const auto &r : honest)
                out.append({r.first + op.delayMs, r.second});
            return out;
        case OpKind::Chatter:
            out = honest;
            for (int i = 1; i <= op.n; ++i)
                out.append({i * op.gapMs, op.bytes});
            return out;
        }
        return honest;
    }

    static void appendPieces(Replies &out, const QPair<int, QByteArray> &r, int pieces, int gapMs)
    {
        const int size = r.second.size();
        int from = 0;
        for (int i = 0; i < pieces && from < size; ++i) {
            const int to = i == pieces - 1 ? size : qMin(size, from + qMax(1, size / pieces));
            out.append({r.first + i * gapMs, r.second.mid(from, to - from)});
            from = to;
        }
    }

    SessionScript::Device m_honest;
    QVector<Op> m_ops;
    int m_next = 0;
    int m_passLeft = 0;
    Op m_openOp;
    SessionScript *m_script = nullptr;
};

// ---- The bound: every wait of the configuration at its longest ----

// Each wait can end up to one gathering later, when a reply began just before its end.
qint64 attemptMaxMs(qint32 baud)
{
    using namespace timing;
    if (baud == protocol::kSlowBaud)
        return kAfterFunction41Ms + kAfterShortQueryMs + 2 * kGather;
    return kAfterFastBaudMs + kAfterCancelMs + kCancelPolls * (kCancelPollMs + kGather) +
           kAfterFunction41Ms + kAfterReturnTo115200Ms + 2 * kAfterInfoQueryMs + 6 * kGather;
}

qint64 boundMs(const SessionConfig &c, int frames)
{
    using namespace timing;
    const qint64 start = kReadyPolls * (kReadyPollMs + kGather) + kAfterUpdateCommandMs + kGather;
    const qint64 perFrame = kMaxUnclearReplies * (kFrameTimeoutMs + kGather);
    const qint64 end = kBeforeEotMs + kAfterEotMs + 2 * kGather;
    // After the restart the attempts alternate between the rates: the last may be the long one.
    const qint64 verify =
        kRestartDeadlineMs + kReopenRetryMs + attemptMaxMs(protocol::kFastBaud) + kGather;
    return c.attempts * attemptMaxMs(c.baud) + start + frames * perFrame + end +
           (c.verify || c.watchRestart ? verify : 0);
}

// ---- The checks ----

// Low byte of |S|, S the sum of the data bytes each taken as a value from -128 to 127.
char referenceChecksum(const QByteArray &data)
{
    long sum = 0;
    for (const char c : data)
        sum += static_cast<signed char>(c);
    return static_cast<char>((sum < 0 ? -sum : sum) % 256);
}

QVector<QByteArray> expectedFrames(const QByteArray &image)
{
    QVector<QByteArray> frames;
    for (int offset = protocol::kNameFieldSize; offset < image.size();
         offset += protocol::kBlockSize) {
        const QByteArray data =
            image.mid(offset, protocol::kBlockSize).leftJustified(protocol::kBlockSize, 0x1A);
        const int block = (frames.size() + 1) & 0xFF;
        QByteArray f;
        f.append(char(0x01)).append(char(block)).append(char(255 - block));
        frames.append(f + data + referenceChecksum(data));
    }
    return frames;
}

enum class Verdict { Ack, Nak, Unclear };

Verdict verdictOf(const QByteArray &answer)
{
    if (answer == QByteArray(1, protocol::ACK))
        return Verdict::Ack;
    if (answer == QByteArray(1, protocol::NAK))
        return Verdict::Nak;
    return Verdict::Unclear;
}

class Checker : public SessionObserver
{
public:
    Checker(const SessionConfig &config, QVector<QByteArray> frames, qint64 boundMs,
            int sameTimeEvents)
        : m_config(config), m_frames(std::move(frames)), m_boundUs(boundMs * kUs),
          m_sameTimeLimit(sameTimeEvents)
    {
    }

    void told(qint64 us, Event event, const QByteArray &bytes) override;
    void answered(qint64 us, const Action &action) override;
    void settled(qint64 us) override;
    void watch(const flash::SessionMachine *machine) { m_machine = machine; }
    // Called once, when the machine first holds at its gate.
    std::function<void(qint64 us)> onGate;
    void checkResult(const flash::SessionMachine &m, bool finished);
    void checkEndRecord(const flash::SessionMachine &m);
    void checkHonest(const flash::SessionMachine &m, Result expected);

private:
    void read(qint64 us, const QByteArray &bytes);
    void closeBatchIfDone(qint64 us, bool atOrAfterEnd);
    void batchDone(const QByteArray &batch);
    void answer(const QByteArray &answer);
    void write(qint64 us, const QByteArray &bytes);
    void frame(qint64 us, const QByteArray &bytes);
    void updateCommand(qint64 us);
    void transferStarted(qint64 us);
    void ending(qint64 us);
    void connected();
    void decided(qint64 us);
    void gateReached(qint64 us);
    bool nameAccepted() const;
    bool answeredWith(Verdict v) const { return m_answers > 0 && m_lastAnswer == v; }

    const SessionConfig m_config;
    const QVector<QByteArray> m_frames;
    const qint64 m_boundUs;
    const int m_sameTimeLimit;
    const flash::SessionMachine *m_machine = nullptr;

    bool m_lineUsable = false;
    qint32 m_rate = 0;
    int m_finishes = 0;
    qint64 m_finishUs = -1;

    // Replies as the machine gathers them: bytes within 30 ms of a reply's first byte.
    bool m_gathering = false;
    qint64 m_gatherStartUs = 0;
    QByteArray m_gathered;
    QByteArray m_latest;
    QByteArray m_lastWrite;

    bool m_productNamed = false;
    QString m_product;
    QByteArray m_sinceWrite; // batches since the last write or the last named product
    bool m_connected = false;
    bool m_waitingAtConnect = false;
    bool m_handshakeAnswered = false;
    bool m_updateCommandSent = false;
    bool m_transferStarted = false;

    int m_current = -1; // the block of the frame on the line
    int m_sends = 0;    // of the current block, in a row
    qint64 m_frameUs = -1;
    bool m_inFrames = false; // a frame is on the line and waits for its answer
    // Answers to it so far; the latest one decides, as the machine keeps only the latest reply.
    int m_answers = 0;
    Verdict m_lastAnswer = Verdict::Unclear;

    bool m_ending = false;
    qint64 m_endingUs = -1;
    int m_readsAfterEnding = 0;
    QByteArray m_endReply; // what came from the last frame's verdict until the end was judged
    int m_eots = 0;
    bool m_restarting = false;
    bool m_openedAfterRestart = false;
    int m_readsAfterReopen = 0;

    qint64 m_cancelUs = -1;
    bool m_everOpened = false;
    bool m_finishedByPortError = false;
    bool m_finishedByOpenFailure = false;
    // Within the event being handled.
    bool m_portErrorNow = false;
    bool m_openFailedNow = false;
    bool m_readInFramesNow = false;
    bool m_decidedNow = false;

    qint64 m_lastSettledUs = -1;
    int m_sameTime = 0;
    bool m_gateSeen = false;
};

void Checker::told(qint64 us, Event event, const QByteArray &bytes)
{
    if (kTrace)
        std::fprintf(stderr, "%8lld told %d %s\n", static_cast<long long>(us / kUs), int(event),
                     bytes.toHex(' ').constData());
    switch (event) {
    case Event::Read:
        read(us, bytes);
        break;
    case Event::Alarm:
        closeBatchIfDone(us, true);
        break;
    case Event::Cancel:
        if (m_cancelUs < 0 && m_finishes == 0)
            m_cancelUs = us;
        break;
    case Event::PortError:
        m_lineUsable = false;
        m_portErrorNow = true;
        break;
    case Event::Opened:
        m_lineUsable = true;
        m_everOpened = true;
        if (m_restarting)
            m_openedAfterRestart = true;
        break;
    case Event::OpenFailed:
        m_lineUsable = false;
        m_openFailedNow = true;
        break;
    }
}

void Checker::read(qint64 us, const QByteArray &bytes)
{
    // A port never reports an empty read; the machine takes none as one.
    if (m_finishes > 0 || bytes.isEmpty())
        return;
    if (m_ending) {
        ++m_readsAfterEnding;
        if (!m_restarting)
            m_endReply += bytes;
    }
    if (m_openedAfterRestart)
        ++m_readsAfterReopen;
    if (m_inFrames && m_config.paceMs == 0) {
        // Without a pace each read is the answer, judged as it comes.
        m_readInFramesNow = true;
        answer(bytes);
        return;
    }
    closeBatchIfDone(us, false);
    if (!m_gathering) {
        m_gathering = true;
        m_gatherStartUs = us;
    }
    m_gathered += bytes;
}

// Bytes that arrive at the very end of a gathering still belong to it; an alarm at that moment
// closes it.
void Checker::closeBatchIfDone(qint64 us, bool atOrAfterEnd)
{
    if (!m_gathering)
        return;
    const qint64 end = m_gatherStartUs + kGather * kUs;
    if (us > end || (atOrAfterEnd && us == end)) {
        m_gathering = false;
        batchDone(std::exchange(m_gathered, {}));
    }
}

void Checker::batchDone(const QByteArray &batch)
{
    m_latest = batch;
    // As the machine reads it: a field cut between batches is read whole, a newer name starts
    // afresh.
    const IdentityLabels labels{QStringLiteral("P"), QStringLiteral("S"), QStringLiteral("V")};
    if (parseIdentity(batch, labels).nameFound)
        m_sinceWrite = batch;
    else if (m_sinceWrite.size() + batch.size() <= 4096)
        m_sinceWrite += batch;
    const Identity id = parseIdentity(m_sinceWrite, labels);
    if (id.nameFound) {
        m_productNamed = true;
        m_product = id.productName.trimmed();
    }
    if (batch.size() > 10 || batch == QByteArray(1, protocol::NAK))
        m_handshakeAnswered = true;
    if (m_inFrames)
        answer(batch);
}

void Checker::answer(const QByteArray &answer)
{
    ++m_answers;
    m_lastAnswer = verdictOf(answer);
}

void Checker::answered(qint64 us, const Action &action)
{
    if (kTrace)
        std::fprintf(stderr, "%8lld   action %d baud %d note %d %s\n",
                     static_cast<long long>(us / kUs), int(action.kind), action.baud,
                     int(action.note), action.bytes.toHex(' ').left(48).constData());
    require(m_finishes == 0, "nothing follows the finish", us);
    require(!(m_machine && m_machine->atGate() && action.kind == Action::Kind::Write),
            "nothing is written while the machine holds at its gate", us);
    switch (action.kind) {
    case Action::Kind::Open:
        m_rate = action.baud;
        require(action.baud == m_config.baud, "the port opens at the configured rate", us);
        break;
    case Action::Kind::Close:
        m_lineUsable = false;
        m_gathering = false;
        m_gathered.clear();
        m_latest.clear();
        break;
    case Action::Kind::SetBaud:
        m_rate = action.baud;
        break;
    case Action::Kind::Write:
        write(us, action.bytes);
        break;
    case Action::Kind::Notify:
        if (action.note == Note::TransferStarted)
            transferStarted(us);
        else if (action.note == Note::Ending)
            ending(us);
        else if (action.note == Note::Restarting)
            m_restarting = true;
        else if (action.note == Note::Connected)
            connected();
        break;
    case Action::Kind::Finish:
        ++m_finishes;
        m_finishUs = us;
        m_finishedByPortError = m_portErrorNow;
        m_finishedByOpenFailure = m_openFailedNow;
        if (m_inFrames && !m_portErrorNow)
            decided(us);
        m_decidedNow = true;
        break;
    }
}

void Checker::write(qint64 us, const QByteArray &bytes)
{
    require(m_lineUsable, "nothing is written to a port that is closed or failed", us);
    require(m_cancelUs < 0, "nothing is written after a cancel request", us);
    closeBatchIfDone(us, true);
    require(!m_gathering, "nothing is written while a reply is being gathered", us);
    const bool isFrame = bytes.size() == protocol::kFrameSize && bytes.at(0) == protocol::SOH;
    if (isFrame) {
        frame(us, bytes);
    } else if (bytes == protocol::function41Frame()) {
        require(m_rate == protocol::kSlowBaud, "the function-0x41 frame goes at 9600", us);
    } else if (bytes == protocol::shortInfoQuery()) {
        require(m_rate == protocol::kSlowBaud &&
                    (m_config.baud == protocol::kSlowBaud || m_restarting),
                "\"info\" goes at 9600, at another rate only after the restart", us);
    } else if (bytes == protocol::infoQuery() || bytes == QByteArray(1, protocol::CAN)) {
        require(m_rate == protocol::kFastBaud, "\"info\\r\" and CAN go at 115200", us);
    } else if (bytes == protocol::updateCommand()) {
        updateCommand(us);
    } else if (bytes == QByteArray(1, protocol::EOT)) {
        require(m_rate == m_config.baud, "the end byte goes at the configured rate", us);
        require(m_ending, "the end byte only after every frame was accepted", us);
        require(us >= m_endingUs + timing::kBeforeEotMs * kUs,
                "the end byte waits for the device to write its last block", us);
        require(++m_eots == 1, "one end byte", us);
    } else {
        broken("only the protocol's messages are written", us);
    }
    m_lastWrite = bytes;
    m_sinceWrite.clear();
}

// The product is judged by the latest name the device gave, up to the update command and again
// up to the first frame: a reply that comes late and names another product still stops the
// update. A device that did not name itself is updated only when it waits for firmware (it
// answered the cancel byte, the last thing written, with a NAK): that recovers it.
bool Checker::nameAccepted() const
{
    if (!m_productNamed)
        return m_waitingAtConnect;
    QByteArray field = m_product.toLatin1();
    if (field.indexOf('\0') >= 0)
        field.truncate(field.indexOf('\0'));
    return m_config.image.left(protocol::kNameFieldSize) ==
           field.leftJustified(protocol::kNameFieldSize, ' ');
}

void Checker::connected()
{
    if (m_connected)
        return;
    m_connected = true;
    m_waitingAtConnect = m_lastWrite == QByteArray(1, protocol::CAN);
}

void Checker::updateCommand(qint64 us)
{
    require(m_config.mode == SessionConfig::Mode::Update, "identifying sends no update command",
            us);
    require(m_rate == m_config.baud, "the update command goes at the configured rate", us);
    require(!m_updateCommandSent && m_eots == 0, "one update command, before the end", us);
    require(m_connected && m_handshakeAnswered,
            "the update command only after the handshake was answered", us);
    require(nameAccepted(), "no update command to a device that named another product or none", us);
    m_updateCommandSent = true;
}

// The update start succeeded: the latest reply accepts the update command, or without one it is
// a lone NAK at 115200 (the bootloader asking for firmware). As in the window, the latest reply
// may be older than the command when the device sent nothing new.
void Checker::transferStarted(qint64 us)
{
    require(m_config.mode == SessionConfig::Mode::Update, "identifying transfers nothing", us);
    require(m_connected && !m_transferStarted, "one transfer, after the handshake", us);
    const bool nak = m_latest == QByteArray(1, protocol::NAK);
    if (m_lastWrite == protocol::updateCommand()) {
        const bool accepted = m_config.baud == protocol::kSlowBaud ? nak : m_latest.size() > 10;
        require(accepted, "the transfer starts only on an accepted update command", us);
        require(nameAccepted(), "no transfer to a device that named another product or none", us);
    } else {
        require(m_config.baud == protocol::kFastBaud && nak,
                "without the update command only a bootloader's NAK starts the transfer", us);
        require(nameAccepted(), "no transfer to a device that named another product or none", us);
    }
    m_transferStarted = true;
    m_decidedNow = true;
}

void Checker::frame(qint64 us, const QByteArray &bytes)
{
    require(m_transferStarted, "no frame before the update start succeeded", us);
    require(!m_ending && m_eots == 0, "no frame after the last one was accepted", us);
    require(m_rate == m_config.baud, "frames go at the configured rate", us);
    int block = 0;
    if (m_current < 0) {
        require(!m_frames.isEmpty() && bytes == m_frames.first(),
                "the first frame is block 1 of the image, intact", us);
    } else if (bytes == m_frames.at(m_current)) {
        require(answeredWith(Verdict::Unclear), "a block goes again only after an unclear answer",
                us);
        require(m_sends < timing::kMaxUnclearReplies, "a block goes at most 10 times in a row", us);
        block = m_current;
    } else {
        require(m_current + 1 < m_frames.size() && bytes == m_frames.at(m_current + 1),
                "frames go in order, each intact (block number, complement, data, checksum)", us);
        require(answeredWith(Verdict::Ack), "the next block only after an exact ACK", us);
        block = m_current + 1;
    }
    if (m_current >= 0)
        decided(us);
    m_sends = block == m_current ? m_sends + 1 : 1;
    m_current = block;
    m_frameUs = us;
    m_inFrames = true;
    m_answers = 0;
}

void Checker::ending(qint64 us)
{
    require(m_transferStarted && !m_ending, "the end follows the transfer, once", us);
    if (!m_frames.isEmpty()) {
        require(m_current == m_frames.size() - 1 && answeredWith(Verdict::Ack),
                "the end only after the last frame got an exact ACK", us);
        decided(us);
    }
    m_inFrames = false;
    m_ending = true;
    m_endingUs = us;
}

// A frame's answer is judged at the pace's polls, never before the first (a cancel brings the
// next poll forward to 50 ms).
void Checker::decided(qint64 us)
{
    m_decidedNow = true;
    if (m_config.paceMs > 0 && m_cancelUs < 0)
        require(us >= m_frameUs + m_config.paceMs * kUs, "an answer is judged at the pace", us);
}

void Checker::settled(qint64 us)
{
    if (kTrace)
        std::fprintf(stderr, "%8lld settled\n", static_cast<long long>(us / kUs));
    m_sameTime = us == m_lastSettledUs ? m_sameTime + 1 : 0;
    m_lastSettledUs = us;
    require(m_sameTime <= m_sameTimeLimit, "the clock moves on (no livelock)", us);
    if (m_finishes == 0) {
        require(us <= m_boundUs, "the session ends within the bound of its configuration", us);
        if (m_inFrames)
            require(us <= m_frameUs + (kFrameTimeoutMs + kGather) * kUs,
                    "a frame's answer is awaited at most 4.6 s", us);
        if (m_cancelUs >= 0)
            require(us <= m_cancelUs + kCancelBoundMs * kUs, "a cancel ends the session soon", us);
        if (m_portErrorNow)
            require(m_restarting, "a port error ends the session, except while verifying", us);
        if (m_readInFramesNow)
            require(m_decidedNow, "without a pace an answer is judged as it comes", us);
    }
    if (m_machine && m_machine->atGate() && !m_gateSeen)
        gateReached(us);
    if (m_machine) {
        require((m_machine->activity() == flash::SessionMachine::Activity::Done) ==
                    m_machine->finished(),
                "the activity is done exactly when the session is", us);
        // Until the finish, which may follow an accepted frame at once.
        const int accepted = m_ending ? m_frames.size() : qMax(m_current, 0);
        require(m_finishes > 0 || m_machine->framesAccepted() == accepted,
                "the accepted frames are counted", us);
    }
    m_portErrorNow = m_openFailedNow = m_readInFramesNow = m_decidedNow = false;
}

// The gate holds after the handshake, the product accepted, before any byte of the update start.
void Checker::gateReached(qint64 us)
{
    m_gateSeen = true;
    require(m_config.gateAfterConnect && m_config.mode == SessionConfig::Mode::Update,
            "only a gated update holds", us);
    require(m_connected && nameAccepted(), "the gate follows the handshake and the product check",
            us);
    require(!m_updateCommandSent && !m_transferStarted, "the gate comes before the update start",
            us);
    require(m_machine->nextAlarmUs() < 0 || m_gathering, "the gate sets no alarm of its own", us);
    if (onGate)
        onGate(us);
}

void Checker::checkResult(const flash::SessionMachine &m, bool finished)
{
    const qint64 us = m_lastSettledUs;
    require(finished && m.finished(), "the session finishes (no stall, no livelock)", us);
    require(m_finishes == 1, "exactly one finish", us);
    checkEndRecord(m);
    const bool sentNothing = !m_updateCommandSent && m_current < 0;
    switch (m.result()) {
    case Result::Success:
        if (m_config.mode == SessionConfig::Mode::Identify)
            break;
        require(m_ending && m_eots == 1 && m_readsAfterEnding > 0,
                "success: every frame answered ACK and the end byte confirmed", us);
        if (m_config.verify)
            require(m_openedAfterRestart && m_readsAfterReopen > 0,
                    "success with verify: the device answered after the restart", us);
        break;
    case Result::PortOpenFailed:
        require(m_finishedByOpenFailure && !m_everOpened, "port open failed: the first open", us);
        break;
    case Result::NoAnswer:
        require(m_current < 0, "no answer: no frame went out", us);
        break;
    case Result::WrongProduct:
        // A name that comes after the update command still stops the update before any frame.
        require(sentNothing || (m_updateCommandSent && !m_transferStarted && !nameAccepted()),
                "wrong product: nothing after the handshake, or no frame after a late name", us);
        break;
    case Result::Skipped:
        require(sentNothing, "skipped: nothing after the handshake", us);
        break;
    case Result::Refused:
        require(m_inFrames &&
                    (answeredWith(Verdict::Nak) ||
                     (answeredWith(Verdict::Unclear) && m_sends == timing::kMaxUnclearReplies)),
                "refused: a NAK, or unclear answers to 10 sends of the block", us);
        break;
    case Result::StoppedAnswering:
        require(m_inFrames && m_answers == 0 && m_finishUs >= m_frameUs + kFrameTimeoutMs * kUs,
                "stopped answering: nothing for 4.6 s after a frame", us);
        break;
    case Result::PortLost:
        require(m_finishedByPortError, "port lost: on a port error", us);
        break;
    case Result::EndNotConfirmed:
        require(m_eots == 1 && m_readsAfterEnding == 0, "end not confirmed: nothing came", us);
        break;
    case Result::VerifyFailed:
        require((m_config.verify || m_config.watchRestart) && m_restarting,
                "verify failed: only when the restart is judged", us);
        break;
    case Result::CameBackWaiting:
        require((m_config.verify || m_config.watchRestart) && m_openedAfterRestart &&
                    m_readsAfterReopen > 0,
                "came back waiting: only on an answer after the restart", us);
        break;
    case Result::Cancelled:
        require(m_cancelUs >= 0, "cancelled: only on request", us);
        break;
    }
}

// What the record keeps of the end: whether the end byte went out, whether it was confirmed, and
// the bytes that came.
void Checker::checkEndRecord(const flash::SessionMachine &m)
{
    const qint64 us = m_lastSettledUs;
    require(m.endByteSent() == (m_eots == 1), "the record knows whether the end byte went out", us);
    if (m.endConfirmed())
        require(m_eots == 1 && m_readsAfterEnding > 0, "the end is confirmed only by a reply", us);
    if (m_eots == 1)
        require(m.endReply() == m_endReply.left(flash::SessionMachine::kEndReplyCap),
                "the record keeps the bytes that answered the end", us);
    if (m.result() == Result::Success && m_config.mode == SessionConfig::Mode::Update)
        require(m.endConfirmed(), "a success has its end confirmed", us);
    if (m.result() == Result::EndNotConfirmed)
        require(!m.endConfirmed(), "an unconfirmed end is not confirmed", us);
}

// Guards against a machine that keeps every promise by never updating anything.
void Checker::checkHonest(const flash::SessionMachine &m, Result expected)
{
    require(m.result() == expected, "a device that keeps the contract is updated", m_lastSettledUs);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    Case k = readCase(in);
    ChaosDevice chaos(k.device, readOps(in));
    QVector<QByteArray> frames = expectedFrames(k.config.image);
    const qint64 bound =
        boundMs(k.config, frames.size()) + (k.config.gateAfterConnect ? k.gateHoldMs : 0);
    // Every operation schedules at most 64 events, all of which may fall on one moment.
    Checker checker(k.config, std::move(frames), bound, 1000 + 70 * chaos.opsCount());

    SessionScript script(k.config, [&chaos](const Written &w) { return chaos.answer(w); });
    chaos.attach(&script);
    script.openFails = [&chaos](qint64) { return chaos.openFails(); };
    script.observe(&checker);
    checker.watch(&script.machine());
    checker.onGate = [&script, &k](qint64 us) {
        script.at(us / kUs + k.gateHoldMs, [&k](SessionScript &s) {
            if (k.gateAnswer == GateAnswer::Proceed)
                s.proceed();
            else if (k.gateAnswer == GateAnswer::Skip)
                s.skip(QStringLiteral("already passed under this job"));
            else
                s.refuse(QStringLiteral("refused by the job"));
        });
    };
    const bool finished = script.run(bound + 1000);
    if (kTrace)
        std::fprintf(stderr, "result %s: %s (product \"%s\")\n",
                     qPrintable(flash::resultName(script.machine().result())),
                     qPrintable(script.machine().message()),
                     qPrintable(script.machine().identityBefore().product));
    checker.checkResult(script.machine(), finished);
    if (k.honest)
        checker.checkHonest(script.machine(), k.expected);

    // Whatever still comes is ignored: a cancel, a port error, bytes, the alarm.
    script.cancel();
    script.portError();
    script.proceed();
    script.skip(QStringLiteral("late"));
    script.refuse(QStringLiteral("late"));
    script.deliver(0, QByteArray(1, protocol::ACK));
    script.drain(script.nowMs() + 10 * 60 * 1000);
    return 0;
}
