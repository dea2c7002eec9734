#include "progress.h"

#include "protocol.h"
#include "timing.h"

namespace flash {

qint64 estimatedFrameUs(qint32 baud, int paceMs)
{
    if (baud <= 0)
        return 0;
    const qint64 lineUs =
        (protocol::kFrameSize + 1) * qint64(protocol::kBitsPerByte) * 1000000 / baud;
    if (paceMs <= 0)
        return lineUs;
    const qint64 paceUs = qint64(paceMs) * 1000;
    const qint64 firstPollUs = (lineUs + paceUs - 1) / paceUs * paceUs;
    return qMax(firstPollUs, lineUs + qint64(timing::kGatherMs) * 1000);
}

ProgressFigures progressFigures(int framesAccepted, int framesTotal, qint64 payloadBytes,
                                qint64 elapsedUs, qint32 baud, int paceMs)
{
    ProgressFigures f;
    f.percent = framesTotal > 0 ? int(qint64(framesAccepted) * 100 / framesTotal) : 100;
    const qint64 sent = qMin<qint64>(qint64(framesAccepted) * protocol::kBlockSize, payloadBytes);
    if (elapsedUs > 0)
        f.bytesPerSecond = double(sent) * 1e6 / double(elapsedUs);
    const qint64 leftUs =
        qint64(qMax(0, framesTotal - framesAccepted)) * estimatedFrameUs(baud, paceMs) +
        qint64(timing::kBeforeEotMs + timing::kAfterEotMs) * 1000;
    f.secondsLeft = double(leftUs) / 1e6;
    return f;
}

} // namespace flash
