#include "cli/signals.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

namespace {

int g_pair[2] = {-1, -1};

extern "C" void WriteSignal(int signal)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(g_pair[0], &byte, 1);
    errno = saved;
}

// `handler` for SIGINT and SIGTERM, and SIGHUP when asked; false when the system refuses it.
bool SetHandlers(void (*handler)(int), bool hangup)
{
    struct sigaction action
    {
    };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           (!hangup || ::sigaction(SIGHUP, &action, nullptr) == 0);
}

} // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> received) : m_received(std::move(received)) {}

SignalWatcher::~SignalWatcher()
{
    SetHandlers(SIG_DFL, m_hangup);
}

bool SignalWatcher::Install(bool hangup)
{
    if (g_pair[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pair) != 0)
        return false;
    m_notifier = std::make_unique<QSocketNotifier>(g_pair[1], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] {
        unsigned char byte = 0;
        while (::read(g_pair[1], &byte, 1) == 1)
            m_received(byte);
    });
    m_hangup = hangup;
    return SetHandlers(WriteSignal, hangup);
}
