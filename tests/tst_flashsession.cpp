#include "frame.h"
#include "identity.h"
#include "progress.h"
#include "protocol.h"
#include "results.h"
#include "session.h"
#include "sessionscript.h"
#include "testimage.h"
#include "timing.h"

#include <QtTest>

using flash::Result;
using flash::SessionConfig;

Q_DECLARE_METATYPE(flash::Result)

namespace {

SessionConfig updateConfig(qint32 baud, int payloadSize = 3 * protocol::kBlockSize,
                           const QByteArray &imageName = "PM-100")
{
    SessionConfig c;
    c.baud = baud;
    c.image = testimage::image(imageName, payloadSize);
    return c;
}

SessionScript::Device silentDevice()
{
    return [](const Written &) { return QVector<QPair<int, QByteArray>>(); };
}

// "ms baud bytes" per write, readable when a comparison fails.
QStringList described(const QVector<Written> &writes)
{
    QStringList lines;
    for (const Written &w : writes)
        lines << QStringLiteral("%1 %2 %3")
                     .arg(w.atMs)
                     .arg(w.baud)
                     .arg(QString::fromLatin1(w.bytes.toHex(' ')));
    return lines;
}

Written at(qint64 ms, qint32 baud, const QByteArray &bytes)
{
    return Written{ms, baud, bytes};
}

// The window judges a poll after its wait, and a wait that ends while a reply is being gathered
// returns once the reply is read: the moment an answer arriving at `arrivalMs` is seen by polls
// of `pollMs` that began at `pollsFromMs`.
qint64 seenAt(qint64 pollsFromMs, int pollMs, qint64 arrivalMs)
{
    qint64 poll = pollsFromMs + pollMs;
    while (poll < arrivalMs)
        poll += pollMs;
    return qMax(poll, arrivalMs + timing::kGatherMs);
}

// Off the 50 ms grid, so that the bootloader's NAK is seen at a poll, not at its own arrival.
const int kCancelAnswerMs = 520;

const QByteArray kCan(1, protocol::CAN);
const QByteArray kAck(1, protocol::ACK);
const QByteArray kNak(1, protocol::NAK);
const QByteArray kEot(1, protocol::EOT);

// The writes after `ms`, moved by `shiftMs`.
QVector<Written> writesAfter(const QVector<Written> &writes, qint64 ms, qint64 shiftMs)
{
    QVector<Written> after;
    for (const Written &w : writes) {
        if (w.atMs > ms)
            after << Written{w.atMs + shiftMs, w.baud, w.bytes};
    }
    return after;
}

// What a job's station says at the session's gate: "proceed", "skip", "refuse", or a cancel or
// port error while it waits.
void answerAt(SessionScript &script, qint64 ms, const QString &answer)
{
    script.at(ms, [answer](SessionScript &s) {
        if (answer == "proceed")
            s.proceed();
        else if (answer == "skip")
            s.skip("already passed under this job; nothing sent");
        else if (answer == "refuse")
            s.refuse("refused by the job");
        else if (answer == "cancel")
            s.cancel();
        else
            s.portError();
    });
}

} // namespace

class TestFlashSession : public QObject
{
    Q_OBJECT

private slots:
    void handshake_data();
    void handshake();
    void noAnswerHint_data();
    void noAnswerHint();
    void updateStart_data();
    void updateStart();
    void productCheck_data();
    void productCheck();
    void lateProductName_data();
    void lateProductName();
    void identityInPieces();
    void frameAnswers_data();
    void frameAnswers();
    void pacing_data();
    void pacing();
    void blockNumbersWrap();
    void ending_data();
    void ending();
    void cancel_data();
    void cancel();
    void portLost();
    void verify_data();
    void verify();
    void skipIfVersion_data();
    void skipIfVersion();
    void gate_data();
    void gate();
    void aggregateStatus_data();
    void aggregateStatus();
    void frameEstimate_data();
    void frameEstimate();
};

void TestFlashSession::handshake_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<Result>("result");
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<qint64>("endMs");

    using namespace timing;
    const QStringList slow = described({at(0, 9600, protocol::function41Frame()),
                                        at(kAfterFunction41Ms, 9600, protocol::shortInfoQuery())});
    const qint64 slowEnd = kAfterFunction41Ms + kAfterShortQueryMs;
    // The wait after the query ends only once the reply that began inside it is read.
    const qint64 replyRead = kAfterFunction41Ms + ScriptedDevice().replyMs + kGatherMs;
    QTest::newRow("9600 answers") << 9600 << "normal" << 1 << slow << Result::Success << false
                                  << qMax(slowEnd, replyRead);
    // In the contract's own figure: the 9600 handshake of a silent device lasts 2.03 s.
    QTest::newRow("9600 silent") << 9600 << "silent" << 1 << slow << Result::NoAnswer << false
                                 << qint64(2030);

    // An attempt at 115200 as the device contract lays it out.
    const auto fastAttempt = [](qint64 start) {
        const qint64 can = start + kAfterFastBaudMs;
        const qint64 f41 = can + kAfterCancelMs + kCancelPolls * kCancelPollMs;
        const qint64 query = f41 + kAfterFunction41Ms + kAfterReturnTo115200Ms;
        return QVector<Written>{at(can, 115200, kCan), at(f41, 9600, protocol::function41Frame()),
                                at(query, 115200, protocol::infoQuery()),
                                at(query + kAfterInfoQueryMs, 115200, protocol::infoQuery())};
    };
    const qint64 attemptMs = kAfterFastBaudMs + kAfterCancelMs + kCancelPolls * kCancelPollMs +
                             kAfterFunction41Ms + kAfterReturnTo115200Ms + 2 * kAfterInfoQueryMs;
    // The sums above in the contract's own figure: a silent attempt at 115200 lasts 10.2 s.
    const qint64 literalAttemptMs = 10200;
    QTest::newRow("115200 answers") << 115200 << "normal" << 1 << described(fastAttempt(0))
                                    << Result::Success << false << literalAttemptMs;
    QTest::newRow("115200 silent, two attempts")
        << 115200 << "silent" << 2 << described(fastAttempt(0) + fastAttempt(attemptMs))
        << Result::NoAnswer << false << 2 * literalAttemptMs;
    // The most a connect makes (the window's after an aborted transfer): the same steps, back to
    // back, twenty times.
    QVector<Written> twenty;
    for (int k = 0; k < kFastAttemptsAfterAbort; ++k)
        twenty += fastAttempt(k * attemptMs);
    QTest::newRow("115200 silent, twenty attempts") << 115200 << "silent" << 20 << described(twenty)
                                                    << Result::NoAnswer << false << qint64(204000);

    // The bootloader's NAK ends the poll; no function-0x41 frame follows.
    const qint64 can = kAfterFastBaudMs;
    const qint64 nakArrives = can + kAfterCancelMs + kCancelAnswerMs;
    QTest::newRow("115200 waiting for firmware")
        << 115200 << "waiting" << 1 << described({at(can, 115200, kCan)}) << Result::Success << true
        << seenAt(can + kAfterCancelMs, kCancelPollMs, nakArrives);
}

void TestFlashSession::handshake()
{
    QFETCH(qint32, baud);
    QFETCH(QString, device);
    QFETCH(int, attempts);
    QFETCH(QStringList, writes);
    QFETCH(Result, result);
    QFETCH(bool, waiting);
    QFETCH(qint64, endMs);

    SessionConfig config;
    config.mode = SessionConfig::Mode::Identify;
    config.baud = baud;
    config.attempts = attempts;
    ScriptedDevice dev;
    dev.waiting = device == QLatin1String("waiting");
    dev.cancelAnswerMs = kCancelAnswerMs;
    SessionScript script(config,
                         device == QLatin1String("silent") ? silentDevice() : dev.asDevice());
    QVERIFY(script.run());

    QCOMPARE(described(script.writes()), writes);
    QCOMPARE(script.machine().result(), result);
    QCOMPARE(script.finishedAtMs(), endMs);
    QCOMPARE(script.machine().identity().waitingForFirmware, waiting);
    if (result == Result::Success && !waiting) {
        QCOMPARE(script.machine().identity().product, QStringLiteral("PM-100"));
        QCOMPARE(script.machine().identity().serialNumber, QStringLiteral("SN0001"));
        QCOMPARE(script.machine().identity().version, QStringLiteral("V1.0.0"));
    }
}

void TestFlashSession::noAnswerHint_data()
{
    // At 9600, to every write, 1 s later; empty: none.
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("hint"); // expected in the message; empty: none

    QTest::newRow("NAKs, as a bootloader sends them") << kNak << QStringLiteral("--baud 115200");
    QTest::newRow("silent") << QByteArray() << QStringLiteral("only at 115200");
    QTest::newRow("a short answer") << QByteArray("ok") << QString();
}

void TestFlashSession::noAnswerHint()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, hint);

    SessionConfig config;
    config.mode = SessionConfig::Mode::Identify;
    config.baud = protocol::kSlowBaud;
    SessionScript script(config, [&](const Written &w) {
        return answer.isEmpty() || w.bytes.isEmpty()
                   ? QVector<QPair<int, QByteArray>>()
                   : QVector<QPair<int, QByteArray>>{{1000, answer}};
    });
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), Result::NoAnswer);
    const QString message = script.machine().message();
    if (hint.isEmpty())
        QVERIFY2(!message.contains(QLatin1String("waiting for firmware")), qPrintable(message));
    else
        QVERIFY2(message.contains(hint), qPrintable(message));
}

void TestFlashSession::updateStart_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<bool>("answersUpdate");
    QTest::addColumn<bool>("commandSent");
    QTest::addColumn<Result>("result");

    QTest::newRow("9600: command, NAK") << 9600 << false << true << true << Result::Success;
    QTest::newRow("115200: command, long answer")
        << 115200 << false << true << true << Result::Success;
    QTest::newRow("115200 waiting: no command")
        << 115200 << true << true << false << Result::Success;
    QTest::newRow("9600: command unanswered") << 9600 << false << false << true << Result::NoAnswer;
}

void TestFlashSession::updateStart()
{
    QFETCH(qint32, baud);
    QFETCH(bool, waiting);
    QFETCH(bool, answersUpdate);
    QFETCH(bool, commandSent);
    QFETCH(Result, result);

    ScriptedDevice dev;
    dev.waiting = waiting;
    dev.answersUpdate = answersUpdate;
    SessionScript script(updateConfig(baud), dev.asDevice());
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), result);

    const QVector<Written> writes = script.writes();
    const auto command = std::find_if(writes.begin(), writes.end(), [](const Written &w) {
        return w.bytes == protocol::updateCommand();
    });
    QCOMPARE(command != writes.end(), commandSent);
    // The handshake's reply is still the latest: the first wait ends at its first poll.
    const qint64 firstPollEnd = script.noteAtMs(flash::Note::Connected) + timing::kReadyPollMs;
    const QVector<Written> frames = script.frames();
    if (commandSent)
        QCOMPARE(command->atMs, firstPollEnd);
    if (result != Result::Success) {
        QVERIFY(frames.isEmpty());
        return;
    }
    QVERIFY(!frames.isEmpty());
    QCOMPARE(frames.first().atMs,
             commandSent ? firstPollEnd + timing::kAfterUpdateCommandMs : firstPollEnd);
}

void TestFlashSession::productCheck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<QByteArray>("imageName");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("messageHas");

    const QByteArray pm100 = identityReply("PM-100", "SN0001", "V1.0.0");
    QTest::newRow("same product") << pm100 << false << QByteArray("PM-100") << Result::Success
                                  << "";
    QTest::newRow("other product")
        << pm100 << false << QByteArray("PM-200") << Result::WrongProduct << "";
    QTest::newRow("letter case differs")
        << pm100 << false << QByteArray("pm-100") << Result::WrongProduct << "";
    QTest::newRow("16-character name") << identityReply("ABCDEFGHIJKLMNOP", "1", "2") << false
                                       << QByteArray("ABCDEFGHIJKLMNOP") << Result::Success << "";
    // A long answer passes the handshake, but without a product no image can be judged.
    const QString unnamed = QStringLiteral("did not name its product");
    QTest::newRow("version line only") << QByteArray("\r\nSW VERSION:V1.0.0\r\n") << false
                                       << QByteArray("PM-100") << Result::WrongProduct << unnamed;
    QTest::newRow("an error text") << QByteArray("\r\nERROR:UNKNOWN_COMMAND\r\n") << false
                                   << QByteArray("PM-100") << Result::WrongProduct << unnamed;
    // A bootloader tells no product: it is recovered with any image, and says so.
    QTest::newRow("device waiting for firmware")
        << pm100 << true << QByteArray("PM-200") << Result::Success << "product was unknown";
}

void TestFlashSession::productCheck()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, waiting);
    QFETCH(QByteArray, imageName);
    QFETCH(Result, result);
    QFETCH(QString, messageHas);

    ScriptedDevice dev;
    dev.identity = reply;
    dev.waiting = waiting;
    SessionScript script(updateConfig(waiting ? 115200 : 9600, 200, imageName), dev.asDevice());
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), result);
    QVERIFY2(script.machine().message().contains(messageHas),
             qPrintable(script.machine().message()));
    if (result == Result::WrongProduct) {
        // Refused before the update command: nothing but the handshake went out.
        QCOMPARE(described(script.writes()),
                 described({at(0, 9600, protocol::function41Frame()),
                            at(timing::kAfterFunction41Ms, 9600, protocol::shortInfoQuery())}));
    }
}

// A reply that names another product after the handshake was judged still stops the update: the
// window, too, judges the name it holds when the transfer starts.
void TestFlashSession::lateProductName_data()
{
    QTest::addColumn<int>("atMs");
    QTest::addColumn<bool>("commandSent");

    // At 9600 the handshake is judged at 2030 ms, its reply ends the ready poll at 2080 ms, and
    // the update command's answer is judged at 2380 ms.
    QTest::newRow("during the ready poll") << 2040 << false;
    QTest::newRow("after the update command") << 2200 << true;
}

void TestFlashSession::lateProductName()
{
    QFETCH(int, atMs);
    QFETCH(bool, commandSent);

    ScriptedDevice dev;
    SessionScript script(updateConfig(9600), dev.asDevice());
    script.at(atMs, [](SessionScript &s) { s.deliver(0, QByteArray("\r\nPRODUCT:XY-9\n")); });
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), Result::WrongProduct);
    QVERIFY(script.frames().isEmpty());
    QCOMPARE(script.machine().message().contains(QStringLiteral("update command was sent")),
             commandSent);
}

// At 9600 an identity takes longer on the line than the gathering: a field cut between two
// batches is still read whole.
void TestFlashSession::identityInPieces()
{
    const QByteArray reply = identityReply("PM-100", "SN0001", "V1.0.0");
    const int cut = reply.indexOf("SN0001") + 3;
    SessionScript script(updateConfig(9600),
                         [&](const Written &w) -> QVector<QPair<int, QByteArray>> {
                             if (w.bytes == protocol::shortInfoQuery())
                                 return {{5, reply.left(cut)}, {60, reply.mid(cut)}};
                             if (w.bytes == protocol::updateCommand())
                                 return {{5, kNak}};
                             return {{5, kAck}};
                         });
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), Result::Success);
    QCOMPARE(script.machine().identity().serialNumber, QStringLiteral("SN0001"));
    QCOMPARE(script.machine().identity().version, QStringLiteral("V1.0.0"));
}

void TestFlashSession::frameAnswers_data()
{
    QTest::addColumn<QByteArrayList>("answers"); // per frame arrival; empty: no answer
    QTest::addColumn<QVector<int>>("blocks");    // block numbers of the frames written
    QTest::addColumn<Result>("result");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<int>("resends");

    QTest::newRow("every frame accepted")
        << QByteArrayList{kAck, kAck, kAck} << QVector<int>{1, 2, 3} << Result::Success << 3 << 0;
    QTest::newRow("frame 2 refused")
        << QByteArrayList{kAck, kNak} << QVector<int>{1, 2} << Result::Refused << 1 << 0;
    QTest::newRow("an unclear answer resends the block")
        << QByteArrayList{kAck, QByteArray("\x06\x06", 2), kAck, kAck} << QVector<int>{1, 2, 2, 3}
        << Result::Success << 3 << 1;
    QTest::newRow("ACK with noise is unclear")
        << QByteArrayList{QByteArray("\x06x", 2), kAck, kAck, kAck} << QVector<int>{1, 1, 2, 3}
        << Result::Success << 3 << 1;
    QByteArrayList unclear;
    QVector<int> sameBlock;
    for (int i = 0; i < timing::kMaxUnclearReplies; ++i) {
        unclear << QByteArray("?");
        sameBlock << 1;
    }
    QTest::newRow("unclear ten times in a row")
        << unclear << sameBlock << Result::Refused << 0 << timing::kMaxUnclearReplies - 1;
    QTest::newRow("silent from frame 2") << QByteArrayList{kAck, QByteArray()} << QVector<int>{1, 2}
                                         << Result::StoppedAnswering << 1 << 0;
}

void TestFlashSession::frameAnswers()
{
    QFETCH(QByteArrayList, answers);
    QFETCH(QVector<int>, blocks);
    QFETCH(Result, result);
    QFETCH(int, accepted);
    QFETCH(int, resends);

    SessionConfig config = updateConfig(9600);
    ScriptedDevice dev;
    dev.frameAnswer = [&answers](int n) {
        return n <= answers.size() ? answers.at(n - 1) : QByteArray(1, protocol::ACK);
    };
    SessionScript script(config, dev.asDevice());
    QVERIFY(script.run());

    QCOMPARE(script.machine().result(), result);
    QCOMPARE(script.machine().framesAccepted(), accepted);
    QCOMPARE(script.machine().resends(), resends);
    const QVector<Written> frames = script.frames();
    QCOMPARE(frames.size(), blocks.size());
    for (int i = 0; i < frames.size(); ++i) {
        const quint8 block = static_cast<quint8>(blocks.at(i));
        const qsizetype offset = protocol::kNameFieldSize + (block - 1) * protocol::kBlockSize;
        QCOMPARE(frames.at(i).bytes, buildFrame(config.image, offset, block));
    }
    // A frame is given 4.6 s for its answer.
    if (result == Result::StoppedAnswering)
        QCOMPARE(script.finishedAtMs() - frames.last().atMs, qint64(4600));
    // No end byte unless every frame was accepted.
    const bool eotSent = std::any_of(script.writes().begin(), script.writes().end(),
                                     [](const Written &w) { return w.bytes == kEot; });
    QCOMPARE(eotSent, result == Result::Success);
}

void TestFlashSession::pacing_data()
{
    QTest::addColumn<int>("pace");
    QTest::addColumn<int>("answerMs");
    QTest::addColumn<qint64>("frameMs"); // from one frame to the next

    using timing::kGatherMs;
    QTest::newRow("default pace: next poll after the gathering") << 50 << 12 << qint64(50);
    QTest::newRow("a poll inside the gathering waits for it") << 50 << 45 << qint64(45 + kGatherMs);
    QTest::newRow("slower pace") << 100 << 12 << qint64(100);
    QTest::newRow("pace 0: as soon as read") << 0 << 12 << qint64(12);
    QTest::newRow("pace 0, slow device") << 0 << 700 << qint64(700);
}

void TestFlashSession::pacing()
{
    QFETCH(int, pace);
    QFETCH(int, answerMs);
    QFETCH(qint64, frameMs);

    SessionConfig config = updateConfig(9600);
    config.paceMs = pace;
    ScriptedDevice dev;
    dev.answerMs = answerMs;
    SessionScript script(config, dev.asDevice());
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), Result::Success);
    const QVector<Written> frames = script.frames();
    QCOMPARE(frames.size(), 3);
    QCOMPARE(frames.at(1).atMs - frames.at(0).atMs, frameMs);
    QCOMPARE(frames.at(2).atMs - frames.at(1).atMs, frameMs);
}

void TestFlashSession::blockNumbersWrap()
{
    // 300 blocks, the last one partly filler.
    SessionConfig config = updateConfig(9600, 299 * protocol::kBlockSize + 5);
    config.paceMs = 0;
    ScriptedDevice dev;
    SessionScript script(config, dev.asDevice());
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), Result::Success);

    const QVector<Written> frames = script.frames();
    QCOMPARE(frames.size(), 300);
    QCOMPARE(quint8(frames.at(254).bytes.at(1)), quint8(255));
    QCOMPARE(quint8(frames.at(255).bytes.at(1)), quint8(0));
    QCOMPARE(quint8(frames.at(255).bytes.at(2)), quint8(255));
    QCOMPARE(quint8(frames.at(256).bytes.at(1)), quint8(1));
    QByteArray data;
    for (const Written &f : frames)
        data += f.bytes.mid(3, protocol::kBlockSize);
    QByteArray expected = config.image.mid(protocol::kNameFieldSize);
    expected.append(QByteArray(protocol::kBlockSize - 5, protocol::kFiller));
    QCOMPARE(data, expected);
}

void TestFlashSession::ending_data()
{
    QTest::addColumn<int>("payload");
    QTest::addColumn<bool>("confirmsEnd");
    QTest::addColumn<int>("byteInPauseMs"); // -1: none
    QTest::addColumn<QByteArray>("endAnswer");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QByteArray>("endReply"); // kept: the last frame's own ACK is not in it

    QTest::newRow("confirmed") << 300 << true << -1 << kAck << Result::Success << kAck;
    QTest::newRow("not confirmed")
        << 300 << false << -1 << kAck << Result::EndNotConfirmed << QByteArray("");
    QTest::newRow("a byte in the pause confirms")
        << 300 << false << 600 << kAck << Result::Success << QByteArray("!");
    QTest::newRow("a long text is cut to 128 bytes")
        << 300 << true << -1 << QByteArray(300, 'x') << Result::Success << QByteArray(128, 'x');
    QTest::newRow("name field only: just the end byte")
        << 0 << true << -1 << kAck << Result::Success << kAck;
}

void TestFlashSession::ending()
{
    QFETCH(int, payload);
    QFETCH(bool, confirmsEnd);
    QFETCH(int, byteInPauseMs);
    QFETCH(QByteArray, endAnswer);
    QFETCH(Result, result);
    QFETCH(QByteArray, endReply);

    ScriptedDevice dev;
    dev.confirmsEnd = confirmsEnd;
    dev.endAnswer = endAnswer;
    auto inner = dev.asDevice();
    SessionScript *self = nullptr;
    SessionScript script(updateConfig(9600, payload), [&](const Written &w) {
        auto replies = inner(w);
        // After the last frame's answer, an unasked byte.
        if (byteInPauseMs >= 0 && w.bytes.size() == protocol::kFrameSize &&
            self->machine().framesAccepted() + 1 == self->machine().framesTotal())
            replies.append({dev.answerMs + byteInPauseMs, QByteArray("!")});
        return replies;
    });
    self = &script;
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), result);

    const QVector<Written> writes = script.writes();
    QCOMPARE(writes.last().bytes, kEot);
    const QVector<Written> frames = script.frames();
    QCOMPARE(frames.size(), script.machine().framesTotal());
    // The end byte follows a 1 s pause after the last frame's verdict (its answer is seen at the
    // first 50 ms poll, or 300 ms after the update command when there is no frame), and the end
    // is judged 200 ms later.
    const qint64 lastVerdict =
        frames.isEmpty() ? writes.at(writes.size() - 2).atMs + 300 : frames.last().atMs + 50;
    QCOMPARE(writes.last().atMs, lastVerdict + 1000);
    QCOMPARE(script.finishedAtMs(), writes.last().atMs + 200);
    QVERIFY(script.machine().endByteSent());
    QCOMPARE(script.machine().endConfirmed(), result == Result::Success);
    QCOMPARE(script.machine().endReply(), endReply);
}

void TestFlashSession::cancel_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<bool>("deviceAnswers");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<Result>("result");
    QTest::addColumn<bool>("endConfirmed");

    QTest::newRow("during the handshake")
        << "handshake" << true << false << Result::Cancelled << false;
    QTest::newRow("mid-transfer") << "frame" << true << false << Result::Cancelled << false;
    QTest::newRow("mid-transfer, device silent")
        << "frame" << false << false << Result::Cancelled << false;
    QTest::newRow("after the end byte: the true outcome")
        << "eot" << true << false << Result::Success << true;
    // Cancelled, but the record must still tell that the device took its update.
    QTest::newRow("after the end byte, with verify")
        << "eot" << true << true << Result::Cancelled << true;
    QTest::newRow("waiting for the restart")
        << "restart" << true << true << Result::Cancelled << true;
}

void TestFlashSession::cancel()
{
    QFETCH(QString, when);
    QFETCH(bool, deviceAnswers);
    QFETCH(bool, verify);
    QFETCH(Result, result);
    QFETCH(bool, endConfirmed);

    SessionConfig config = updateConfig(9600, 20 * protocol::kBlockSize);
    config.verify = verify;
    ScriptedDevice dev;
    // The cancel comes while frame 5 is on the line.
    dev.frameAnswer = [deviceAnswers](int n) {
        return deviceAnswers || n < 5 ? QByteArray(1, protocol::ACK) : QByteArray();
    };
    auto inner = dev.asDevice();
    qint64 cancelAt = -1;
    SessionScript *self = nullptr;
    SessionScript script(config, [&](const Written &w) {
        const bool trigger =
            (when == QLatin1String("handshake") && w.atMs == 0 && !w.bytes.isEmpty()) ||
            (when == QLatin1String("frame") && w.bytes.size() == protocol::kFrameSize &&
             self->frames().size() == 5) ||
            (when != QLatin1String("handshake") && when != QLatin1String("frame") &&
             w.bytes == kEot);
        if (trigger && cancelAt < 0) {
            // The restart pause begins when the end is judged.
            cancelAt = w.atMs + (when == QLatin1String("restart") ? timing::kAfterEotMs + 500 : 1);
            self->at(cancelAt, [](SessionScript &s) { s.cancel(); });
        }
        return inner(w);
    });
    self = &script;
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), result);
    QCOMPARE(script.machine().endConfirmed(), endConfirmed);
    QVERIFY(cancelAt > 0);

    // Nothing new is sent once cancelled; the frame on the line still gets its answer counted.
    for (const Written &w : script.writes())
        QVERIFY2(w.atMs <= cancelAt, qPrintable(described({w}).first()));
    if (when == QLatin1String("frame")) {
        QCOMPARE(script.machine().framesAccepted(), deviceAnswers ? 5 : 4);
        QVERIFY(script.finishedAtMs() - cancelAt <= timing::kReplyPollMs);
    }
}

void TestFlashSession::portLost()
{
    ScriptedDevice dev;
    SessionScript script(updateConfig(9600, 20 * protocol::kBlockSize), dev.asDevice());
    script.at(3000, [](SessionScript &s) { s.portError(); });
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), Result::PortLost);
    QCOMPARE(script.finishedAtMs(), qint64(3000));
    QVERIFY(script.machine().framesAccepted() > 0);
}

void TestFlashSession::verify_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<bool>("watch");       // the station's lenient watch instead of --verify
    QTest::addColumn<QByteArray>("after"); // identity after the restart; empty: silent
    QTest::addColumn<bool>("comesBackWaiting");
    QTest::addColumn<QString>("expectVersion");
    QTest::addColumn<int>("portGoneMs"); // opens fail this long after the end
    QTest::addColumn<Result>("result");

    // At 115200, the only rate at which a device that waits for firmware shows itself.
    const QByteArray v2 = identityReply("PM-100", "SN0001", "V2.0.0");
    const QByteArray other = identityReply("PM-100", "SN0002", "V2.0.0");
    const QByteArray noIdentity = "\r\nERROR:UNKNOWN_COMMAND\r\n";
    QTest::newRow("new version") << 115200 << false << v2 << false << "V2.0.0" << 0
                                 << Result::Success;
    QTest::newRow("any version") << 115200 << false << v2 << false << "" << 0 << Result::Success;
    QTest::newRow("port gone for 3 s")
        << 115200 << false << v2 << false << "V2.0.0" << 3000 << Result::Success;
    QTest::newRow("old version") << 115200 << false << identityReply("PM-100", "SN0001", "V1.0.0")
                                 << false << "V2.0.0" << 0 << Result::VerifyFailed;
    QTest::newRow("other serial number")
        << 115200 << false << other << false << "" << 0 << Result::VerifyFailed;
    QTest::newRow("comes back waiting for firmware")
        << 115200 << false << v2 << true << "" << 0 << Result::CameBackWaiting;
    QTest::newRow("never comes back")
        << 115200 << false << QByteArray() << false << "" << 0 << Result::VerifyFailed;
    QTest::newRow("answers without its identity")
        << 115200 << false << noIdentity << false << "" << 0 << Result::VerifyFailed;
    // A bootloader takes no 9600 handshake: the 115200 one after it finds it.
    QTest::newRow("9600: comes back waiting for firmware")
        << 9600 << false << v2 << true << "" << 0 << Result::CameBackWaiting;

    QTest::newRow("watched: back with its serial number")
        << 115200 << true << v2 << false << "" << 0 << Result::Success;
    QTest::newRow("watched: comes back waiting for firmware")
        << 9600 << true << v2 << true << "" << 0 << Result::CameBackWaiting;
    QTest::newRow("watched: other serial number")
        << 9600 << true << other << false << "" << 0 << Result::VerifyFailed;
    QTest::newRow("watched: never comes back: the confirmed end passes")
        << 115200 << true << QByteArray() << false << "" << 0 << Result::Success;
    QTest::newRow("watched: no identity is no verdict")
        << 9600 << true << noIdentity << false << "" << 0 << Result::Success;
}

void TestFlashSession::verify()
{
    QFETCH(qint32, baud);
    QFETCH(bool, watch);
    QFETCH(QByteArray, after);
    QFETCH(bool, comesBackWaiting);
    QFETCH(QString, expectVersion);
    QFETCH(int, portGoneMs);
    QFETCH(Result, result);

    SessionConfig config = updateConfig(baud);
    config.verify = !watch;
    config.watchRestart = watch;
    config.expectVersion = expectVersion;
    ScriptedDevice dev;
    dev.identityAfterRestart = after;
    dev.waitingAfterRestart = comesBackWaiting;
    auto inner = dev.asDevice();
    const bool silentAfter = after.isEmpty();
    qint64 endAt = -1;
    SessionScript script(config, [&](const Written &w) {
        if (w.bytes == kEot)
            endAt = w.atMs;
        auto replies = inner(w);
        if (silentAfter && dev.opensSeen > 1)
            replies.clear();
        return replies;
    });
    script.openFails = [&](qint64 ms) { return endAt >= 0 && ms < endAt + portGoneMs; };
    QVERIFY(script.run());

    QCOMPARE(script.machine().result(), result);
    QVERIFY(script.machine().endConfirmed());
    QVERIFY(script.machine().verifying());
    QCOMPARE(script.machine().identityBefore().version, QStringLiteral("V1.0.0"));
    // The port is left closed while the device boots, and the wait is bounded.
    QVERIFY(script.opens() >= 2);
    const auto reconnect = std::find_if(script.writes().begin(), script.writes().end(),
                                        [&](const Written &w) { return w.atMs > endAt; });
    QVERIFY(reconnect != script.writes().end());
    QVERIFY(reconnect->atMs >= endAt + timing::kRestartSettleMs);
    QVERIFY(script.finishedAtMs() - endAt <= timing::kRestartDeadlineMs + 15000);
    if (result == Result::Success && !after.startsWith("\r\nERROR"))
        QCOMPARE(script.machine().identity().version, silentAfter ? QString() : "V2.0.0");
    if (QByteArray(QTest::currentDataTag()).contains("other serial"))
        QVERIFY2(script.machine().message().contains("was SN0001, now SN0002"),
                 qPrintable(script.machine().message()));
}

void TestFlashSession::skipIfVersion_data()
{
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<QString>("skipVersion");
    QTest::addColumn<Result>("result");

    QTest::newRow("at the version") << false << "V1.0.0" << Result::Skipped;
    QTest::newRow("at the version, spaces around") << false << " V1.0.0 " << Result::Skipped;
    QTest::newRow("other version") << false << "V1.1.0" << Result::Success;
    QTest::newRow("waiting device tells no version") << true << "V1.0.0" << Result::Success;
}

void TestFlashSession::skipIfVersion()
{
    QFETCH(bool, waiting);
    QFETCH(QString, skipVersion);
    QFETCH(Result, result);

    SessionConfig config = updateConfig(waiting ? 115200 : 9600);
    config.skipIfVersion = skipVersion;
    ScriptedDevice dev;
    dev.waiting = waiting;
    SessionScript script(config, dev.asDevice());
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), result);
    const bool commandOrFrames =
        std::any_of(script.writes().begin(), script.writes().end(), [](const Written &w) {
            return w.bytes == protocol::updateCommand() || w.bytes.size() == protocol::kFrameSize;
        });
    QCOMPARE(commandOrFrames, result != Result::Skipped);
}

// A job's station holds each session after the handshake until its quota decides.
void TestFlashSession::gate_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<QByteArray>("imageName");
    QTest::addColumn<QString>("answer"); // after 5 minutes at the gate
    QTest::addColumn<Result>("result");
    QTest::addColumn<qint64>("commandAtMs"); // the update command; -1: none

    // The handshake is judged at 2035 ms (9600: the reply, 5 ms after "info", gathered 30 ms)
    // and 10 200 ms (115200); the ready poll then ends at its first 50 ms.
    QTest::newRow("9600: held, then proceed")
        << 9600 << false << QByteArray("PM-100") << "proceed" << Result::Success << qint64(302085);
    QTest::newRow("115200: held, then proceed") << 115200 << false << QByteArray("PM-100")
                                                << "proceed" << Result::Success << qint64(310250);
    QTest::newRow("115200, waiting for firmware: held, then proceed")
        << 115200 << true << QByteArray("PM-100") << "proceed" << Result::Success << qint64(-1);
    QTest::newRow("skip") << 9600 << false << QByteArray("PM-100") << "skip" << Result::Skipped
                          << qint64(-1);
    QTest::newRow("refuse") << 9600 << false << QByteArray("PM-100") << "refuse"
                            << Result::WrongProduct << qint64(-1);
    QTest::newRow("cancelled while held")
        << 9600 << false << QByteArray("PM-100") << "cancel" << Result::Cancelled << qint64(-1);
    QTest::newRow("port lost while held")
        << 9600 << false << QByteArray("PM-100") << "portError" << Result::PortLost << qint64(-1);
    // The product check comes first: such a device never reaches the gate.
    QTest::newRow("another product: refused before the gate")
        << 9600 << false << QByteArray("PM-200") << "" << Result::WrongProduct << qint64(-1);
}

void TestFlashSession::gate()
{
    QFETCH(qint32, baud);
    QFETCH(bool, waiting);
    QFETCH(QByteArray, imageName);
    QFETCH(QString, answer);
    QFETCH(Result, result);
    QFETCH(qint64, commandAtMs);

    SessionConfig config = updateConfig(baud, 3 * protocol::kBlockSize, imageName);
    ScriptedDevice plainDevice;
    plainDevice.waiting = waiting;
    SessionScript plain(config, plainDevice.asDevice());
    QVERIFY(plain.run());

    config.gateAfterConnect = true;
    ScriptedDevice dev;
    dev.waiting = waiting;
    SessionScript script(config, dev.asDevice());
    // Nothing happens at the gate: no alarm, no byte.
    QCOMPARE(!script.run(), !answer.isEmpty());
    if (answer.isEmpty()) {
        QCOMPARE(script.machine().result(), result);
        QCOMPARE(described(script.writes()), described(plain.writes()));
        return;
    }
    QVERIFY(script.machine().atGate());
    QCOMPARE(script.machine().nextAlarmUs(), qint64(-1));
    const qint64 connectedMs = script.noteAtMs(flash::Note::Connected);
    QCOMPARE(connectedMs, plain.noteAtMs(flash::Note::Connected));
    const qint64 holdMs = 5 * 60 * 1000;
    answerAt(script, connectedMs + holdMs, answer);
    QVERIFY(script.run());
    QCOMPARE(script.machine().result(), result);

    const QVector<Written> after = writesAfter(script.writes(), connectedMs, 0);
    if (answer != "proceed") {
        QVERIFY2(after.isEmpty(), qPrintable(described(after).join('\n')));
        QCOMPARE(script.finishedAtMs(), connectedMs + holdMs);
        if (answer == "skip" || answer == "refuse")
            QCOMPARE(script.machine().message(),
                     QString(answer == "skip" ? "already passed under this job; nothing sent"
                                              : "refused by the job"));
        return;
    }
    // From the update start on, byte for byte what the same session sends without the hold.
    QCOMPARE(described(after), described(writesAfter(plain.writes(), connectedMs, holdMs)));
    const auto command = std::find_if(after.begin(), after.end(), [](const Written &w) {
        return w.bytes == protocol::updateCommand();
    });
    QCOMPARE(command == after.end() ? qint64(-1) : command->atMs, commandAtMs);
}

void TestFlashSession::aggregateStatus_data()
{
    QTest::addColumn<QVector<Result>>("results");
    QTest::addColumn<bool>("interrupted");
    QTest::addColumn<Result>("status");

    QTest::newRow("all succeeded")
        << QVector<Result>{Result::Success, Result::Success} << false << Result::Success;
    QTest::newRow("skipped and succeeded")
        << QVector<Result>{Result::Skipped, Result::Success} << false << Result::Success;
    QTest::newRow("all skipped") << QVector<Result>{Result::Skipped, Result::Skipped} << false
                                 << Result::Skipped;
    QTest::newRow("first failure in port order")
        << QVector<Result>{Result::Success, Result::StoppedAnswering, Result::Refused} << false
        << Result::StoppedAnswering;
    QTest::newRow("failure after skips")
        << QVector<Result>{Result::Skipped, Result::PortLost} << false << Result::PortLost;
    QTest::newRow("interrupted") << QVector<Result>{Result::Success, Result::Cancelled} << true
                                 << Result::Cancelled;
    QTest::newRow("interrupted, all done anyway")
        << QVector<Result>{Result::Success} << true << Result::Cancelled;
}

void TestFlashSession::aggregateStatus()
{
    QFETCH(QVector<Result>, results);
    QFETCH(bool, interrupted);
    QFETCH(Result, status);
    QCOMPARE(flash::aggregateStatus(results, interrupted), flash::exitStatus(status));
}

void TestFlashSession::frameEstimate_data()
{
    QTest::addColumn<qint32>("baud");
    QTest::addColumn<int>("pace");
    QTest::addColumn<double>("expectedMs");

    // 132 bytes out and one back, ten bits each: the line's floor.
    const double floor115200 = 133 * 10 * 1000.0 / 115200;
    const double floor9600 = 133 * 10 * 1000.0 / 9600;
    QTest::newRow("pace 0 at 115200 is the line") << 115200 << 0 << floor115200;
    QTest::newRow("default pace at 115200 is the grid") << 115200 << 50 << 50.0;
    QTest::newRow("at 9600 the gathering outlasts the poll")
        << 9600 << 50 << floor9600 + timing::kGatherMs;
    // The same two in the contract's own figures: 133 bytes at 9600 take 138.54 ms, and the
    // answer is read 30 ms after it came; at 115200 the line (11.55 ms) and the gathering end
    // before the 50 ms poll.
    QTest::newRow("literal: 9600, default pace") << 9600 << 50 << 168.5417;
    QTest::newRow("literal: 115200, pace 0") << 115200 << 0 << 11.5451;
}

void TestFlashSession::frameEstimate()
{
    QFETCH(qint32, baud);
    QFETCH(int, pace);
    QFETCH(double, expectedMs);
    QVERIFY(qAbs(flash::estimatedFrameUs(baud, pace) / 1000.0 - expectedMs) < 0.01);
}

QTEST_GUILESS_MAIN(TestFlashSession)
#include "tst_flashsession.moc"
