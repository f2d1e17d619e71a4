#pragma once

#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

// One connected UDP socket per slot, all watched through one epoll set, so that tens of thousands of them
// cost one notifier and one wait; a received datagram is read into one shared buffer. The proxy's upstream
// sockets: each gives the centre one stable source for a panel.
class SessionSockets final
{
public:
    SessionSockets();
    ~SessionSockets();
    SessionSockets(const SessionSockets&) = delete;
    SessionSockets& operator=(const SessionSockets&) = delete;

    // The epoll set; the reason when it cannot be made.
    veltrano::Status Init();
    // The set's descriptor, readable while a socket has a datagram waiting.
    int Handle() const { return m_epoll; }

    // Opens slot's socket, from `source` (0: any address) to `peer`, asking for `receiveBuffer` bytes (beyond
    // the system's limit where allowed: a centre answers a session's burst at once); the reason otherwise.
    veltrano::Status Open(std::uint32_t slot, std::uint32_t source, const veltrano::Endpoint& peer,
                          int receiveBuffer);
    void Close(std::uint32_t slot);
    bool IsOpen(std::uint32_t slot) const { return slot < m_fds.size() && m_fds[slot] >= 0; }
    // The slot's local address, as the centre sees it.
    veltrano::Endpoint LocalAddress(std::uint32_t slot) const;
    // Sends the datagrams in order, as few system calls as it takes, a run of one size as one segmented
    // message; `sent(i, error)` for each, error 0 or the system's error number.
    using OnSent = std::function<void(std::size_t index, int error)>;
    void SendEach(std::uint32_t slot, std::span<const std::span<const std::uint8_t>> datagrams,
                  const OnSent& sent);

    // A datagram received: its slot, its bytes (valid for the call) and its real size.
    using OnReceived =
        std::function<void(std::uint32_t slot, std::span<const std::uint8_t> bytes, std::size_t size)>;
    // Reads what waits on the ready sockets, up to `limit` datagrams; the number read. Receive errors (a
    // centre that is not listening) are counted, not reported.
    std::size_t Drain(const OnReceived& received, std::size_t limit);
    std::uint64_t ReceiveErrors() const { return m_receiveErrors; }

private:
    int m_epoll{-1};
    std::vector<int> m_fds; // by slot; -1: closed
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::uint64_t m_receiveErrors{0};
    bool m_segmentation{true}; // cleared where the path refuses segmented messages
};

// Raises the soft limit of open files to `needed` (the hard one too, where allowed); what it is then.
std::uint64_t RaiseOpenFileLimit(std::uint64_t needed);
