#pragma once

#include <QtGlobal>

namespace flash {

// How long one frame takes at best: the frame and its one-byte answer on the line, then, with a
// pace, the 30 ms gathering and the first poll after the answer (a poll that falls inside the
// gathering is judged when it ends).
qint64 estimatedFrameUs(qint32 baud, int paceMs);

struct ProgressFigures
{
    int percent = 0;
    double bytesPerSecond = 0;
    double secondsLeft = 0; // from the pace and the line rate, end included
};

// `payloadBytes` is the image without its name field; `elapsedUs` runs from the transfer start.
ProgressFigures progressFigures(int framesAccepted, int framesTotal, qint64 payloadBytes,
                                qint64 elapsedUs, qint32 baud, int paceMs);

} // namespace flash
