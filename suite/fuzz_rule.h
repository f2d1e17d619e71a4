#pragma once

#include "link/ack_matcher.h"
#include "protocol/acknowledgement.h"
#include "protocol/endpoint.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The centre rule applied to every answer a fuzz run hears, as `test centre` applies it: an answer is the
// acknowledgement of a frame sent (bytes 1 to 5 echoed, the command's bit 7 set, its checksum right), from
// the address the frame went to, once per frame; an acknowledgement or an oversize datagram gets none. Lost
// answers are the liveness judge's business, never a broken rule.

namespace veltrano {

class FuzzAnswerRule final
{
public:
    struct Broken
    {
        std::uint64_t caseIndex{0}; // the case the answer answers, or the likeliest one
        std::string expected;
        std::string got;
    };

    // A case's datagram went to `target` at `now`.
    void Sent(const Endpoint& target, std::span<const std::uint8_t> datagram, std::uint64_t caseIndex,
              MonoTime now);
    // A datagram from `from`: nothing when it keeps the rule.
    std::optional<Broken> Received(const Endpoint& from, std::span<const std::uint8_t> datagram,
                                   MonoTime now);

private:
    static constexpr std::size_t REMEMBERED = 1 << 16;
    struct Remembered
    {
        std::uint64_t serial{0}; // which datagram the slot holds now
        std::uint64_t key{0};
        std::uint64_t caseIndex{0};
        std::optional<AckFrame> expected;
    };
    // The case whose datagram has `key`, newest first; else the newest case.
    std::uint64_t CaseOf(std::uint64_t key) const;

    AckMatcher m_matcher{AckMatcher::Limits{REMEMBERED, {}}};
    std::vector<Remembered> m_sent = std::vector<Remembered>(REMEMBERED);
    std::uint64_t m_next{0};
};

} // namespace veltrano
