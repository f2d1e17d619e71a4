// Arbitrary datagrams of 0 to 2,000 bytes, one after another, from a loopback socket into a started engine,
// each handled by the real path: event loop, read, list line, acknowledgement. Checks that only datagrams of
// 1 to 128 bytes whose byte 6 is below 0x80 are answered, exactly once, with the acknowledgement's rules.
#include "engine/host_center_engine.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_console.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

using namespace veltrano;

namespace {

struct Harness
{
    Harness()
    {
        console.keepLines = false;
        engine.OnStart();
        if (engine.ListeningPort() == 0 || !client.IsValid())
            std::abort();
    }

    RecordingConsole console;
    CHostCenterEngine engine{console};
    LoopbackPeer client;
    std::size_t expectedReceived{0};
};

Harness* harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    CUdpEndpoint::PreferPollDispatcher();
    static QCoreApplication app(*argc, *argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Each datagram is a 2-byte little-endian length (mod 2,001) followed by that many bytes.
    std::size_t pos = 0;
    while (pos + 2 <= size) {
        std::size_t length = (data[pos] | (data[pos + 1] << 8)) % 2001;
        pos += 2;
        length = std::min(length, size - pos);
        const std::span<const std::uint8_t> datagram(data + pos, length);
        pos += length;

        const std::size_t receivedBefore = harness->console.receivedCount;
        const std::size_t sentBefore = harness->console.sentCount;
        const bool shown = length >= 1 && length <= FRAME_BUFFER_SIZE;
        // Bytes past a short datagram count as zero, so byte 6 of a datagram of 6 bytes or fewer is 0.
        const bool answered = shown && (length <= 6 || datagram[6] < 0x80);
        harness->expectedReceived = receivedBefore + (shown ? 1 : 0);
        harness->client.SendTo(harness->engine.ListeningPort(), datagram);
        // Wait for the line, and for the answer when one is due.
        for (int i = 0; i < 10000; ++i) {
            QCoreApplication::processEvents();
            if (harness->console.receivedCount == harness->expectedReceived &&
                (!answered || harness->client.WaitReadable(std::chrono::milliseconds(0))))
                break;
        }
        QCoreApplication::processEvents();
        if (harness->console.receivedCount - receivedBefore != (shown ? 1u : 0u))
            std::abort();
        if (harness->console.sentCount - sentBefore != (answered ? 1u : 0u))
            std::abort();
        std::array<std::uint8_t, 256> ack{};
        std::size_t acks = 0;
        int n = 0;
        while ((n = harness->client.TryReceiveInto(ack)) >= 0) {
            ++acks;
            const std::size_t tail = std::min<std::size_t>(length, 6);
            const bool same =
                n == ACK_FRAME_LENGTH && ack[0] == ACK_FRAME_LENGTH &&
                std::equal(datagram.begin() + 1, datagram.begin() + std::max<std::size_t>(tail, 1),
                           ack.begin() + 1) &&
                (ack[FRAME_COMMAND] & ACK_FLAG) != 0 && ack[7] == FrameChecksum(ack);
            if (!same)
                std::abort();
        }
        if (acks != (answered ? 1u : 0u))
            std::abort();
    }
    return 0;
}
