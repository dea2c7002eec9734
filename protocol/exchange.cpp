#include "exchange.h"
#include "protocol.h"

namespace protocol {

const Steps &slowHandshake()
{
    static const Steps steps{
        {0, function41Frame(), timing::kAfterFunction41Ms},
        {0, shortInfoQuery(), timing::kAfterShortQueryMs},
    };
    return steps;
}

const Steps &fastCancel()
{
    static const Steps steps{
        {kFastBaud, QByteArray(), timing::kAfterFastBaudMs},
        {0, QByteArray(1, CAN), timing::kAfterCancelMs},
    };
    return steps;
}

const Steps &fastQuery()
{
    static const Steps steps{
        {kSlowBaud, function41Frame(), timing::kAfterFunction41Ms},
        {kFastBaud, QByteArray(), timing::kAfterReturnTo115200Ms},
        {0, infoQuery(), timing::kAfterInfoQueryMs},
        {0, infoQuery(), timing::kAfterInfoQueryMs},
    };
    return steps;
}

const Steps &updateStart()
{
    static const Steps steps{{0, updateCommand(), timing::kAfterUpdateCommandMs}};
    return steps;
}

Step endPause()
{
    return {0, QByteArray(), timing::kBeforeEotMs};
}

Step endByte()
{
    return {0, QByteArray(1, EOT), timing::kAfterEotMs};
}

const Steps &transferEnd()
{
    static const Steps steps{endPause(), endByte()};
    return steps;
}

} // namespace protocol
