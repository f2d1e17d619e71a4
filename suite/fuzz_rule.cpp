#include "suite/fuzz_rule.h"

#include "protocol/frame.h"

#include <fmt/format.h>

#include <algorithm>
#include <variant>

namespace veltrano {

namespace {

std::string Hex(std::span<const std::uint8_t> bytes)
{
    return bytes.empty() ? std::string("an empty datagram") : FormatBytesHex(bytes);
}

} // namespace

void FuzzAnswerRule::Sent(const Endpoint& target, std::span<const std::uint8_t> datagram,
                          std::uint64_t caseIndex, MonoTime now)
{
    Remembered& slot = m_sent[m_next % REMEMBERED];
    slot = {m_next, AckPairingKey(datagram), caseIndex, std::nullopt};
    const auto answer = AcknowledgementFor(datagram);
    if (const auto* ack = std::get_if<AckFrame>(&answer); ack != nullptr) {
        slot.expected = *ack;
        m_matcher.Sent(target, datagram, m_next, now);
    }
    ++m_next;
}

std::uint64_t FuzzAnswerRule::CaseOf(std::uint64_t key) const
{
    const std::uint64_t oldest = m_next > REMEMBERED ? m_next - REMEMBERED : 0;
    for (std::uint64_t serial = m_next; serial > oldest; --serial) {
        if (m_sent[(serial - 1) % REMEMBERED].key == key)
            return m_sent[(serial - 1) % REMEMBERED].caseIndex;
    }
    return m_next == 0 ? 0 : m_sent[(m_next - 1) % REMEMBERED].caseIndex;
}

std::optional<FuzzAnswerRule::Broken>
FuzzAnswerRule::Received(const Endpoint& from, std::span<const std::uint8_t> datagram, MonoTime now)
{
    const auto match = m_matcher.Received(from, datagram, now);
    const std::uint64_t key = AckPairingKey(datagram);
    switch (match.outcome) {
    case AckMatcher::Outcome::Answered: {
        const Remembered& sent = m_sent[match.id % REMEMBERED];
        if (sent.serial != match.id)
            return std::nullopt; // a frame lost long ago, its slot taken since: nothing to judge it by
        if (sent.expected && std::ranges::equal(*sent.expected, datagram))
            return std::nullopt;
        return Broken{sent.caseIndex, sent.expected ? Hex(*sent.expected) : "no answer", Hex(datagram)};
    }
    case AckMatcher::Outcome::Late:
        return std::nullopt; // its frame was pushed out of memory: nothing to judge it by
    case AckMatcher::Outcome::BadChecksum: {
        const Remembered& sent = m_sent[match.id % REMEMBERED];
        if (sent.serial != match.id)
            return Broken{CaseOf(key), "an acknowledgement with its checksum right", Hex(datagram)};
        return Broken{sent.caseIndex, sent.expected ? Hex(*sent.expected) : "no answer",
                      Hex(datagram) + " (wrong checksum)"};
    }
    case AckMatcher::Outcome::Duplicate:
        return Broken{CaseOf(key), "one answer per frame", Hex(datagram) + " once more"};
    case AckMatcher::Outcome::Unmatched:
        return Broken{CaseOf(key), "no answer", fmt::format("{} from {}", Hex(datagram), from.ToString())};
    case AckMatcher::Outcome::NotAck:
        return Broken{CaseOf(key), "an acknowledgement, command bit 7 set", Hex(datagram)};
    }
    return std::nullopt;
}

} // namespace veltrano
