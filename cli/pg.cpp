#include "pg.h"

#include "planttiming.h"

#include <QByteArrayList>

#include <libpq-fe.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace flash::pg {

namespace {

QString oneLine(const char *message)
{
    QString text = QString::fromUtf8(message).trimmed();
    text.replace(QLatin1Char('\n'), QStringLiteral("; "));
    return text.simplified();
}

QString resultError(PGresult *r, PGconn *conn)
{
    const char *primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary)
        return oneLine(primary);
    return oneLine(conn ? PQerrorMessage(conn) : "no connection");
}

struct Conninfo
{
    PQconninfoOption *options = nullptr;
    explicit Conninfo(const QString &target, QString *error = nullptr)
    {
        char *message = nullptr;
        options = PQconninfoParse(target.toUtf8().constData(), &message);
        if (!options && error)
            *error = message ? oneLine(message) : QStringLiteral("cannot be read");
        PQfreemem(message);
    }
    ~Conninfo() { PQconninfoFree(options); }
    QString value(const char *keyword) const
    {
        for (PQconninfoOption *o = options; o && o->keyword; ++o) {
            if (qstrcmp(o->keyword, keyword) == 0 && o->val)
                return QString::fromUtf8(o->val);
        }
        return QString();
    }
};

// Our defaults go first and the target after them: later keywords win, so the target's own
// settings override ours; a setting from the environment is left to the environment.
std::vector<std::pair<QByteArray, QByteArray>> connectKeywords(const QString &target)
{
    using namespace planttiming;
    std::vector<std::pair<QByteArray, QByteArray>> k;
    if (!std::getenv("PGCONNECT_TIMEOUT"))
        k.emplace_back("connect_timeout", QByteArray::number(kConnectTimeoutS));
    if (!std::getenv("PGAPPNAME"))
        k.emplace_back("application_name", "pelmar-flash");
    k.emplace_back("keepalives", "1");
    k.emplace_back("keepalives_idle", QByteArray::number(kKeepaliveIdleS));
    k.emplace_back("keepalives_interval", QByteArray::number(kKeepaliveIntervalS));
    k.emplace_back("keepalives_count", QByteArray::number(kKeepaliveCount));
    k.emplace_back("tcp_user_timeout", QByteArray::number(kTcpUserTimeoutMs));
    k.emplace_back("dbname", target.toUtf8());
    // Every text we send and read is UTF-8.
    k.emplace_back("client_encoding", "UTF8");
    return k;
}

} // namespace

Result::Result(pg_result *result) : m_result(result, PQclear)
{
    if (!ok())
        m_error = resultError(result, nullptr);
}

bool Result::ok() const
{
    const ExecStatusType s = m_result ? PQresultStatus(m_result.get()) : PGRES_FATAL_ERROR;
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK || s == PGRES_SINGLE_TUPLE;
}

QString Result::sqlState() const
{
    const char *state = m_result ? PQresultErrorField(m_result.get(), PG_DIAG_SQLSTATE) : nullptr;
    return state ? QString::fromLatin1(state) : QString();
}

int Result::rows() const
{
    return m_result ? PQntuples(m_result.get()) : 0;
}

bool Result::isNull(int row, int column) const
{
    return !m_result || PQgetisnull(m_result.get(), row, column);
}

QByteArray Result::value(int row, int column) const
{
    if (isNull(row, column))
        return QByteArray();
    return QByteArray(PQgetvalue(m_result.get(), row, column),
                      PQgetlength(m_result.get(), row, column));
}

qint64 Result::affected() const
{
    return m_result ? QByteArray(PQcmdTuples(m_result.get())).toLongLong() : 0;
}

Params &Params::text(const QString &value)
{
    m_values.append(value.isNull() ? QByteArray() : value.toUtf8());
    m_null.append(value.isNull());
    m_binary.append(0);
    return *this;
}

Params &Params::number(qint64 value)
{
    m_values.append(QByteArray::number(value));
    m_null.append(false);
    m_binary.append(0);
    return *this;
}

Params &Params::bytes(const QByteArray &value)
{
    m_values.append(value);
    m_null.append(false);
    m_binary.append(1);
    return *this;
}

Connection::~Connection()
{
    close();
}

bool Connection::open(const QString &target, QString *error)
{
    close();
    const auto keywords = connectKeywords(target);
    std::vector<const char *> keys;
    std::vector<const char *> values;
    for (const auto &k : keywords) {
        keys.push_back(k.first.constData());
        values.push_back(k.second.constData());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    m_conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK) {
        // The server's notices ("already exists, skipping") are no news to the user.
        PQsetNoticeProcessor(
            m_conn, [](void *, const char *) {}, nullptr);
        return true;
    }
    *error = oneLine(m_conn ? PQerrorMessage(m_conn) : "out of memory");
    close();
    return false;
}

bool Connection::isOpen() const
{
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

void Connection::close()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

Result Connection::exec(const char *sql)
{
    Result r(m_conn ? PQexec(m_conn, sql) : nullptr);
    if (!r.ok())
        r.m_error = resultError(r.m_result.get(), m_conn);
    return r;
}

Result Connection::exec(const QByteArray &sql, const Params &params)
{
    std::vector<const char *> values;
    std::vector<int> lengths;
    for (int i = 0; i < params.size(); ++i) {
        values.push_back(params.m_null.at(i) ? nullptr : params.m_values.at(i).constData());
        lengths.push_back(int(params.m_values.at(i).size()));
    }
    Result r(m_conn ? PQexecParams(m_conn, sql.constData(), params.size(), nullptr, values.data(),
                                   lengths.data(), params.m_binary.constData(), 0)
                    : nullptr);
    if (!r.ok())
        r.m_error = resultError(r.m_result.get(), m_conn);
    return r;
}

Result Connection::copyIn(const char *sql, const QByteArray &data)
{
    Result start = exec(sql);
    if (!start.m_result || PQresultStatus(start.m_result.get()) != PGRES_COPY_IN)
        return start;
    const bool sent = PQputCopyData(m_conn, data.constData(), int(data.size())) == 1 &&
                      PQputCopyEnd(m_conn, nullptr) == 1;
    Result end(PQgetResult(m_conn));
    // The COPY's own result first, then the end of the command.
    while (PGresult *more = PQgetResult(m_conn))
        PQclear(more);
    if (!sent || !end.ok())
        end.m_error = resultError(end.m_result.get(), m_conn);
    return end;
}

QByteArray copyField(const QString &value)
{
    if (value.isNull())
        return QByteArrayLiteral("\\N");
    QByteArray bytes = value.toUtf8();
    bytes.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n").replace('\r', "\\r");
    return bytes;
}

bool Connection::forEachRow(const QByteArray &sql, const Params &params,
                            const std::function<void(const Result &row)> &onRow, QString *error)
{
    std::vector<const char *> values;
    for (int i = 0; i < params.size(); ++i)
        values.push_back(params.m_null.at(i) ? nullptr : params.m_values.at(i).constData());
    if (!m_conn || !PQsendQueryParams(m_conn, sql.constData(), params.size(), nullptr,
                                      values.data(), nullptr, nullptr, 0)) {
        *error = oneLine(m_conn ? PQerrorMessage(m_conn) : "no connection");
        return false;
    }
    PQsetSingleRowMode(m_conn);
    bool ok = true;
    // Every result must be taken, even after a failure, before the connection is usable again.
    while (PGresult *raw = PQgetResult(m_conn)) {
        Result row(raw);
        if (PQresultStatus(raw) == PGRES_SINGLE_TUPLE) {
            onRow(row);
        } else if (!row.ok() && ok) {
            *error = resultError(raw, m_conn);
            ok = false;
        }
    }
    return ok;
}

int Connection::socket() const
{
    return m_conn ? PQsocket(m_conn) : -1;
}

bool Connection::takeNotifications(QStringList *payloads)
{
    if (!m_conn || !PQconsumeInput(m_conn) || PQstatus(m_conn) != CONNECTION_OK)
        return false;
    while (PGnotify *n = PQnotifies(m_conn)) {
        payloads->append(QString::fromUtf8(n->extra));
        PQfreemem(n);
    }
    return true;
}

Failure classify(const Connection &connection, const Result &result)
{
    if (!connection.isOpen())
        return Failure::Connection;
    const QString state = result.sqlState();
    // Connection exceptions, an operator's shutdown, too few resources (a full disk), and
    // transactions the server gave up (serialization, deadlock) pass when tried again.
    for (const char *cls : {"08", "57", "53", "40"}) {
        if (state.startsWith(QLatin1String(cls)))
            return Failure::Connection;
    }
    // Data exceptions, integrity constraints, program limits (an index row too large).
    for (const char *cls : {"22", "23", "54"}) {
        if (state.startsWith(QLatin1String(cls)))
            return Failure::Data;
    }
    return state.isEmpty() ? Failure::Connection : Failure::Other;
}

QString displayName(const QString &target)
{
    const Conninfo info(target);
    if (!info.options)
        return QStringLiteral("(a connection text that cannot be read)");
    QString host = info.value("host");
    if (host.isEmpty())
        host = info.value("hostaddr");
    const QString user = info.value("user");
    const QString port = info.value("port");
    const QString db = info.value("dbname");
    return QStringLiteral("postgresql://%1%2%3/%4")
        .arg(user.isEmpty() ? QString() : user + QLatin1Char('@'),
             host.startsWith(QLatin1Char('/')) ? QStringLiteral("[%1]").arg(host) : host,
             port.isEmpty() ? QString() : QLatin1Char(':') + port, db);
}

bool checkTarget(const QString &target, QString *error)
{
    const Conninfo info(target, error);
    return info.options != nullptr;
}

bool targetHasPassword(const QString &target)
{
    return !Conninfo(target).value("password").isEmpty();
}

bool isDatabaseUrl(const QString &text)
{
    return text.startsWith(QLatin1String("postgresql://")) ||
           text.startsWith(QLatin1String("postgres://"));
}

} // namespace flash::pg
