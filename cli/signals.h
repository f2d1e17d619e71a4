#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal: the handler only writes the signal's number to a socket pair, and the
// event loop reads it from there.
class SignalWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalWatcher)

public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    // False when the pair or the handlers cannot be set up.
    bool Install();

Q_SIGNALS:
    void Received(int signal);

private:
    void OnReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
