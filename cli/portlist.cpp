#include "portlist.h"

#include "adapterlatency.h"
#include "record.h"
#include "terminal.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace flash {

namespace {

QJsonObject listingJson(const ports::ListedPort &p, const ports::StableNames &names, int latencyMs)
{
    QJsonObject o;
    o.insert(QStringLiteral("port"), p.location);
    o.insert(QStringLiteral("name"), p.name);
    o.insert(QStringLiteral("description"), orNull(p.description));
    o.insert(QStringLiteral("manufacturer"), orNull(p.manufacturer));
    o.insert(QStringLiteral("vendorId"), orNull(p.vendorId));
    o.insert(QStringLiteral("productId"), orNull(p.productId));
    o.insert(QStringLiteral("serialNumber"), orNull(p.serialNumber));
    o.insert(QStringLiteral("stableNames"), ports::stableNamesJson(names));
    o.insert(QStringLiteral("latencyTimerMs"),
             latencyMs < 0 ? QJsonValue(QJsonValue::Null) : latencyMs);
    return o;
}

QString listingText(const ports::ListedPort &p, const ports::StableNames &names, int latencyMs)
{
    const auto shown = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
    const QString latency = latencyMs < 0 ? QString() : QStringLiteral("%1 ms").arg(latencyMs);
    return QStringLiteral("%1  description: %2, manufacturer: %3, USB id: %4:%5, "
                          "USB serial: %6, latency timer: %7%8\n")
        .arg(p.location, shown(p.description), shown(p.manufacturer), shown(p.vendorId),
             shown(p.productId), shown(p.serialNumber), shown(latency),
             names.isEmpty() ? QString()
                             : QStringLiteral("\n    ") + ports::stableNamesText(names));
}

} // namespace

QString portListing(const QList<ports::ListedPort> &listed, const ports::StableNameMap &stable,
                    const QString &sysfsRoot, bool json)
{
    QString out;
    for (const ports::ListedPort &p : listed) {
        const ports::StableNames names = ports::stableNamesOf(stable, p.location);
        const int latencyMs =
            ports::readLatencyTimer(ports::latencyTimerFile(p.location, sysfsRoot));
        if (json)
            out += QString::fromUtf8(QJsonDocument(listingJson(p, names, latencyMs))
                                         .toJson(QJsonDocument::Compact)) +
                   QLatin1Char('\n');
        else
            out += listingText(p, names, latencyMs);
    }
    return out;
}

int listPorts(const Options &options)
{
    const QList<ports::ListedPort> listed = ports::presentPorts();
    // The names that stay when a device is plugged again, so a station can be set up by hub port.
    writeOut(
        portListing(listed, ports::readStableNames(), ports::defaultSysfsRoot(), options.json));
    if (listed.isEmpty() && !options.json)
        std::fputs("pelmar-flash: no serial ports found\n", stderr);
    return 0;
}

} // namespace flash
