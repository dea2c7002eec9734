#pragma once

#include "timing.h"

#include <QByteArray>
#include <QVector>

// The fixed steps of the exchange with the device, in the order they go on the line. The window
// and the line program both take them from here, so neither can change a byte, a rate or a wait
// on its own. How each wait is judged is said with each list; the judgements themselves are in
// replies.h, updatestart.h and transfer.h.
namespace protocol {

// Set the rate (0: leave it), write the bytes (if any), then wait.
struct Step
{
    qint32 rate = 0;
    QByteArray bytes;
    int waitMs = 0;
};
using Steps = QVector<Step>;

// Waits of pollMs each, ended by the first one after which a reply is there; at most `polls`.
struct Poll
{
    int polls;
    int pollMs;
    constexpr int timeoutMs() const { return polls * pollMs; }
};

// The 9600 handshake on a port opened at 9600. Judged by isLongAnswer() after its last wait.
const Steps &slowHandshake();

// An attempt at 115200: first the cancel byte. The reply buffer is then emptied and kCancelPoll
// runs; a lone NAK in it (isNak()) is a bootloader waiting for firmware.
const Steps &fastCancel();
constexpr Poll kCancelPoll{timing::kCancelPolls, timing::kCancelPollMs};
// Otherwise the rest of the attempt: the device takes the function-0x41 frame only at 9600, and
// answers the info query at 115200. Judged by isLongAnswer() after its last wait.
const Steps &fastQuery();

// The update start: kReadyPoll on the buffer as the handshake left it, judged by
// readyWithoutUpdateCommand(); unless that holds, updateStart() writes the update command,
// judged by updateCommandAccepted() after its wait.
constexpr Poll kReadyPoll{timing::kReadyPolls, timing::kReadyPollMs};
const Steps &updateStart();

// Each frame's answer, judged by frameVerdict(). A port error ends the window's poll as well.
constexpr Poll kFrameAnswerPoll{timing::kReplyPolls, timing::kReplyPollMs};
static_assert(kFrameAnswerPoll.timeoutMs() == timing::kReplyTimeoutMs, "one frame time-out");

// The end: a pause while the device writes its last block, then the end byte. Any reply from
// the pause on confirms the update.
Step endPause();
Step endByte();
const Steps &transferEnd(); // endPause(), endByte()

// Runs steps on a port (anything with setBaudRate, isOpen and write) and waits each step's time
// through wait(ms), which returns false to stop. False if it stopped.
template <typename Port, typename Wait> bool runSteps(Port &port, const Steps &steps, Wait wait)
{
    for (const Step &step : steps) {
        if (step.rate != 0)
            port.setBaudRate(step.rate);
        // A port that an error has closed takes nothing: writing would only log a warning.
        if (!step.bytes.isEmpty() && port.isOpen())
            port.write(step.bytes);
        if (!wait(step.waitMs))
            return false;
    }
    return true;
}

} // namespace protocol
