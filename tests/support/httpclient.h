#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QTcpSocket>

// A plain HTTP/1.1 client for the page's tests, on 127.0.0.1 (no proxy, no library between).
struct HttpReply
{
    int status = 0;                       // 0: no answer
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QJsonObject json() const;
};

// Sends `request` as it is and reads the answer until the server closes the connection.
HttpReply httpRaw(int port, const QByteArray &request, int timeoutMs = 10000);
// GET `path` with Connection: close.
HttpReply httpGet(int port, const QByteArray &path);

struct ServerEvent
{
    QByteArray name;
    QByteArray data;
};

// One page's push connection (GET /api/events), its events read as they come.
class EventStream
{
public:
    bool open(int port);
    // Waits for an event of that name whose data contains `needle`.
    bool waitFor(const QByteArray &name, const QByteArray &needle, int timeoutMs);
    // Reads what came within `ms`.
    void poll(int ms);
    QList<ServerEvent> events() const { return m_events; }

private:
    void parse();
    QTcpSocket m_socket;
    QByteArray m_raw;  // as received, chunked
    QByteArray m_text; // de-chunked, not yet parsed into events
    bool m_headerDone = false;
    QList<ServerEvent> m_events;
};
