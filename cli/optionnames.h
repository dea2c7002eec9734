#pragma once

#include <QString>

// The options' names, as given after "--": the option table (options.cpp) and the plant's
// checks (plantoptions.cpp) refer to them.
namespace flash {

inline const QString kList = QStringLiteral("list");
inline const QString kPort = QStringLiteral("port");
inline const QString kBaud = QStringLiteral("baud");
inline const QString kIdentify = QStringLiteral("identify");
inline const QString kImage = QStringLiteral("image");
inline const QString kVerify = QStringLiteral("verify");
inline const QString kExpectVersion = QStringLiteral("expect-version");
inline const QString kSkipIfVersion = QStringLiteral("skip-if-version");
inline const QString kRecord = QStringLiteral("record");
inline const QString kJson = QStringLiteral("json");
inline const QString kPace = QStringLiteral("pace");
inline const QString kAttempts = QStringLiteral("attempts");
inline const QString kReport = QStringLiteral("report");
inline const QString kStation = QStringLiteral("station");
inline const QString kStopAfter = QStringLiteral("stop-after");
inline const QString kShip = QStringLiteral("ship");
inline const QString kTo = QStringLiteral("to");
inline const QString kInitDb = QStringLiteral("init-db");
inline const QString kSince = QStringLiteral("since");
inline const QString kJob = QStringLiteral("job");
inline const QString kWriteJob = QStringLiteral("write-job");
inline const QString kJobName = QStringLiteral("job-name");
inline const QString kStationName = QStringLiteral("station-name");
inline const QString kQuantity = QStringLiteral("quantity");
inline const QString kSerial = QStringLiteral("serial");
inline const QString kServe = QStringLiteral("serve");
inline const QString kDb = QStringLiteral("db");

} // namespace flash
