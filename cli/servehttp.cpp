#include "servehttp.h"

#include "servesource.h"
#include "servetiming.h"

#include <QFile>
#include <QJsonDocument>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// Resources in a static library register only when asked.
static void initPageResource()
{
    Q_INIT_RESOURCE(page);
}

namespace flash::serve {

namespace {

using namespace servetiming;
using Clock = std::chrono::steady_clock;

const char kPolicy[] = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                       "connect-src 'self'; base-uri 'none'; form-action 'none'; "
                       "frame-ancestors 'none'";

httplib::Headers securityHeaders()
{
    return {{"Content-Security-Policy", kPolicy},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"X-Frame-Options", "DENY"},
            {"Cache-Control", "no-store"}};
}

bool ready(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int n = 0;
    do {
        n = ::poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

// A connection's socket with every read and write bounded in time.
class ClientStream final : public httplib::Stream
{
public:
    explicit ClientStream(int fd) : m_fd(fd) {}
    bool is_readable() const override { return ready(m_fd, POLLIN, kReadTimeoutMs); }
    bool is_writable() const override { return ready(m_fd, POLLOUT, kWriteTimeoutMs); }
    ssize_t read(char *data, size_t size) override
    {
        if (!is_readable())
            return -1;
        ssize_t n = 0;
        do {
            n = ::recv(m_fd, data, size, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    ssize_t write(const char *data, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n = 0;
        do {
            n = ::send(m_fd, data, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return m_fd; }

private:
    template <typename F> void address(F get, std::string &ip, int &port) const
    {
        sockaddr_storage a{};
        socklen_t length = sizeof a;
        char host[64] = {};
        port = 0;
        if (get(m_fd, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        if (a.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
            ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
            port = ntohs(in->sin_port);
        } else if (a.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a);
            ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
            port = ntohs(in6->sin6_port);
        }
        ip = host;
    }
    int m_fd;
};

std::string refusal(int status)
{
    const std::string reason = status == 414 ? "URI Too Long" : "Request Header Fields Too Large";
    const std::string body =
        status == 414 ? "The URL is too long.\n" : "The request's headers are too large.\n";
    std::string head = "HTTP/1.1 " + std::to_string(status) + ' ' + reason + "\r\n";
    for (const auto &h : securityHeaders())
        head += h.first + ": " + h.second + "\r\n";
    return head + "Content-Type: text/plain; charset=utf-8\r\nConnection: close\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Says why, then reads what else the client sent for a moment: closing with unread data would
// reset the connection before the client read the answer.
void refuse(int fd, int status)
{
    const std::string answer = refusal(status);
    size_t sent = 0;
    while (sent < answer.size() && ready(fd, POLLOUT, kWriteTimeoutMs)) {
        const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    ::shutdown(fd, SHUT_WR);
    const auto end = Clock::now() + std::chrono::milliseconds(kDrainMs);
    char sink[4096];
    while (Clock::now() < end && ready(fd, POLLIN, kDrainMs) &&
           ::recv(fd, sink, sizeof sink, 0) > 0) {
    }
}

} // namespace

int judgeHead(const char *data, size_t size)
{
    const std::string_view head(data, size);
    const size_t lineEnd = head.find('\n');
    if (lineEnd == std::string_view::npos)
        return size > size_t(kMaxRequestLine) ? 414 : -1;
    if (lineEnd > size_t(kMaxRequestLine))
        return 414;
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return size > size_t(kMaxHeadBytes) ? 431 : -1;
    if (end + 4 > size_t(kMaxHeadBytes))
        return 431;
    size_t lines = 0;
    for (size_t i = lineEnd + 1; i < end; ++i)
        lines += head[i] == '\n' ? 1 : 0;
    return lines + 1 > size_t(kMaxHeaderLines) ? 431 : 0;
}

namespace {

// cpp-httplib reads a request line and its headers whole before it looks at their size, and
// waits for each byte anew: the head is looked at here first (without taking it), and the
// connection's reads and writes go through ClientStream.
class Listener : public httplib::Server
{
public:
    std::atomic<bool> stopping{false};

    // cpp-httplib listens with a backlog of 5: pages that connect together would wait a second
    // for the SYN sent again. Listening again on the socket only widens its queue.
    void widenBacklog() { ::listen(svr_sock_, kListenBacklog); }

private:
    // 0: a whole head within the limits; 414 or 431; -1: closed, or too slow.
    int checkHead(int fd)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kHeadDeadlineMs);
        std::vector<char> buffer(size_t(kMaxHeadBytes) + 1);
        ssize_t seen = 0;
        while (!stopping && Clock::now() < deadline) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return -1;
            const int verdict = n > 0 ? judgeHead(buffer.data(), size_t(n)) : -1;
            if (verdict >= 0)
                return verdict;
            // Data waiting keeps the socket readable: wait for more by time instead.
            if (n > 0 && n == seen)
                std::this_thread::sleep_for(std::chrono::milliseconds(kHeadPollMs));
            else if (n < 0)
                ready(fd, POLLIN, kHeadPollMs * 10);
            seen = n;
        }
        return -1;
    }

    bool process_and_close_socket(socket_t fd) override
    {
        ClientStream stream(fd);
        bool ok = true;
        for (int served = 0; served < kKeepAliveRequests && !stopping; ++served) {
            if (served > 0 && !ready(fd, POLLIN, kKeepAliveMs))
                break;
            const int verdict = checkHead(fd);
            if (verdict != 0) {
                if (verdict > 0)
                    refuse(fd, verdict);
                break;
            }
            bool closed = false;
            // Nothing is compressed: a push must leave at once, and a LAN needs no savings.
            ok = process_request(stream, served + 1 == kKeepAliveRequests, closed,
                                 [](httplib::Request &r) { r.headers.erase("Accept-Encoding"); });
            if (!ok || closed)
                break;
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return ok;
    }
};

} // namespace

namespace {

void sendJson(httplib::Response &res, const Answer &answer)
{
    res.status = answer.status;
    const QByteArray json = QJsonDocument(answer.body).toJson(QJsonDocument::Compact);
    res.set_content(json.constData(), size_t(json.size()), "application/json; charset=utf-8");
}

QString param(const httplib::Request &req, const char *name)
{
    return QString::fromStdString(req.get_param_value(name)).trimmed();
}

// ISO 8601 with or without a time and an offset (local without one); a date alone is its local
// midnight.
QDateTime parseTime(const QString &text)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid() && text.size() == 10)
        t = QDate::fromString(text, Qt::ISODate).startOfDay();
    return t;
}

// `since` and `limit` of /api/attempts; an empty string or the error.
QString attemptsQuery(const httplib::Request &req, AttemptsQuery *q)
{
    const QString since = param(req, "since");
    q->since = parseTime(since);
    if (!q->since.isValid())
        q->afterId = since;
    q->station = param(req, "station");
    q->job = param(req, "job");
    q->limit = kAttemptsDefault;
    if (req.has_param("limit")) {
        bool ok = false;
        q->limit = param(req, "limit").toInt(&ok);
        if (!ok || q->limit < 1 || q->limit > kAttemptsMax)
            return QStringLiteral("limit must be a number from 1 to %1").arg(kAttemptsMax);
    }
    return QString();
}

// Holds one of the kMaxStreams places while a page's push connection lasts.
struct StreamPlace
{
    explicit StreamPlace(std::atomic<int> &count) : m_count(count) {}
    ~StreamPlace() { --m_count; }
    std::atomic<int> &m_count;
};

} // namespace

class HttpServer::Impl
{
public:
    Impl(Source &source, Hub &hub, const PageFiles &page) : m_source(source), m_hub(hub)
    {
        m_server.set_default_headers(securityHeaders());
        m_server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
        m_server.set_payload_max_length(kMaxBodyBytes);
        m_server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
            if (req.method == "GET" || req.method == "HEAD")
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("Only GET and HEAD: the page is read-only.\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        m_server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
            if (res.body.empty())
                res.set_content(std::to_string(res.status) + '\n', "text/plain");
        });
        m_server.set_exception_handler(
            [](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
                res.status = 500;
                res.set_content("internal error\n", "text/plain");
            });
        routeFiles(page);
        routeApi();
    }

    void routeFiles(const PageFiles &page)
    {
        const auto file = [this](const char *path, std::string body, const char *type) {
            m_server.Get(path, [body, type](const httplib::Request &, httplib::Response &res) {
                res.set_content(body, type);
            });
        };
        file("/", page.html, "text/html; charset=utf-8");
        file("/page.css", page.css, "text/css; charset=utf-8");
        file("/page.js", page.script, "text/javascript; charset=utf-8");
    }

    void routeApi()
    {
        using httplib::Request;
        using httplib::Response;
        m_server.Get("/api/summary", [this](const Request &req, Response &res) {
            const QString text = param(req, "since");
            const QDateTime since =
                text.isEmpty() ? QDate::currentDate().startOfDay() : parseTime(text);
            sendJson(res, since.isValid() ? m_source.summary(since)
                                          : Answer::error(400, "since must be an ISO 8601 time"));
        });
        m_server.Get("/api/attempts", [this](const Request &req, Response &res) {
            AttemptsQuery q;
            const QString error = attemptsQuery(req, &q);
            sendJson(res, error.isEmpty() ? m_source.attempts(q) : Answer::error(400, error));
        });
        m_server.Get(R"(/api/units/(.+))", [this](const Request &req, Response &res) {
            const QString serial = QString::fromStdString(req.matches[1]).trimmed();
            sendJson(res, m_source.unit(serial));
        });
        m_server.Get("/api/events", [this](const Request &, Response &res) { events(res); });
    }

    // Server-Sent Events: each open page holds a pool thread that waits on the hub.
    void events(httplib::Response &res)
    {
        if (++m_streams > kMaxStreams) {
            --m_streams;
            res.set_header("Retry-After", "10");
            sendJson(res, Answer::error(503, QStringLiteral("too many open pages")));
            return;
        }
        auto place = std::make_shared<StreamPlace>(m_streams);
        quint64 after = m_hub.last();
        bool first = true;
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, place, after, first](size_t, httplib::DataSink &sink) mutable {
                std::string out;
                if (first)
                    out = "retry: 2000\n\n";
                first = false;
                std::vector<Event> events;
                if (out.empty() && !m_hub.wait(&after, kPingMs, &events)) {
                    sink.done();
                    return true;
                }
                for (const Event &e : events)
                    out += "event: " + e.name.toStdString() + "\ndata: " + e.data.toStdString() +
                           "\n\n";
                if (out.empty())
                    out = ": ping\n\n";
                return sink.write(out.data(), out.size());
            });
    }

    Listener m_server;
    Source &m_source;
    Hub &m_hub;
    std::atomic<int> m_streams{0};
    std::thread m_thread;
    int m_port = 0;
};

HttpServer::HttpServer(Source &source, Hub &hub, const PageFiles &page)
    : d(std::make_unique<Impl>(source, hub, page))
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::bind(const QString &address, int port, QString *error)
{
    const std::string host = address.toStdString();
    d->m_port = port == 0 ? d->m_server.bind_to_any_port(host)
                          : (d->m_server.bind_to_port(host, port) ? port : -1);
    if (d->m_port > 0) {
        d->m_server.widenBacklog();
        return true;
    }
    *error = QStringLiteral("cannot listen on %1 port %2 (in use, or not an address of this "
                            "machine)")
                 .arg(address)
                 .arg(port);
    return false;
}

int HttpServer::port() const
{
    return d->m_port;
}

void HttpServer::start()
{
    d->m_thread = std::thread([this] { d->m_server.listen_after_bind(); });
}

void HttpServer::stop()
{
    if (!d->m_thread.joinable())
        return;
    d->m_server.stopping = true;
    d->m_hub.close();
    d->m_server.stop();
    d->m_thread.join();
}

PageFiles builtInPage()
{
    initPageResource();
    const auto read = [](const char *path) {
        QFile f(QString::fromLatin1(path));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
    };
    return PageFiles{read(":/page/index.html"), read(":/page/page.css"), read(":/page/page.js")};
}

} // namespace flash::serve
