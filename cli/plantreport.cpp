#include "plantreport.h"

#include "pg.h"
#include "plantschema.h"
#include "shipbatch.h"
#include "shiftreport.h"

#include <QTextStream>

namespace flash {

namespace {

// The line as it was written, so that the report groups by the stations and jobs the lines name
// as a report over the files does; the station the shipper gave a line without one serves the
// filter only. Ties in time keep the order the lines had in their files.
const char kAttemptsSql[] =
    "SELECT id, line::text FROM attempts "
    "WHERE ($1::timestamptz IS NULL OR time >= $1::timestamptz) "
    "AND ($2::text IS NULL OR station = $2::text) AND ($3::text IS NULL OR job = $3::text) "
    "AND ($4::text IS NULL OR serial_number = $4::text OR serial_number_after = $4::text) "
    "ORDER BY time NULLS FIRST, source_station, source_device, source_inode, source_offset";

const char kRejectsSql[] =
    "SELECT path, station, line_number, reason FROM rejects "
    "WHERE $1::text IS NULL OR station = $1::text ORDER BY stored_at, path, byte_offset";

int fail(QTextStream &err, const QString &text, int status = kDatabaseStatus)
{
    err << "pelmar-flash: " << text << '\n';
    err.flush();
    return status;
}

// 0 when connected to a current schema, else the status, told on `err`.
int openPlant(pg::Connection &db, const QString &target, bool create, QTextStream &err,
              SchemaState *state = nullptr)
{
    const QString name = pg::displayName(target);
    QString error;
    if (!db.open(target, &error))
        return fail(err,
                    QStringLiteral("cannot connect to the plant database %1: %2").arg(name, error));
    const SchemaState s = ensureSchema(db, name, create);
    if (state)
        *state = s;
    switch (s.outcome) {
    case SchemaState::Ready:
        return 0;
    case SchemaState::Newer:
        return fail(err, s.message, kNewerSchemaStatus);
    case SchemaState::Missing:
        return fail(err, s.message);
    case SchemaState::Failed:
        break;
    }
    return fail(err, QStringLiteral("the plant database %1: %2").arg(name, s.error));
}

pg::Params filterParams(const ReportFilter &f)
{
    pg::Params p;
    p.text(f.since.isValid() ? f.since.toUTC().toString(Qt::ISODateWithMs) : QString());
    p.text(plantText(f.station)).text(plantText(f.job)).text(plantText(f.serial));
    return p;
}

} // namespace

int runDatabaseReport(const QString &target, const ReportFilter &filter, bool json,
                      QTextStream &out, QTextStream &err)
{
    pg::Connection db;
    const int status = openPlant(db, target, false, err);
    if (status != 0)
        return status;
    const QString name = pg::displayName(target);
    // The query chose the station, also by the name a shipper gave lines without one.
    ReportFilter readerFilter = filter;
    readerFilter.station.clear();
    ReportReader reader(readerFilter);
    reader.addSource(name);
    int number = 0;
    QString error;
    const bool read = db.forEachRow(
        kAttemptsSql, filterParams(filter),
        [&](const pg::Result &row) {
            reader.readLine(name, ++number, row.value(0, 1), row.text(0, 0));
        },
        &error);
    const bool rejects =
        read && db.forEachRow(
                    kRejectsSql, pg::Params().text(plantText(filter.station)),
                    [&](const pg::Result &row) {
                        reader.malformed(
                            QStringLiteral("%1 (station %2)").arg(row.text(0, 0), row.text(0, 1)),
                            int(row.number(0, 2)), row.text(0, 3));
                    },
                    &error);
    if (!rejects)
        return fail(err, QStringLiteral("the plant database %1: %2").arg(name, error));
    printReport(reader.finish(), json, out);
    return 0;
}

int runInitDb(const QString &target, QTextStream &out, QTextStream &err)
{
    pg::Connection db;
    SchemaState s;
    const int status = openPlant(db, target, true, err, &s);
    if (status != 0)
        return status;
    const QString name = pg::displayName(target);
    if (s.found == kPlantSchemaVersion)
        out << QStringLiteral("%1: schema version %2, already current\n")
                   .arg(name)
                   .arg(kPlantSchemaVersion);
    else
        out << QStringLiteral("%1: schema version %2 (was %3)\n")
                   .arg(name)
                   .arg(kPlantSchemaVersion)
                   .arg(s.found == 0 ? QStringLiteral("empty") : QString::number(s.found));
    out.flush();
    return 0;
}

} // namespace flash
