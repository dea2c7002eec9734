#pragma once

#include <QString>
#include <QStringList>

namespace flash {

struct ServeSettings
{
    QString address = QStringLiteral("127.0.0.1");
    int port = 0;      // 0: any free port (said on standard output)
    QString database;  // --db: the plant database; else `files`
    QStringList files; // record files
};

// --serve [ADDR:]PORT: the line's live page and its JSON API, over the plant database or over
// record files, until SIGINT, SIGTERM or SIGHUP (status 0). 2 when the address cannot be
// listened on, 15 when the database has no pelmar tables, 16 when its schema is newer.
int runServe(const ServeSettings &settings);

} // namespace flash
