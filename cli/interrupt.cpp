#include "interrupt.h"

#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace flash {

namespace {

#ifdef Q_OS_UNIX
// The self-pipe: a signal handler may only write to it.
int g_pipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}
#else
std::atomic<bool> g_signalled{false};
// Polled this often where there is no pipe to wake the loop.
constexpr int kPollMs = 100;

void onSignal(int signal)
{
    g_signalled = true;
    std::signal(signal, onSignal);
}
#endif

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (g_pipe[0] < 0 && ::pipe(g_pipe) == 0) {
        for (const int fd : g_pipe) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    if (g_pipe[0] >= 0) {
        m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            char buffer[64];
            while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
            }
            deliver();
        });
        struct sigaction action
        {
        };
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        // A closed terminal or a dropped SSH session stops the run like SIGTERM, unless the
        // run was started to outlive it (nohup ignores SIGHUP).
        struct sigaction hangUp
        {
        };
        if (::sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
            ::sigaction(SIGHUP, &action, nullptr);
            m_hangUpCaught = true;
        }
    }
#else
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    m_poll = new QTimer(this);
    connect(m_poll, &QTimer::timeout, this, [this] {
        if (g_signalled.exchange(false))
            deliver();
    });
    m_poll->start(kPollMs);
#endif
}

InterruptWatcher::~InterruptWatcher()
{
    // Back to the default: a signal after the sessions are gone ends the process at once.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#ifdef Q_OS_UNIX
    if (m_hangUpCaught)
        std::signal(SIGHUP, SIG_DFL);
#endif
}

void InterruptWatcher::deliver()
{
    m_interrupted = true;
    emit interruptRequested();
}

} // namespace flash
