#include "net/session_sockets.h"
#include "tests/support/loopback_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>
#include <vector>

namespace {

const std::array<std::uint8_t, 8> ANSWER{8, 0, 1, 0, 0, 0, 0x81, 0x8A};

veltrano::Endpoint At(const LoopbackPeer& peer)
{
    return {veltrano::LOOPBACK_ADDRESS, peer.Port()};
}

} // namespace

// One drain reads what waits on every socket, however many datagrams each holds: a wake-up may be the only
// one, and what stays in a socket's buffer is lost once the next burst fills it. A burst sent as one
// segmented run is read as its datagrams, each whole.
TEST(SessionSockets, OneDrainReadsEverySocketEmpty)
{
    struct Row
    {
        const char* name;
        int sockets;
        int datagramsEach;
        bool asOneRun;
    };
    const Row rows[] = {{"one busy socket", 1, 300, false},
                        {"a few busy ones", 3, 100, false},
                        {"many quiet ones", 40, 2, false},
                        {"a burst as one run", 1, 64, true},
                        {"runs on many sockets", 40, 16, true}};
    for (const Row& row : rows) {
        const LoopbackPeer peer;
        SessionSockets sockets;
        ASSERT_TRUE(sockets.Init());
        for (std::uint32_t slot = 0; slot < static_cast<std::uint32_t>(row.sockets); ++slot) {
            ASSERT_TRUE(sockets.Open(slot, 0, At(peer), 1 << 20));
            const std::uint16_t port = sockets.LocalAddress(slot).port;
            std::vector<std::uint8_t> run;
            for (int i = 0; i < row.datagramsEach; ++i) {
                if (row.asOneRun)
                    run.insert(run.end(), ANSWER.begin(), ANSWER.end());
                else
                    peer.SendTo(port, ANSWER);
            }
            if (row.asOneRun) {
                ASSERT_TRUE(peer.SendRunTo(port, run, ANSWER.size()));
            }
        }
        std::size_t whole = 0;
        const std::size_t read = sockets.Drain(
            [&](std::uint32_t, std::span<const std::uint8_t> bytes, std::size_t size) {
                whole += size == ANSWER.size() &&
                         std::equal(bytes.begin(), bytes.end(), ANSWER.begin(), ANSWER.end());
            },
            1'000'000);
        const auto sent = static_cast<std::size_t>(row.sockets * row.datagramsEach);
        EXPECT_EQ(read, sent) << row.name;
        EXPECT_EQ(whole, sent) << row.name;
    }
}

// A batch reaches the peer whole and in order, each datagram its own however runs of one size are carried,
// empty ones too; a closed slot refuses each datagram, named.
TEST(SessionSockets, SendEachSendsInOrderAndRefusesOnAClosedSlot)
{
    const LoopbackPeer peer;
    SessionSockets sockets;
    ASSERT_TRUE(sockets.Init());
    ASSERT_TRUE(sockets.Open(0, 0, At(peer), 1 << 20));
    std::vector<std::vector<std::uint8_t>> data;
    for (std::uint8_t i = 0; i < 100; ++i)
        data.push_back(std::vector<std::uint8_t>(i % 10 == 9 ? 0 : i % 7 == 3 ? 5 : 2, i));
    const std::vector<std::span<const std::uint8_t>> datagrams(data.begin(), data.end());
    for (const std::uint32_t slot : {0U, 7U}) {
        std::vector<int> errors;
        sockets.SendEach(slot, datagrams, [&](std::size_t, int error) { errors.push_back(error); });
        EXPECT_EQ(errors, std::vector<int>(data.size(), slot == 0 ? 0 : EBADF)) << slot;
    }
    for (const auto& sent : data) {
        const auto got = peer.TryReceive(); // all queued on loopback by now
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, sent);
    }
}
