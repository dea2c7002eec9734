#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

// A PostgreSQL server of the test's own, from the system's installation (Debian's `postgresql`),
// in a temporary folder on a free port of 127.0.0.1; as root it runs as the `postgres` user,
// since the server refuses to run as root. Stopped and removed with the object.
class PgServer
{
public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Why no server can be had here (the package is not installed), or empty.
    static QString unavailable();
    // The first start creates the cluster; a start after stop() keeps the data and the port.
    bool start(QString *error);
    bool stop(QString *error = nullptr);
    QString url(const QString &database = QStringLiteral("postgres")) const;
    // An empty database of that name (dropped first when it exists); its URL.
    QString freshDatabase(const QString &name, QString *error);

private:
    bool run(const QString &tool, const QStringList &arguments, QString *error) const;
    QString dataDir() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    int m_port = 0;
    bool m_running = false;
};

// Skips the test where PostgreSQL cannot be installed, and fails it under CI (CI=true), where a
// skip would hide that the database tests never ran.
#define REQUIRE_POSTGRESQL()                                                                       \
    do {                                                                                           \
        const QString why = PgServer::unavailable();                                               \
        if (!why.isEmpty() && qgetenv("CI") == "true")                                             \
            QFAIL(qPrintable(why + QStringLiteral(" (a skip is a failure under CI)")));            \
        if (!why.isEmpty())                                                                        \
            QSKIP(qPrintable(why + QStringLiteral(": the plant tests are skipped")));              \
    } while (false)
