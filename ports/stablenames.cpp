#include "stablenames.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace ports {

namespace {

void addLinks(StableNameMap *map, const QString &dir, QStringList StableNames::*list)
{
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink() || entry.isDir())
            continue;
        const QString device = entry.canonicalFilePath(); // empty when the link dangles
        if (!device.isEmpty())
            ((*map)[device].*list).append(entry.absoluteFilePath());
    }
}

QString fileNames(const QStringList &paths)
{
    QStringList names;
    for (const QString &path : paths)
        names << QFileInfo(path).fileName();
    return names.join(QStringLiteral(", "));
}

} // namespace

StableNameMap readStableNames(const QString &root)
{
    StableNameMap map;
    addLinks(&map, root + QStringLiteral("/by-path"), &StableNames::byPath);
    addLinks(&map, root + QStringLiteral("/by-id"), &StableNames::byId);
    return map;
}

StableNames stableNamesOf(const StableNameMap &map, const QString &port)
{
    const QString canonical = QFileInfo(port).canonicalFilePath();
    return canonical.isEmpty() ? StableNames() : map.value(canonical);
}

QString stableNamesText(const StableNames &names)
{
    QStringList parts;
    if (!names.byPath.isEmpty())
        parts << QStringLiteral("by-path: ") + fileNames(names.byPath);
    if (!names.byId.isEmpty())
        parts << QStringLiteral("by-id: ") + fileNames(names.byId);
    return parts.join(QStringLiteral("  "));
}

QJsonObject stableNamesJson(const StableNames &names)
{
    return {{QStringLiteral("byPath"), QJsonArray::fromStringList(names.byPath)},
            {QStringLiteral("byId"), QJsonArray::fromStringList(names.byId)}};
}

} // namespace ports
