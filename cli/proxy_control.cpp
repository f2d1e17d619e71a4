#include "cli/proxy_control.h"

#include "link/rules_control.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <string>

using namespace veltrano;

namespace {

void Answer(QTcpSocket* socket, const ControlAnswer& answer)
{
    const std::string wire = FormatControlAnswer(answer);
    socket->write(wire.data(), static_cast<qint64>(wire.size()));
    socket->disconnectFromHost();
}

} // namespace

ProxyControl::ProxyControl(FaultEngine& engine) : m_engine(engine), m_server(std::make_unique<QTcpServer>())
{}

ProxyControl::~ProxyControl() = default;

Result<std::unique_ptr<ProxyControl>> ProxyControl::Start(std::uint16_t port, FaultEngine& engine)
{
    std::unique_ptr<ProxyControl> control(new ProxyControl(engine));
    if (!control->m_server->listen(QHostAddress::LocalHost, port))
        return Failure("cannot serve the control API on 127.0.0.1:" + std::to_string(port) + ": " +
                       control->m_server->errorString().toStdString());
    control->m_server->setMaxPendingConnections(MAX_CONNECTIONS);
    QObject::connect(control->m_server.get(), &QTcpServer::newConnection, control.get(),
                     &ProxyControl::OnConnection);
    return control;
}

Endpoint ProxyControl::Address() const
{
    return {LOOPBACK_ADDRESS, m_server->serverPort()};
}

void ProxyControl::OnConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (m_open >= MAX_CONNECTIONS) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_open;
        socket->setReadBufferSize(MAX_CONTROL_REQUEST);
        auto* timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        QObject::connect(timeout, &QTimer::timeout, socket, [socket] { Answer(socket, {408, {}}); });
        timeout->start(REQUEST_TIMEOUT_MS);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadable(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_open;
            m_received.erase(socket);
            socket->deleteLater();
        });
    }
}

void ProxyControl::OnReadable(QTcpSocket* socket)
{
    std::string& received = m_received[socket];
    const QByteArray bytes = socket->read(static_cast<qint64>(MAX_CONTROL_REQUEST + 1 - received.size()));
    received.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const ControlReading reading = ReadControlRequest(received);
    if (!reading.request && !reading.refusal)
        return;
    Answer(socket,
           reading.refusal ? *reading.refusal : AnswerControlRequest(m_engine, *reading.request, ORIGIN));
    m_received.erase(socket);
    // Whatever else it sends is not read.
    QObject::disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
}
