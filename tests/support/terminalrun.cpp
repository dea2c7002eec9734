#include "terminalrun.h"

#include "flashrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// Polls the child's end this often while the loop runs.
constexpr int kReapPollMs = 20;

[[noreturn]] void execProgram(const QStringList &arguments, const QByteArray &term,
                              const QByteArray &dir)
{
    if (!dir.isEmpty() && ::chdir(dir.constData()) != 0)
        ::_exit(127);
    ::setenv("TERM", term.constData(), 1);
    ::unsetenv("NO_COLOR");
    std::vector<QByteArray> bytes{QFile::encodeName(flashProgram())};
    for (const QString &a : arguments)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

TerminalRun::TerminalRun(const QStringList &arguments, int columns, const QByteArray &term,
                         QObject *parent)
    : QObject(parent), m_arguments(arguments), m_columns(columns), m_term(term)
{
}

TerminalRun::~TerminalRun()
{
    if (m_pid > 0 && m_exitCode < 0) {
        ::kill(pid_t(m_pid), SIGKILL);
        reap(true);
    }
    if (m_master >= 0)
        ::close(m_master);
}

bool TerminalRun::start()
{
    winsize size{};
    size.ws_col = static_cast<unsigned short>(m_columns);
    size.ws_row = 40;
    int master = -1;
    const QByteArray dir = QFile::encodeName(m_workingDirectory);
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0)
        return false;
    if (pid == 0)
        execProgram(m_arguments, m_term, dir);
    m_pid = pid;
    m_master = master;
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminalRun::readMaster);
    return true;
}

void TerminalRun::readMaster()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            m_out.append(buffer, int(n));
            continue;
        }
        // EIO: the child closed its side; stop listening, the rest was read.
        if (n == 0 || errno != EAGAIN)
            m_notifier->setEnabled(false);
        return;
    }
}

bool TerminalRun::reap(bool block)
{
    int status = 0;
    if (::waitpid(pid_t(m_pid), &status, block ? 0 : WNOHANG) != pid_t(m_pid))
        return false;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool TerminalRun::wait(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_exitCode < 0 && clock.elapsed() < timeoutMs) {
        QTest::qWait(kReapPollMs);
        reap(false);
    }
    if (m_exitCode < 0) {
        ::kill(pid_t(m_pid), SIGKILL);
        reap(true);
        return false;
    }
    readMaster();
    return true;
}

QByteArray TerminalRun::lastFrame() const
{
    const QByteArray clear("\r\x1b[J");
    const int at = m_out.lastIndexOf(clear);
    QByteArray frame = at < 0 ? m_out : m_out.mid(at + clear.size());
    return frame.replace("\r\n", "\n");
}
