#include "flashrun.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTimer>

#include <csignal>

QString flashProgram()
{
    return QStringLiteral(PELMAR_FLASH_PATH);
}

FlashRun::FlashRun(const QStringList &arguments, QObject *parent)
    : QObject(parent), m_arguments(arguments)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this,
            [this] { m_out += m_process.readAllStandardOutput(); });
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_err += m_process.readAllStandardError(); });
    connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) {
                m_out += m_process.readAllStandardOutput();
                m_err += m_process.readAllStandardError();
                m_exitCode = code;
                m_crashed = status == QProcess::CrashExit;
                m_finished = true;
            });
}

void FlashRun::start()
{
    if (m_fileSizeBlocks <= 0) {
        m_process.start(flashProgram(), m_arguments);
        return;
    }
    const QString script =
        QStringLiteral("ulimit -f %1 && exec \"$0\" \"$@\"").arg(m_fileSizeBlocks);
    m_process.start(QStringLiteral("/bin/sh"),
                    QStringList{QStringLiteral("-c"), script, flashProgram()} + m_arguments);
}

bool FlashRun::wait(int timeoutMs)
{
    const auto until = [this](int ms) {
        if (m_finished)
            return;
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                &QEventLoop::quit);
        connect(&m_process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                loop.quit();
        });
        limit.start(ms);
        loop.exec();
    };
    until(timeoutMs);
    if (!m_finished && m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        until(5000);
        m_finished = false; // killed: it did not end by itself
    }
    return m_finished && !m_crashed;
}

void FlashRun::interrupt()
{
    sendSignal(SIGINT);
}

void FlashRun::sendSignal(int signal)
{
    if (m_process.processId() > 0)
        ::kill(static_cast<pid_t>(m_process.processId()), signal);
}

QList<QJsonObject> parseJsonLines(const QByteArray &text, bool *ok)
{
    QList<QJsonObject> objects;
    bool allParsed = true;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            allParsed = false;
        else
            objects << doc.object();
    }
    if (ok)
        *ok = allParsed;
    return objects;
}

QList<QJsonObject> FlashRun::jsonLines(bool *ok) const
{
    return parseJsonLines(m_out, ok);
}

QList<QJsonObject> readJsonLines(const QString &path, bool *ok)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return {};
    }
    return parseJsonLines(file.readAll(), ok);
}
