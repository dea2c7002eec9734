#pragma once

#include <QString>

#include <memory>
#include <string>

// The page's HTTP side: cpp-httplib (Debian's libcpp-httplib) parses and answers the requests;
// what reaches it is checked first here, so that an oversized or stalled request costs little
// and holds no thread for long. GET and HEAD only; every answer carries a strict
// Content-Security-Policy and nosniff.
namespace flash::serve {

class Source;
class Hub;

// The page itself, as built into the program.
struct PageFiles
{
    std::string html;
    std::string css;
    std::string script;
};
PageFiles builtInPage();

// Whether a request head, as far as it has arrived, is whole and within the limits: 0 when
// whole and acceptable, 414 (URL too long) or 431 (head too large, too many lines), -1 while
// more must be read.
int judgeHead(const char *data, size_t size);

class HttpServer
{
public:
    HttpServer(Source &source, Hub &hub, const PageFiles &page);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // `port` 0 takes a free one. False with why.
    bool bind(const QString &address, int port, QString *error);
    int port() const;
    // Serves from threads of its own until stop().
    void start();
    void stop();

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace flash::serve
