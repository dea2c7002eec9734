#include "results.h"

namespace flash {

int exitStatus(Result result)
{
    switch (result) {
    case Result::Success:
        return 0;
    case Result::PortOpenFailed:
        return 3;
    case Result::NoAnswer:
        return 4;
    case Result::WrongProduct:
        return 5;
    case Result::Refused:
        return 6;
    case Result::StoppedAnswering:
        return 7;
    case Result::PortLost:
        return 8;
    case Result::EndNotConfirmed:
        return 9;
    case Result::VerifyFailed:
        return 10;
    case Result::Skipped:
        return 11;
    case Result::CameBackWaiting:
        return 14; // after 12 (record not written) and 13 (a station's failures)
    case Result::Cancelled:
        return 130; // 128 + SIGINT, as shells report an interrupted program
    }
    return 1;
}

QString resultName(Result result)
{
    switch (result) {
    case Result::Success:
        return QStringLiteral("success");
    case Result::PortOpenFailed:
        return QStringLiteral("portOpenFailed");
    case Result::NoAnswer:
        return QStringLiteral("noAnswer");
    case Result::WrongProduct:
        return QStringLiteral("wrongProduct");
    case Result::Refused:
        return QStringLiteral("refused");
    case Result::StoppedAnswering:
        return QStringLiteral("stoppedAnswering");
    case Result::PortLost:
        return QStringLiteral("portLost");
    case Result::EndNotConfirmed:
        return QStringLiteral("endNotConfirmed");
    case Result::VerifyFailed:
        return QStringLiteral("verifyFailed");
    case Result::Skipped:
        return QStringLiteral("skipped");
    case Result::CameBackWaiting:
        return QStringLiteral("cameBackWaiting");
    case Result::Cancelled:
        return QStringLiteral("cancelled");
    }
    return QString();
}

int aggregateStatus(const QVector<Result> &results, bool interrupted)
{
    if (interrupted)
        return exitStatus(Result::Cancelled);
    bool anySuccess = false;
    for (const Result r : results) {
        if (r == Result::Success)
            anySuccess = true;
        else if (r != Result::Skipped)
            return exitStatus(r);
    }
    if (results.isEmpty() || anySuccess)
        return exitStatus(Result::Success);
    return exitStatus(Result::Skipped);
}

} // namespace flash
