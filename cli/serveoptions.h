#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace flash {

struct ServeSettings;

// --serve [ADDR:]PORT and --db URL.
QList<QCommandLineOption> serveOptions();
// Options that take one value, given at most once.
QStringList serveValueOptions();
// Fills `settings` from --serve, --db and the record files named; a usage error or empty.
QString parseServe(const QCommandLineParser &p, ServeSettings *settings);
// Any other mode: --db does not go with it.
QString refuseServeOptions(const QCommandLineParser &p);
// "[ADDR:]PORT": an IPv4 address, a host name or [IPv6], and a port from 0 (any free) to 65535.
bool parseListenAddress(const QString &text, QString *address, int *port);

QString serveSynopsis();
QString serveNotes();

} // namespace flash
