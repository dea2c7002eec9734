#pragma once

#include <QString>

class QTextStream;

namespace flash {

struct ReportFilter;

// --report postgresql://...: the shift report over the plant database. The stored lines are read
// in time order, with the filters applied in SQL first, and go through the same report reader as
// record files, so that the figures cannot differ; rejected lines are its malformed lines. 0; 14
// when the database cannot be reached, has no pelmar tables or refuses; 15 for a newer schema.
int runDatabaseReport(const QString &target, const ReportFilter &filter, bool json,
                      QTextStream &out, QTextStream &err);

// --init-db --to URL: creates the tables, or migrates older ones. 0, 14 or 15 as above.
int runInitDb(const QString &target, QTextStream &out, QTextStream &err);

} // namespace flash
