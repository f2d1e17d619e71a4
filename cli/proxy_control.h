#pragma once

#include "link/fault_engine.h"
#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <QObject>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;

// The proxy's rules over HTTP on 127.0.0.1 (veltrano::AnswerControlRequest), in the event loop's thread, so
// the rules change between two datagrams. A request is bounded in size (veltrano::MAX_CONTROL_REQUEST) and
// time (REQUEST_TIMEOUT_MS), and so are the connections open at once.
class ProxyControl final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProxyControl)

public:
    static constexpr int REQUEST_TIMEOUT_MS = 5000;
    static constexpr int MAX_CONNECTIONS = 16;
    // Rules added through the API are marked so.
    static constexpr int ORIGIN = 2;

    // Listening on `port` (0: one the system picks), or why not.
    static veltrano::Result<std::unique_ptr<ProxyControl>> Start(std::uint16_t port,
                                                                 veltrano::FaultEngine& engine);
    ~ProxyControl() override;

    veltrano::Endpoint Address() const;

private:
    explicit ProxyControl(veltrano::FaultEngine& engine);
    void OnConnection();
    void OnReadable(QTcpSocket* socket);

    veltrano::FaultEngine& m_engine;
    std::unique_ptr<QTcpServer> m_server;
    std::unordered_map<QTcpSocket*, std::string> m_received; // what each connection sent so far
    int m_open{0};
};
