#include "serveoptions.h"

#include "optionnames.h"
#include "pg.h"
#include "serve.h"

#include <QCommandLineParser>

namespace flash {

bool parseListenAddress(const QString &text, QString *address, int *port)
{
    QString host = QStringLiteral("127.0.0.1");
    QString number = text;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        number = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':')))
            return false; // an IPv6 address goes in brackets
    }
    bool ok = false;
    const int value = number.toInt(&ok, 10);
    if (!ok || value < 0 || value > 65535 || host.isEmpty() || number.startsWith(QLatin1Char('+')))
        return false;
    *address = host;
    *port = value;
    return true;
}

QString parseServe(const QCommandLineParser &p, ServeSettings *settings)
{
    for (const QString &name : p.optionNames()) {
        if (name != kServe && name != kDb)
            return QStringLiteral("--%1 does not go with --serve").arg(name);
    }
    if (!parseListenAddress(p.value(kServe).trimmed(), &settings->address, &settings->port))
        return QStringLiteral("--serve needs [ADDR:]PORT, e.g. 8080, 0.0.0.0:8080 or [::1]:8080");
    settings->files = p.positionalArguments();
    settings->database = p.value(kDb).trimmed();
    for (const QString &file : settings->files) {
        if (pg::isDatabaseUrl(file))
            return QStringLiteral("--serve: give the database as --db %1").arg(file);
    }
    if (p.isSet(kDb) && !settings->files.isEmpty())
        return QStringLiteral("--serve shows either --db or record files, not both");
    if (!p.isSet(kDb) && settings->files.isEmpty())
        return QStringLiteral("--serve needs --db postgresql://... or at least one record file");
    QString why;
    if (p.isSet(kDb) && !pg::checkTarget(settings->database, &why))
        return QStringLiteral("--db: the database URL cannot be read: %1").arg(why);
    if (p.isSet(kDb) && settings->database.isEmpty())
        return QStringLiteral("--db needs a database URL (postgresql://USER@HOST/DATABASE)");
    return QString();
}

QString serveSynopsis()
{
    return QStringLiteral("  or:  pelmar-flash --serve [ADDR:]PORT (--db postgresql://... | "
                          "RECORD-FILE ...)\n");
}

QString serveNotes()
{
    return QStringLiteral(R"(
Page:
  --serve shows the line live in a browser: per station and for the line today
  (attempts, passed, failed, first-pass yield, devices per hour, a chart per
  hour), the last attempts, flagged ports and adapters, devices never passed,
  jobs, each station's last line and shipper lag, and a unit's history by
  serial number; with a JSON API under /api/. Read-only (GET and HEAD only),
  on 127.0.0.1 unless an address is given; a read-only database user works.
)");
}

} // namespace flash
