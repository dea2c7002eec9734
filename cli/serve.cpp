#include "serve.h"

#include "interrupt.h"
#include "results.h"
#include "servedb.h"
#include "servefiles.h"
#include "servehttp.h"

#include <QEventLoop>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace flash {

namespace {

void say(FILE *to, const QString &text)
{
    std::fprintf(to, "%s\n", text.toLocal8Bit().constData());
    std::fflush(to);
}

QString urlOf(const QString &address, int port)
{
    const QString host = address.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + address + QLatin1Char(']')
                             : address;
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

// A record path that exists must be a regular file; one that does not is waited for.
QString unusableRecord(const QStringList &files)
{
    for (const QString &file : files) {
        const QFileInfo info(file);
        if (info.exists() && !info.isFile())
            return QStringLiteral("%1: %2").arg(
                file, info.isDir() ? QStringLiteral("a folder, not a record file")
                                   : QStringLiteral("not a regular file"));
    }
    return QString();
}

} // namespace

int runServe(const ServeSettings &settings)
{
    serve::Hub hub;
    std::unique_ptr<serve::Source> source;
    serve::DbSource *db = nullptr;
    serve::FileSource *files = nullptr;
    if (!settings.database.isEmpty()) {
        auto d = std::make_unique<serve::DbSource>(settings.database, hub);
        QString message;
        const int status = d->check(&message);
        if (!message.isEmpty())
            say(stderr, QStringLiteral("pelmar-flash: ") + message);
        if (status != 0)
            return status;
        db = d.get();
        source = std::move(d);
    } else {
        const QString unusable = unusableRecord(settings.files);
        if (!unusable.isEmpty()) {
            say(stderr, QStringLiteral("pelmar-flash: ") + unusable);
            return kUsageStatus;
        }
        auto f = std::make_unique<serve::FileSource>(settings.files, hub);
        files = f.get();
        source = std::move(f);
    }
    serve::HttpServer http(*source, hub, serve::builtInPage());
    QString error;
    if (!http.bind(settings.address, settings.port, &error)) {
        say(stderr, QStringLiteral("pelmar-flash: ") + error);
        return kUsageStatus;
    }
    if (files)
        files->start();
    if (db)
        db->start();
    http.start();
    say(stdout, QStringLiteral("serving %1 (read-only; Ctrl+C stops)")
                    .arg(urlOf(settings.address, http.port())));
    QEventLoop loop;
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interruptRequested, &loop, &QEventLoop::quit);
    loop.exec();
    http.stop();
    if (db)
        db->stop();
    say(stdout, QStringLiteral("stopped"));
    return 0;
}

} // namespace flash
