#include "plantoptions.h"

#include "optionnames.h"
#include "options.h"
#include "pg.h"

#include <QCommandLineParser>
#include <QSysInfo>

namespace flash {

namespace {

// ISO 8601 with or without a time and an offset; a time without an offset is local.
bool parseSince(const QString &text, QDateTime *since)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (day.isValid())
            t = day.startOfDay();
    }
    *since = t;
    return t.isValid();
}

QString checkTarget(const QString &target, const QString &option)
{
    QString why;
    if (target.trimmed().isEmpty())
        return QStringLiteral("%1 needs a database URL (postgresql://USER@HOST/DATABASE)")
            .arg(option);
    if (!pg::checkTarget(target, &why))
        return QStringLiteral("%1: the database URL cannot be read: %2").arg(option, why);
    return QString();
}

} // namespace

bool stationNamesOne(const QStringList &arguments)
{
    for (const QString &a : arguments.mid(1)) {
        if (a == QLatin1String("--ship") || a == QLatin1String("-ship") ||
            a == QLatin1String("--report") || a == QLatin1String("-report"))
            return true;
    }
    return false;
}

QString parsePlant(const QCommandLineParser &p, Options &o)
{
    PlantOptions &plant = o.plant;
    plant.target = p.value(kTo);
    if (o.command == Options::Command::Ship) {
        plant.shipFiles = p.positionalArguments();
        plant.stationName =
            p.isSet(kStation) ? p.value(kStation).trimmed() : QSysInfo::machineHostName();
    }
    if (o.command != Options::Command::Report)
        return QString();
    plant.filter.station = p.value(kStation).trimmed();
    plant.filter.job = p.value(kJob).trimmed();
    plant.filter.serial = p.value(kSerial).trimmed();
    if (p.isSet(kSince) && !parseSince(p.value(kSince).trimmed(), &plant.filter.since))
        return QStringLiteral("--since needs an ISO 8601 time, e.g. 2026-12-07T06:00:00Z or "
                              "2026-12-07");
    for (const QString &url : o.reportFiles) {
        if (!pg::isDatabaseUrl(url))
            continue;
        if (o.reportFiles.size() > 1)
            return QStringLiteral("--report reads either record files or one database URL");
        plant.target = url;
        o.reportFiles.clear();
        return checkTarget(plant.target, QStringLiteral("--report"));
    }
    return QString();
}

QString checkPlantCommand(const QCommandLineParser &p, const Options &o)
{
    const QString mode = o.command == Options::Command::Ship ? kShip : kInitDb;
    if (o.command == Options::Command::Ship && o.plant.shipFiles.isEmpty())
        return QStringLiteral("--ship needs at least one record file");
    if (o.command == Options::Command::InitDb && !p.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
    if (!p.isSet(kTo))
        return QStringLiteral("--%1 needs --to postgresql://USER@HOST/DATABASE").arg(mode);
    if (p.isSet(kStation) && o.plant.stationName.isEmpty())
        return QStringLiteral("--station needs a name");
    return checkTarget(o.plant.target, QStringLiteral("--to"));
}

QString checkPlantReport(const QCommandLineParser &p)
{
    if (p.isSet(kTo))
        return QStringLiteral("--to does not go with --report: give the database URL as the "
                              "report's argument");
    for (const QString &name : {kStation, kJob, kSerial}) {
        if (p.isSet(name) && p.value(name).trimmed().isEmpty())
            return QStringLiteral("--%1 needs a value").arg(name);
    }
    return QString();
}

QString plantSynopsis()
{
    return QStringLiteral(
        "  or:  pelmar-flash --report [--json] [--since TIME] [--station NAME] [--job NAME] "
        "[--serial SN] (RECORD-FILE ... | postgresql://...)\n"
        "  or:  pelmar-flash --ship RECORD-FILE ... --to postgresql://... [--station NAME] "
        "[--json]\n"
        "  or:  pelmar-flash --init-db --to postgresql://...\n");
}

QString plantNotes()
{
    return QStringLiteral(R"(
Plant database:
  --ship runs beside a station and stores every whole line of its record files
  in PostgreSQL, each attempt once (by its id), following the files as they
  grow, are replaced or truncated; it resumes where it stopped and retries a
  database that is down, while the station goes on writing its record. With
  --ship, --station NAME names the station for lines that carry none (default:
  the host name); with --report it is a filter. --report postgresql://...
  gives the report over the database, with the same figures as over the files.
  The password comes from a password file (PGPASSFILE, ~/.pgpass) or PGPASSWORD,
  never printed. The shipper runs until stopped (SIGINT, SIGTERM: status 0).
)");
}

} // namespace flash
