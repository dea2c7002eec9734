#include "httpclient.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkProxy>

namespace {

void noProxy(QTcpSocket &socket)
{
    socket.setProxy(QNetworkProxy::NoProxy);
}

// Takes whole chunks off the front of `raw`.
QByteArray dechunk(QByteArray *raw)
{
    QByteArray out;
    for (;;) {
        const int lineEnd = raw->indexOf("\r\n");
        if (lineEnd < 0)
            return out;
        bool ok = false;
        const int size = raw->left(lineEnd).toInt(&ok, 16);
        if (!ok || raw->size() < lineEnd + 2 + size + 2)
            return out;
        out += raw->mid(lineEnd + 2, size);
        raw->remove(0, lineEnd + 2 + size + 2);
    }
}

} // namespace

QJsonObject HttpReply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

HttpReply httpRaw(int port, const QByteArray &request, int timeoutMs)
{
    HttpReply reply;
    QTcpSocket socket;
    noProxy(socket);
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!socket.waitForConnected(timeoutMs))
        return reply;
    socket.write(request);
    QByteArray raw;
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs) {
        socket.waitForReadyRead(100);
        raw += socket.readAll();
    }
    raw += socket.readAll();
    const int headEnd = raw.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return reply;
    const QList<QByteArray> lines = raw.left(headEnd).split('\n');
    reply.status = lines.first().split(' ').value(1).toInt();
    for (const QByteArray &line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        reply.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    reply.body = raw.mid(headEnd + 4);
    if (reply.headers.value("transfer-encoding") == "chunked")
        reply.body = dechunk(&reply.body);
    return reply;
}

HttpReply httpGet(int port, const QByteArray &path)
{
    return httpRaw(port,
                   "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

bool EventStream::open(int port)
{
    noProxy(m_socket);
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    if (!m_socket.waitForConnected(5000))
        return false;
    m_socket.write("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QElapsedTimer clock;
    clock.start();
    while (!m_headerDone && clock.elapsed() < 5000 && m_socket.waitForReadyRead(100))
        parse();
    return m_headerDone;
}

void EventStream::parse()
{
    m_raw += m_socket.readAll();
    if (!m_headerDone) {
        const int end = m_raw.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        m_headerDone = m_raw.startsWith("HTTP/1.1 200");
        m_raw.remove(0, end + 4);
    }
    m_text += dechunk(&m_raw);
    for (int end = m_text.indexOf("\n\n"); end >= 0; end = m_text.indexOf("\n\n")) {
        ServerEvent e;
        for (const QByteArray &line : m_text.left(end).split('\n')) {
            if (line.startsWith("event: "))
                e.name = line.mid(7);
            else if (line.startsWith("data: "))
                e.data = line.mid(6);
        }
        m_text.remove(0, end + 2);
        if (!e.name.isEmpty())
            m_events.append(e);
    }
}

bool EventStream::waitFor(const QByteArray &name, const QByteArray &needle, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        for (const ServerEvent &e : m_events) {
            if (e.name == name && e.data.contains(needle))
                return true;
        }
        if (clock.elapsed() > timeoutMs || m_socket.state() != QAbstractSocket::ConnectedState)
            return false;
        m_socket.waitForReadyRead(100);
        parse();
    }
}

void EventStream::poll(int ms)
{
    m_socket.waitForReadyRead(ms);
    parse();
}
