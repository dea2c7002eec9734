#include "tworecords.h"

#include <QStringList>

namespace {

QString at(const QDateTime &sixOClock, int minutes)
{
    return sixOClock.addSecs(minutes * 60).toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

QByteArray eastRecord(const QDateTime &sixOClock)
{
    QByteArray bytes;
    for (int i = 0; i < 12; ++i) {
        const bool e1 = i % 2 == 0;
        bytes += QStringLiteral(R"({"id":"east-%1","station":"east","job":"WO-1","quantity":10,)"
                                R"("time":"%2","port":"/dev/ttyE%3","adapterSerial":"AE%3",)"
                                R"("serialNumber":"E-%4","imageSha256":"aaaa","durationMs":%5,)"
                                R"("result":"%6"})")
                     .arg(i)
                     .arg(at(sixOClock, i))
                     .arg(e1 ? 1 : 0)
                     .arg(i / 2)
                     .arg(20000 + i * 500)
                     .arg(!e1 || i == 4 ? "success" : "noAnswer")
                     .toUtf8() +
                 '\n';
    }
    return bytes;
}

QByteArray westRecord(const QDateTime &sixOClock, bool namesStation)
{
    const QStringList results{"success", "success", "verifyFailed", "success",
                              "skipped", "success", "noAnswer"};
    const QString station = namesStation ? QStringLiteral(R"("station":"west",)") : QString();
    QByteArray bytes;
    for (int i = 0; i < results.size(); ++i) {
        const QString serial = i == 6 ? "null" : QStringLiteral("\"W-%1\"").arg(i % 5);
        bytes += QStringLiteral(R"({"time":"%1",%2"port":"/dev/ttyW0","serialNumber":%3,)"
                                R"("imageSha256":"BBBB","durationMs":1.5e4,"result":"%4"})")
                     .arg(at(sixOClock, 30 + i), station, serial, results.at(i))
                     .toUtf8() +
                 '\n';
    }
    const QByteArray first = bytes.left(bytes.indexOf('\n') + 1);
    return bytes + QByteArray(first).replace("\":", "\": ").replace(",\"", ", \"");
}
