#include "replies.h"
#include "protocol.h"
#include "timing.h"

bool isNak(const QByteArray &reply)
{
    return reply.size() == 1 && reply.at(0) == protocol::NAK;
}

bool isAck(const QByteArray &reply)
{
    return reply.size() == 1 && reply.at(0) == protocol::ACK;
}

bool isLongAnswer(const QByteArray &reply)
{
    return reply.size() >= timing::kLongAnswerMinBytes;
}

bool hasIdentityText(const QString &identityText)
{
    return identityText.size() >= timing::kIdentityTextMinChars;
}

FrameVerdict frameVerdict(const QByteArray &reply)
{
    if (isAck(reply))
        return FrameVerdict::Accepted;
    if (isNak(reply))
        return FrameVerdict::Refused;
    return FrameVerdict::Unclear;
}

int frameCount(qint64 imageSize)
{
    const qint64 payload = imageSize - protocol::kNameFieldSize;
    if (payload <= 0)
        return 0;
    return static_cast<int>((payload + protocol::kBlockSize - 1) / protocol::kBlockSize);
}
