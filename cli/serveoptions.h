#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace flash {

struct ServeSettings;

// Fills `settings` from --serve, --db and the record files named; a usage error or empty.
QString parseServe(const QCommandLineParser &p, ServeSettings *settings);
// "[ADDR:]PORT": an IPv4 address, a host name or [IPv6], and a port from 0 (any free) to 65535.
bool parseListenAddress(const QString &text, QString *address, int *port);

QString serveSynopsis();
QString serveNotes();

} // namespace flash
