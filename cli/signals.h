#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal: the handler only writes the signal's number to a socket pair, and the
// event loop reads it from there.
class CSignalWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CSignalWatcher)

public:
    explicit CSignalWatcher(QObject* parent = nullptr);
    ~CSignalWatcher() override;

    // False when the pair or the handlers cannot be set up.
    bool Install();

Q_SIGNALS:
    void Received(int signal);

private:
    void OnReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
