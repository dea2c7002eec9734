#include "plantgen.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

struct Outcome
{
    const char *result;
    int status;
    double share;
    const char *message;
};

// A line's results as a plant sees them: most pass, every failure class appears.
const Outcome kOutcomes[] = {
    {"success", 0, 0.86, "updated to V1.1 and verified"},
    {"skipped", 11, 0.03, "already at V1.1: left alone"},
    {"noAnswer", 4, 0.02, "no answer to the handshake"},
    {"portOpenFailed", 3, 0.005, "port cannot be opened: in use by another program"},
    {"wrongProduct", 5, 0.005, "the image is for PM-100, the device is PM-200"},
    {"refused", 6, 0.01, "the device refused frame 117"},
    {"stoppedAnswering", 7, 0.015, "the device stopped answering at frame 260"},
    {"portLost", 8, 0.02, "the line was hung up: adapter unplugged or device reset"},
    {"endNotConfirmed", 9, 0.005, "every frame was accepted but the end was not confirmed"},
    {"verifyFailed", 10, 0.015, "after the restart the device reports V1.0"},
    {"cancelled", 130, 0.015, "cancelled (Ctrl+C)"},
};

const char *const kJobs[] = {"WO-2026-1207 PM-100 V1.1", "WO-2026-1208 PM-100 V1.1",
                             "WO-2026-1211 PM-200 V2.3"};

} // namespace

QString stationName(int station)
{
    static const char *const sides[] = {"east", "west"};
    return QStringLiteral("line%1-%2")
        .arg(station / 2 + 1, 2, 10, QLatin1Char('0'))
        .arg(QLatin1String(sides[station % 2]));
}

// Slot 5 of every fourth station has a worn cable: about four times the failures (flagged).
QString PlantGenerator::result(int station, int slot)
{
    const bool flaky = station % 4 == 1 && slot == 5;
    double draw = chance();
    // Past 0.89 (passes and skips) every draw is a failure.
    if (flaky && chance() < 0.3)
        draw = 0.89 + chance() * 0.11;
    for (const Outcome &o : kOutcomes) {
        if (draw < o.share)
            return QString::fromLatin1(o.result);
        draw -= o.share;
    }
    return QStringLiteral("success");
}

QByteArray PlantGenerator::line(int station, qint64 timeMs, const QString &id)
{
    const int slot = m_next[station]++ % 8;
    Slot &s = m_slots[station % 64][slot];
    const QString result = this->result(station, slot);
    QString serial = s.serial;
    if (serial.isEmpty())
        serial = QStringLiteral("PM1-%1-%2")
                     .arg(station, 2, 10, QLatin1Char('0'))
                     .arg(++s.nextUnit * 8 + slot, 6, 10, QLatin1Char('0'));
    const bool fail = result != QLatin1String("success") && result != QLatin1String("skipped");
    s.serial = fail && chance() < 0.7 ? serial : QString(); // plugged in again
    const Outcome *o = &kOutcomes[0];
    for (const Outcome &candidate : kOutcomes) {
        if (result == QLatin1String(candidate.result))
            o = &candidate;
    }
    const QString name = stationName(station);
    const QString slotName =
        QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.%1:1.0-port0").arg(slot + 1);
    const char *job = kJobs[(station / 7 + int(timeMs / (4 * 3600 * 1000))) % 3];
    const qint64 duration =
        o->status == 0 ? 13000 + qint64(chance() * 900) : qint64(chance() * 9000);
    QJsonObject l{
        {"id", id.isEmpty() ? QStringLiteral("%1-%2").arg(name).arg(++m_sequence) : id},
        {"time", QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).toString(Qt::ISODateWithMs)},
        {"station", name},
        {"job", QString::fromLatin1(job)},
        {"jobFile",
         QStringLiteral("/srv/pelmar/jobs/%1.json").arg(QString::fromLatin1(job).left(12))},
        {"jobSha256",
         QString::fromLatin1(QCryptographicHash::hash(job, QCryptographicHash::Sha256).toHex())},
        {"quantity", 5000},
        {"slot", slotName},
        {"port", slotName},
        {"slotPath", QStringLiteral("/dev/ttyUSB%1").arg(slot)},
        {"adapterSerial", QStringLiteral("FT%1%2").arg(station, 2, 10, QLatin1Char('0')).arg(slot)},
        {"adapterLatencyMsFound", 16},
        {"adapterLatencyMs", 1},
        {"baud", 115200},
        {"product", o->status == 3 || o->status == 4 ? QJsonValue() : QJsonValue("PM-100")},
        {"serialNumber", o->status == 3 || o->status == 4 ? QJsonValue() : QJsonValue(serial)},
        {"versionBefore", result == QLatin1String("skipped") ? "V1.1" : "V1.0"},
        {"versionAfter", o->status == 0 ? QJsonValue("V1.1") : QJsonValue()},
        {"serialNumberAfter", o->status == 0 ? QJsonValue(serial) : QJsonValue()},
        {"image", "/srv/pelmar/images/PM-100_V1.1.bin"},
        {"imageSize", 65552},
        {"imageSha256", "5f1c9a0e4b7d2c3f8a6e1d0b9c7f5e3a2d4b6c8e0f1a3b5c7d9e2f4a6b8c0d1e"},
        {"frames", o->status == 0 ? 512 : 117},
        {"totalFrames", 512},
        {"resends", 0},
        {"endConfirmed", o->status == 0 || o->status == 10},
        {"endReply", "06"},
        {"durationMs", duration},
        {"result", result},
        {"status", o->status},
        {"message", QString::fromLatin1(o->message)}};
    return QJsonDocument(l).toJson(QJsonDocument::Compact) + '\n';
}
