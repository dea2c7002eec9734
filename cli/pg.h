#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

// libpq's own types, so that only pg.cpp includes its header.
struct pg_conn;
struct pg_result;

// A thin hold on libpq: a connection, a result and the parameters of one statement. Values always
// travel as parameters ($1, $2, ...), never inside the SQL text.
namespace flash::pg {

class Result
{
public:
    Result() = default;
    explicit Result(pg_result *result);

    // A command or a query that succeeded.
    bool ok() const;
    // The server's message on one line, or libpq's when there was no result at all.
    QString error() const { return m_error; }
    // SQLSTATE (five characters), empty where the failure was no SQL error (connection lost).
    QString sqlState() const;
    int rows() const;
    bool isNull(int row, int column) const;
    QByteArray value(int row, int column) const;
    QString text(int row, int column) const { return QString::fromUtf8(value(row, column)); }
    qint64 number(int row, int column) const { return value(row, column).toLongLong(); }
    // Rows a command inserted, updated or deleted.
    qint64 affected() const;

private:
    friend class Connection;
    std::shared_ptr<pg_result> m_result;
    QString m_error;
};

// The parameters of one statement, in order; a null text is SQL NULL.
class Params
{
public:
    Params &text(const QString &value);
    Params &number(qint64 value);
    Params &bytes(const QByteArray &value); // bytea, sent as binary
    int size() const { return m_values.size(); }

private:
    friend class Connection;
    QVector<QByteArray> m_values;
    QVector<bool> m_null;
    QVector<int> m_binary;
};

class Connection
{
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // `target` is a URL (postgresql://...) or libpq's key=value text; libpq adds the password
    // file (PGPASSFILE, ~/.pgpass) and the PG* environment. Connects and sets keepalives and a
    // connect time-out (planttiming.h) where neither the target nor the environment sets them.
    bool open(const QString &target, QString *error);
    bool isOpen() const;
    void close();

    Result exec(const char *sql);
    Result exec(const QByteArray &sql, const Params &params);
    // COPY ... FROM STDIN with `data` in COPY's text format (copyField() escapes a value).
    Result copyIn(const char *sql, const QByteArray &data);
    // The rows of a query one at a time (libpq's single-row mode): a large result never sits in
    // memory whole. False, with the error, when the query failed.
    bool forEachRow(const QByteArray &sql, const Params &params,
                    const std::function<void(const Result &row)> &onRow, QString *error);

    // LISTEN: the connection's socket, readable when a notification may have come, and the
    // payloads that came; false when the connection is lost.
    int socket() const;
    bool takeNotifications(QStringList *payloads);

private:
    pg_conn *m_conn = nullptr;
};

// One value of a COPY text row: backslash, tab, line end and return escaped; null is \N.
QByteArray copyField(const QString &value);

enum class Failure {
    Connection, // lost, or the server cannot take work now: try again later
    Data,       // this data was refused (a value the server cannot hold): the rest may pass
    Other       // anything else (permissions, a changed schema): try again later, and say why
};
Failure classify(const Connection &connection, const Result &result);

// The target as messages show it: postgresql://user@host:port/database, never the password.
QString displayName(const QString &target);
// Whether libpq can read the target at all; why not.
bool checkTarget(const QString &target, QString *error);
// A password written in the target itself (visible to every user in the process list).
bool targetHasPassword(const QString &target);
// postgresql:// or postgres://: names a database rather than a file.
bool isDatabaseUrl(const QString &text);

} // namespace flash::pg
