#pragma once

#include "capture/capture_reader.h"
#include "link/ack_matcher.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace veltrano {

// A frame of the capture to send again, with the answer it had in the capture.
struct CapturedFrame
{
    std::uint64_t number{0}; // in the file, as Wireshark counts
    std::int64_t timeNs{0};
    Endpoint source;
    Endpoint destination;
    // Which of the replay's senders stands in for the source: one per source up to the limit, shared
    // round-robin past it.
    std::size_t sender{0};
    std::array<std::uint8_t, FRAME_BUFFER_SIZE> storage{};
    std::size_t size{0};
    // The acknowledgement from its destination to its source with its key, the oldest frame waiting taking
    // the first.
    std::optional<AckFrame> answer;

    std::span<const std::uint8_t> Bytes() const { return {storage.data(), size}; }
};

// The frames of a capture in order, each once its captured answer is known: frames are read ahead until
// the capture's clock is `lookAhead` past the frame, or `mostAhead` frames wait, so memory stays the same
// however long the file. Acknowledgements in the capture pair through the link layer's matcher, one per
// sender, keyed by the captured endpoints.
class CapturedExchange final
{
public:
    struct Limits
    {
        std::chrono::nanoseconds lookAhead{std::chrono::seconds(1)};
        std::size_t mostAhead{2048};
        std::size_t senders{256};
    };

    CapturedExchange(CaptureReader& reader, Limits limits);
    ~CapturedExchange();
    CapturedExchange(const CapturedExchange&) = delete;
    CapturedExchange& operator=(const CapturedExchange&) = delete;

    // The next frame; nothing at the end; after the last frame, the reader's error if the file was cut.
    [[nodiscard]] Result<std::optional<CapturedFrame>> Next();
    // The frame Next gives next, if it is ready, without reading further; for timing by the capture.
    const CapturedFrame* Peek();

    std::size_t Senders() const { return m_sources.size() < m_limits.senders ? m_sources.size() : m_limits.senders; }
    std::size_t Sources() const { return m_sources.size(); }
    std::uint64_t CapturedAnswers() const { return m_answers; }
    const CaptureReader& Reader() const { return m_reader; }

private:
    bool FrontReady() const;
    void ReadOne();
    void Take(const CaptureDatagram& datagram);
    AckMatcher& MatcherOf(std::size_t sender);

    CaptureReader& m_reader;
    Limits m_limits;
    std::deque<CapturedFrame> m_ahead;
    std::deque<AckMatcher::Ticket> m_tickets; // of m_ahead, in step
    std::uint64_t m_firstId{0};                // id of m_ahead.front()
    std::uint64_t m_nextId{0};
    std::map<Endpoint, std::size_t> m_sources;
    std::vector<std::unique_ptr<AckMatcher>> m_matchers; // by sender, made when first needed
    std::optional<CapturedFrame> m_held; // read, not yet taken
    bool m_ended{false};
    std::optional<std::string> m_error;
    std::uint64_t m_answers{0};
};

} // namespace veltrano
