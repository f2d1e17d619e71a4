#include "net/session_sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <span>
#include <utility>
#include <vector>

namespace {

// A socket on a free port of 127.0.0.1, and where it is.
std::pair<int, veltrano::Endpoint> BoundPeer()
{
    const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(peer, reinterpret_cast<sockaddr*>(&address), &size);
    return {peer, {veltrano::LOOPBACK_ADDRESS, ntohs(address.sin_port)}};
}

} // namespace

// One drain reads what waits on every socket, however many datagrams each holds: a wake-up may be the only
// one, and what stays in a socket's buffer is lost once the next burst fills it.
TEST(SessionSockets, OneDrainReadsEverySocketEmpty)
{
    struct Row
    {
        const char* name;
        int sockets;
        int datagramsEach;
    };
    const Row rows[] = {{"one busy socket", 1, 300}, {"a few busy ones", 3, 100}, {"many quiet ones", 40, 2}};
    for (const Row& row : rows) {
        const auto [peer, peerAt] = BoundPeer();

        SessionSockets sockets;
        ASSERT_TRUE(sockets.Init());
        for (int slot = 0; slot < row.sockets; ++slot) {
            ASSERT_TRUE(sockets.Open(static_cast<std::uint32_t>(slot), 0, peerAt, 1 << 20));
            const veltrano::Endpoint local = sockets.LocalAddress(static_cast<std::uint32_t>(slot));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(local.address);
            to.sin_port = htons(local.port);
            const std::array<std::uint8_t, 8> datagram{8, 0, 1, 0, 0, 0, 0x81, 0x8A};
            for (int i = 0; i < row.datagramsEach; ++i)
                ::sendto(peer, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
        }
        const std::size_t read = sockets.Drain([](std::uint32_t, auto, std::size_t) {}, 1'000'000);
        EXPECT_EQ(read, static_cast<std::size_t>(row.sockets * row.datagramsEach)) << row.name;
        ::close(peer);
    }
}

// A batch reaches the peer whole and in order; a closed slot refuses each datagram, named.
TEST(SessionSockets, SendEachSendsInOrderAndRefusesOnAClosedSlot)
{
    const auto [peer, peerAt] = BoundPeer();
    SessionSockets sockets;
    ASSERT_TRUE(sockets.Init());
    ASSERT_TRUE(sockets.Open(0, 0, peerAt, 1 << 20));
    std::vector<std::vector<std::uint8_t>> data;
    for (std::uint8_t i = 0; i < 100; ++i)
        data.push_back({i, static_cast<std::uint8_t>(i + 1)});
    const std::vector<std::span<const std::uint8_t>> datagrams(data.begin(), data.end());
    for (const std::uint32_t slot : {0U, 7U}) {
        std::vector<int> errors;
        sockets.SendEach(slot, datagrams, [&](std::size_t, int error) { errors.push_back(error); });
        EXPECT_EQ(errors, std::vector<int>(data.size(), slot == 0 ? 0 : EBADF)) << slot;
    }
    for (std::uint8_t i = 0; i < 100; ++i) {
        std::array<std::uint8_t, 4> got{};
        ASSERT_EQ(::recv(peer, got.data(), got.size(), MSG_DONTWAIT), 2); // all queued on loopback by now
        EXPECT_EQ(got[0], i);
    }
    ::close(peer);
}
