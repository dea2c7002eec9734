#pragma once

#include "shiftreport.h"

#include <QCommandLineOption>
#include <QList>
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

// --ship, --to, --init-db, --since, --job, --serial.
QList<QCommandLineOption> plantOptions();
// With --ship and --report, --station names a station instead of starting one.
bool stationNamesOne(const QStringList &arguments);
// How many of --ship and --init-db were given.
int plantCommands(const QCommandLineParser &p);
// Options that take one value, given at most once.
QStringList plantValueOptions();
// Fills o.plant and takes a database URL out of the report's files; a usage error or empty.
QString parsePlant(const QCommandLineParser &p, Options &o);
// --ship and --init-db: what goes with them.
QString checkPlantCommand(const QCommandLineParser &p, const Options &o);
// --report: the plant's options that do not go with it.
QString checkPlantReport(const QCommandLineParser &p);
// Any other mode: the plant's options do not go with it.
QString refusePlantOptions(const QCommandLineParser &p);

QString plantSynopsis();
QString plantNotes();

} // namespace flash
