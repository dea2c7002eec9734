#include "pgserver.h"

#include "pg.h"

#include <QDir>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The newest installed server's programs.
QString binDir()
{
    const QDir root(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toDouble() > b.toDouble(); });
    for (const QString &v : versions) {
        const QString bin = root.filePath(v + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return QString();
}

// A port the system gives out now; the server takes it a moment later.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

} // namespace

PgServer::~PgServer()
{
    stop();
}

QString PgServer::unavailable()
{
    if (binDir().isEmpty())
        return QStringLiteral("PostgreSQL is not installed (./setup-deps.sh installs postgresql)");
    if (::geteuid() == 0 && !::getpwnam("postgres"))
        return QStringLiteral("running as root without a postgres user to run the server");
    return QString();
}

bool PgServer::run(const QString &tool, const QStringList &arguments, QString *error) const
{
    QProcess p;
    QString program = binDir() + QLatin1Char('/') + tool;
    QStringList command = arguments;
    if (::geteuid() == 0) {
        command = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                              QStringLiteral("--"), program} +
                  arguments;
        program = QStringLiteral("runuser");
    }
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, command);
    const bool ok =
        p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok && error)
        *error = tool + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll()).trimmed();
    return ok;
}

QString PgServer::dataDir() const
{
    return m_dir->filePath(QStringLiteral("data"));
}

bool PgServer::start(QString *error)
{
    if (!m_dir) {
        m_dir = std::make_unique<QTemporaryDir>();
        const struct passwd *pw = ::getpwnam("postgres");
        if (::geteuid() == 0 && (!pw || ::chown(QFile::encodeName(m_dir->path()).constData(),
                                                pw->pw_uid, pw->pw_gid) != 0)) {
            *error = QStringLiteral("cannot give the folder to the postgres user");
            return false;
        }
        // No flush to disk: a test's data need not survive the machine.
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-A"), QStringLiteral("trust"),
                  QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-E"),
                  QStringLiteral("UTF8"), QStringLiteral("--no-sync")},
                 error))
            return false;
        m_port = freePort();
    }
    const QString options = QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -k %2 -c fsync=off "
                                           "-c full_page_writes=off")
                                .arg(m_port)
                                .arg(m_dir->path());
    m_running = run(QStringLiteral("pg_ctl"),
                    {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                     m_dir->filePath(QStringLiteral("log")), QStringLiteral("-w"),
                     QStringLiteral("-o"), options, QStringLiteral("start")},
                    error);
    return m_running;
}

bool PgServer::stop(QString *error)
{
    if (!m_running)
        return true;
    m_running = !run(QStringLiteral("pg_ctl"),
                     {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"), QStringLiteral("fast"),
                      QStringLiteral("-w"), QStringLiteral("stop")},
                     error);
    return !m_running;
}

QString PgServer::url(const QString &database) const
{
    return QStringLiteral("postgresql://postgres@127.0.0.1:%1/%2").arg(m_port).arg(database);
}

QString PgServer::freshDatabase(const QString &name, QString *error)
{
    flash::pg::Connection db;
    if (!db.open(url(), error))
        return QString();
    // Names come from the tests themselves; quoted as identifiers all the same.
    const QByteArray quoted = '"' + name.toUtf8().replace('"', "\"\"") + '"';
    db.exec(QByteArray("DROP DATABASE IF EXISTS " + quoted).constData());
    const flash::pg::Result r = db.exec(QByteArray("CREATE DATABASE " + quoted).constData());
    if (!r.ok()) {
        *error = r.error();
        return QString();
    }
    return url(name);
}
