#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// SIGINT and SIGTERM handed to `received` from the event loop: the handler only writes the signal's number
// to a socket pair, and the loop reads it from there.
class SignalWatcher final
{
public:
    explicit SignalWatcher(std::function<void(int signal)> received);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // False when the pair or the handlers cannot be set up. With `hangup`, SIGHUP is watched too.
    bool Install(bool hangup = false);

private:
    std::function<void(int)> m_received;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_hangup{false};
};
