#pragma once

#include "shiftreport.h"

#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace flash {

struct Options;

// What --ship, --init-db and --report over the plant database need.
struct PlantOptions
{
    QStringList shipFiles; // --ship: the record files
    QString target;        // --to, or the database --report reads
    QString stationName;   // --ship --station NAME: for lines that name none (default: host name)
    ReportFilter filter;   // --report: --since, --station, --job, --serial
};

// With --ship and --report, --station names a station instead of starting one.
bool stationNamesOne(const QStringList &arguments);
// Fills o.plant and takes a database URL out of the report's files; a usage error or empty.
QString parsePlant(const QCommandLineParser &p, Options &o);
// --ship and --init-db, once their options are known to go with them: the files, --to, a name.
QString checkPlantCommand(const QCommandLineParser &p, const Options &o);
// --report: the plant's options that do not go with it.
QString checkPlantReport(const QCommandLineParser &p);

QString plantSynopsis();
QString plantNotes();

} // namespace flash
