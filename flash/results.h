#pragma once

#include <QString>
#include <QVector>

namespace flash {

// How one device's attempt ended, in the order of the exit statuses.
enum class Result {
    Success,
    PortOpenFailed,
    NoAnswer,
    WrongProduct,
    Refused,
    StoppedAnswering,
    PortLost,
    EndNotConfirmed,
    VerifyFailed,
    Skipped,
    CameBackWaiting, // after the update the device restarted into its bootloader, not the firmware
    Cancelled,
};

constexpr int kUsageStatus = 2;

int exitStatus(Result result);
// lowerCamelCase, as in the record and the JSON events.
QString resultName(Result result);

// The status of a whole run, `results` in command-line order: success when every device succeeded
// or was skipped and at least one succeeded; "skipped" when all were skipped; otherwise the class
// of the first port that failed. An interrupted run is "cancelled" whatever the devices did.
int aggregateStatus(const QVector<Result> &results, bool interrupted);

} // namespace flash
