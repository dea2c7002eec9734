#pragma once

#include "timing.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>
#include <QThread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h> // environ (g++ defines _GNU_SOURCE)
#include <vector>

inline QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// User plus system time of this process, all its threads included.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The protocol's floor for a transfer at the default pace: every frame waits at least one poll for
// its answer, and the end takes the pause before the end byte and the wait after it.
constexpr double kPollSeconds = timing::kReplyPollMs / 1000.0;
constexpr double kEndSeconds = (timing::kBeforeEotMs + timing::kAfterEotMs) / 1000.0;
inline double paceFloorSeconds(int frames)
{
    return frames * kPollSeconds + kEndSeconds;
}

// The standalone simulated device as a process of its own, so its processor time stays out of the
// figures. It prints every byte on the line: the output goes to a file, never to a pipe that nobody
// drains (a full pipe would stop it answering).
class DeviceProcess
{
public:
    explicit DeviceProcess(const QString &logPath) : m_logPath(logPath) {}
    ~DeviceProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
    }

    // The pty path it announces on its first line, empty if it did not start within 5 s.
    QString start(const QStringList &arguments = {})
    {
        m_process.setStandardOutputFile(m_logPath);
        m_process.start(QStringLiteral(PELMAR_DEVICESIM_PATH), arguments);
        const QRegularExpression announce(QStringLiteral("Simulated device on (\\S+)"));
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000) {
            const auto match = announce.match(QString::fromUtf8(log()));
            if (match.hasMatch())
                return match.captured(1);
            QThread::msleep(20);
        }
        return QString();
    }

    qint64 pid() const { return m_process.processId(); }

    QByteArray log() const
    {
        QFile f(m_logPath);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Arrival times in seconds, on the device's clock, of the chunks of `size` bytes it received.
    QList<double> arrivals(int size) const
    {
        QList<double> times;
        const QString marker = QStringLiteral("tool->device %1 bytes").arg(size, 3);
        for (const QByteArray &line : log().split('\n')) {
            const QString text = QString::fromLatin1(line);
            if (text.contains(marker))
                times << text.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty).toDouble();
        }
        return times;
    }

private:
    QString m_logPath;
    QProcess m_process;
};

#ifdef PELMAR_FLASH_PATH
// Starts pelmar-flash directly (not through QProcess), so that wait4 on the pid reports its own
// processor time and peak memory. Standard input is /dev/null; output and errors go to files (an
// empty errorPath leaves standard error as it is). -1 when it cannot be started.
inline pid_t spawnFlash(const QStringList &arguments, const QString &outputPath,
                        const QString &errorPath = QString())
{
    QList<QByteArray> storage{QByteArrayLiteral(PELMAR_FLASH_PATH)};
    for (const QString &a : arguments)
        storage << a.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray out = QFile::encodeName(outputPath);
    const QByteArray err = QFile::encodeName(errorPath);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (!errorPath.isEmpty())
        posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}
#endif
