#include "updatestart.h"
#include "protocol.h"
#include "replies.h"

bool readyWithoutUpdateCommand(const QByteArray &latestReply, qint32 baud)
{
    return baud == protocol::kFastBaud && isNak(latestReply);
}

bool updateCommandAccepted(const QByteArray &latestReply, qint32 baud)
{
    if (baud == protocol::kSlowBaud)
        return isNak(latestReply);
    return isLongAnswer(latestReply);
}
