#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

namespace ports {

// The names udev gives a serial device that stay when it is plugged again: by the hub port it
// sits in (by-path) and by the adapter's own identity (by-id). Full paths of the links, sorted.
struct StableNames
{
    QStringList byPath;
    QStringList byId;
    bool isEmpty() const { return byPath.isEmpty() && byId.isEmpty(); }
};

// Keyed by the canonical path of the device each link leads to.
using StableNameMap = QMap<QString, StableNames>;

// The links under root/by-path and root/by-id. An absent root or subdirectory (no udev, nothing
// plugged) gives nothing; a dangling link or an entry that is not a link is left out.
StableNameMap readStableNames(const QString &root = QStringLiteral("/dev/serial"));

// The names of a port given by any of its paths (itself a link, or not canonical).
StableNames stableNamesOf(const StableNameMap &map, const QString &port);

// "by-path: NAME  by-id: NAME, NAME" with the links' file names; empty when there are none.
QString stableNamesText(const StableNames &names);
// {"byPath": [paths], "byId": [paths]}
QJsonObject stableNamesJson(const StableNames &names);

} // namespace ports
