#include "suite/centre_cases.h"

#include "sim/event_builder.h"
#include "sim/event_catalogue.h"
#include "suite/case_selection.h"

#include <fmt/format.h>

#include <algorithm>
#include <variant>

namespace veltrano {

namespace {

std::string Hex(std::span<const std::uint8_t> bytes)
{
    return bytes.empty() ? std::string("an empty datagram") : FormatBytesHex(bytes);
}

std::int64_t MicrosBetween(MonoTime from, MonoTime to)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

// The expected acknowledgement against what came for one frame; empty when it came right.
std::string AckMismatch(const CentreExchange& exchange, const CentreExchange::Sent& out,
                        const CentreSetting& setting)
{
    const std::string expected = fmt::format("{} from {} within {} ms", Hex(*out.expected),
                                             setting.target.ToString(), setting.timeoutMs);
    if (out.got && std::ranges::equal(*out.got, *out.expected))
        return {};
    if (out.got)
        return ExpectedGot(expected, fmt::format("{} after {}", Hex(*out.got), FormatMicros(out.rttUs)));
    // Something else that came, as a hint: from another port, or not the acknowledgement.
    for (const auto& arrival : exchange.Arrivals()) {
        if (SamePairingKey(arrival.bytes, *out.expected))
            return ExpectedGot(expected,
                               fmt::format("{} from {}", Hex(arrival.bytes), arrival.from.ToString()));
    }
    return ExpectedGot(expected, "nothing");
}

// Every frame of the exchange answered with exactly its acknowledgement.
Judgement JudgeAcks(const CentreExchange& exchange, const CentreSetting& setting, std::string_view passed)
{
    std::string first;
    std::string details;
    std::size_t failed = 0;
    std::int64_t maxRtt = 0;
    for (const auto& out : exchange.Frames()) {
        maxRtt = std::max(maxRtt, out.rttUs);
        const std::string mismatch = AckMismatch(exchange, out, setting);
        if (mismatch.empty())
            continue;
        ++failed;
        const std::string line =
            (out.datagram.name.empty() ? Hex(out.datagram.bytes) : out.datagram.name) + ": " + mismatch;
        if (first.empty())
            first = line;
        details += line + '\n';
    }
    if (failed == 0)
        return Judgement::Pass(fmt::format("{}, rtt max {}", passed, FormatMicros(maxRtt)));
    if (exchange.Frames().size() > 1)
        first = fmt::format("{} of {} frames; {}", failed, exchange.Frames().size(), first);
    return Judgement::Fail(std::move(first), std::move(details));
}

Judgement JudgeSilence(const CentreExchange& exchange, const CentreSetting& setting, std::string_view sent)
{
    if (exchange.Arrivals().empty())
        return Judgement::Pass(fmt::format("{}: nothing came back within {} ms", sent, setting.timeoutMs));
    const auto& arrival = exchange.Arrivals().front();
    return Judgement::Fail(
        ExpectedGot(fmt::format("nothing within {} ms after {}", setting.timeoutMs, sent),
                    fmt::format("{} from {} after {}", Hex(arrival.bytes), arrival.from.ToString(),
                                FormatMicros(MicrosBetween(exchange.SentAt(), arrival.at)))));
}

Judgement JudgeBurst(const CentreExchange& exchange, const CentreSetting& setting)
{
    std::vector<std::string> expected;
    std::vector<std::string> got;
    for (const auto& out : exchange.Frames())
        expected.push_back(Hex(*out.expected));
    for (const auto& arrival : exchange.Arrivals())
        got.push_back(Hex(arrival.bytes));
    if (got == expected)
        return Judgement::Pass("three acknowledgements in the order sent");
    return Judgement::Fail(
        ExpectedGot(fmt::format("[{}] within {} ms", fmt::join(expected, "], ["), setting.timeoutMs),
                    got.empty() ? std::string("nothing") : fmt::format("[{}]", fmt::join(got, "], ["))));
}

// Each frame answered on the socket it left from, with its own acknowledgement.
Judgement JudgeSenders(const CentreExchange& exchange, const CentreSetting& setting)
{
    const auto arrivals = exchange.Arrivals();
    for (const auto& out : exchange.Frames()) {
        const auto keyed = [&out](const CentreExchange::Arrival& a) {
            return SamePairingKey(a.bytes, *out.expected);
        };
        const auto answered = std::ranges::find_if(arrivals, [&](const CentreExchange::Arrival& a) {
            return a.socket == out.datagram.socket && keyed(a);
        });
        if (answered != arrivals.end() && std::ranges::equal(answered->bytes, *out.expected))
            continue;
        const auto elsewhere = std::ranges::find_if(arrivals, keyed);
        return Judgement::Fail(ExpectedGot(
            fmt::format("{} to port {} within {} ms", Hex(*out.expected),
                        setting.ports.at(out.datagram.socket), setting.timeoutMs),
            elsewhere == arrivals.end()
                ? std::string("nothing")
                : fmt::format("{} to port {}", Hex(elsewhere->bytes), setting.ports.at(elsewhere->socket))));
    }
    return Judgement::Pass("each sender answered on its own port");
}

std::vector<CentreDatagram> One(Bytes bytes)
{
    std::vector<CentreDatagram> datagrams;
    datagrams.push_back({std::move(bytes), 0, {}});
    return datagrams;
}

std::vector<CentreDatagram> EveryEvent(FreshFrames& fresh)
{
    std::vector<CentreDatagram> datagrams;
    for (int row = 0; row < EVENT_TYPE_COUNT; ++row)
        datagrams.push_back(
            {fresh.Event(row), 0, std::string(EVENT_CATALOGUE[static_cast<std::size_t>(row)].key)});
    return datagrams;
}

std::vector<CentreDatagram> WrongChecksum(FreshFrames& fresh)
{
    Bytes frame = fresh.Event(3);
    frame.back() = static_cast<std::uint8_t>(frame.back() ^ 0xFF);
    return One(std::move(frame));
}

std::vector<CentreDatagram> ShortFrame(FreshFrames& fresh)
{
    Bytes frame = fresh.Event(3);
    frame.resize(5);
    return One(std::move(frame));
}

std::vector<CentreDatagram> LengthZero(FreshFrames& fresh)
{
    Bytes frame = fresh.Event(0);
    frame[FRAME_LENGTH] = 0;
    return One(std::move(frame));
}

std::vector<CentreDatagram> AnAcknowledgement(FreshFrames& fresh)
{
    const auto ack = std::get<AckFrame>(AcknowledgementFor(fresh.Event(3)));
    return One(Bytes(ack.begin(), ack.end()));
}

std::vector<CentreDatagram> Oversize(FreshFrames& fresh)
{
    Bytes shorter = fresh.Event(3);
    shorter.resize(FRAME_BUFFER_SIZE + 1, 0);
    Bytes longer = fresh.Event(3);
    longer.resize(2000, 0);
    return {{std::move(shorter), 0, {}}, {std::move(longer), 0, {}}};
}

const CentreCase CASES[] = {
    {"ack-every-event", "every event of the catalogue is answered with its acknowledgement",
     CentreWait::UntilAnswered, EveryEvent,
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeAcks(e, s, "23 events acknowledged");
     }},
    {"ack-debug-frame", "the debug frame is answered like an event", CentreWait::UntilAnswered,
     [](FreshFrames& fresh) { return One(fresh.Debug()); },
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeAcks(e, s, "debug frame acknowledged");
     }},
    {"ack-wrong-checksum", "a frame with a wrong checksum is answered like a right one",
     CentreWait::UntilAnswered, WrongChecksum,
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeAcks(e, s, "answered like a right one");
     }},
    {"ack-short-frame", "a short datagram is answered with zeros for the bytes it lacks",
     CentreWait::UntilAnswered, ShortFrame,
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeAcks(e, s, "5 bytes answered, zeros for the rest");
     }},
    {"ack-length-zero", "a frame whose length byte is 0 is answered", CentreWait::UntilAnswered, LengthZero,
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeAcks(e, s, "length byte 0 answered");
     }},
    {"no-answer-to-ack", "an acknowledgement is never answered", CentreWait::Timeout, AnAcknowledgement,
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeSilence(e, s, "an acknowledgement");
     }},
    {"no-answer-empty", "an empty datagram is never answered", CentreWait::Timeout,
     [](FreshFrames&) { return One({}); },
     [](const CentreExchange& e, const CentreSetting& s) { return JudgeSilence(e, s, "an empty datagram"); }},
    {"no-answer-oversize", "a datagram longer than the receive buffer is never answered", CentreWait::Timeout,
     Oversize,
     [](const CentreExchange& e, const CentreSetting& s) {
         return JudgeSilence(e, s, "129 and 2000 bytes");
     }},
    {"burst-in-order", "three frames sent at once are answered in the order sent", CentreWait::UntilAnswered,
     [](FreshFrames& fresh) {
         return std::vector<CentreDatagram>{
             {fresh.Event(3), 0, {}}, {fresh.Event(7), 0, {}}, {fresh.Event(0), 0, {}}};
     },
     JudgeBurst},
    {"reply-to-each-sender", "each sender is answered at its own address and port", CentreWait::UntilAnswered,
     [](FreshFrames& fresh) {
         return std::vector<CentreDatagram>{{fresh.Event(3), 0, {}}, {fresh.Event(3), 1, {}}};
     },
     JudgeSenders},
    {"duplicate-answered", "a frame sent twice is answered twice", CentreWait::UntilAnswered,
     [](FreshFrames& fresh) {
         const Bytes frame = fresh.Event(3);
         return std::vector<CentreDatagram>{{frame, 0, {}}, {frame, 0, {}}};
     },
     [](const CentreExchange& e, const CentreSetting& s) { return JudgeAcks(e, s, "answered twice"); }},
    {"load", "every frame of a steady load is answered", CentreWait::Load, nullptr, nullptr},
};

} // namespace

Bytes FreshFrames::Event(int row, const StatusBytes& status)
{
    const std::uint32_t n = m_next++ % (ADDRESS_NUMBERS * ADDRESS_NUMBERS);
    const auto built = BuildEvent(row, status, static_cast<std::uint8_t>(n / ADDRESS_NUMBERS),
                                  static_cast<std::uint8_t>(n % ADDRESS_NUMBERS), 1);
    const auto frame = std::get<BuiltEvent>(built).Frame();
    return {frame.begin(), frame.end()};
}

Bytes FreshFrames::Debug()
{
    Bytes frame = Event(0);
    frame.resize(DEBUG_FRAME_LENGTH, 0);
    frame[FRAME_LENGTH] = DEBUG_FRAME_LENGTH;
    frame[FRAME_COMMAND] = CMD_DEBUG;
    return frame;
}

void CentreExchange::Begin(std::vector<CentreDatagram> datagrams, const Endpoint& target, MonoTime now)
{
    m_matcher.Clear();
    m_sent.clear();
    m_arrivals.clear();
    m_sentAt = now;
    for (CentreDatagram& datagram : datagrams) {
        Sent sent{std::move(datagram), {}, {}, 0};
        const auto answer = AcknowledgementFor(sent.datagram.bytes);
        if (const auto* ack = std::get_if<AckFrame>(&answer); ack != nullptr) {
            sent.expected = *ack;
            m_matcher.Sent(target, sent.datagram.bytes, m_sent.size(), now);
        }
        m_sent.push_back(std::move(sent));
    }
}

void CentreExchange::Arrived(std::size_t socket, const Endpoint& from, std::span<const std::uint8_t> bytes,
                             MonoTime now)
{
    const auto match = m_matcher.Received(from, bytes, now);
    m_arrivals.push_back({socket, from, {bytes.begin(), bytes.end()}, now});
    const bool paired =
        match.outcome == AckMatcher::Outcome::Answered || match.outcome == AckMatcher::Outcome::BadChecksum;
    if (paired && match.id < m_sent.size() && !m_sent[match.id].got) {
        m_sent[match.id].got = m_arrivals.back().bytes;
        m_sent[match.id].rttUs = MicrosBetween(m_sentAt, now);
    }
}

bool CentreExchange::AllAnswered() const
{
    return std::ranges::all_of(m_sent, [](const Sent& s) { return !s.expected || s.got.has_value(); });
}

CentreLoad::CentreLoad(const CentreSetting& setting, MonoTime start)
    : m_target(setting.target), m_pacer(Pacer::Rate{setting.loadRate}, start), m_total(setting.LoadFrames())
{}

std::vector<Bytes> CentreLoad::Due(MonoTime now, FreshFrames& fresh)
{
    const std::uint64_t due = std::min(m_total - m_sent, m_pacer.MayGo(now, m_sent, m_matcher.Waiting()));
    std::vector<Bytes> frames;
    for (std::uint64_t i = 0; i < due; ++i) {
        frames.push_back(fresh.Event(0));
        m_matcher.Sent(m_target, frames.back(), m_sent++, now);
    }
    return frames;
}

void CentreLoad::Arrived(const Endpoint& from, std::span<const std::uint8_t> bytes, MonoTime now)
{
    const auto match = m_matcher.Received(from, bytes, now);
    if (match.outcome == AckMatcher::Outcome::Answered)
        m_trips.Add(match.rtt.count());
}

Judgement CentreLoad::Judge(const CentreSetting& setting) const
{
    const std::uint64_t answered = m_matcher.Totals().answered;
    const std::uint64_t bad = m_matcher.Totals().badChecksum;
    const std::string trips =
        fmt::format("rtt p50 {} p99 {} max {}", FormatMicros(m_trips.Percentile(0.5)),
                    FormatMicros(m_trips.Percentile(0.99)), FormatMicros(m_trips.Max()));
    const std::string sent = fmt::format("{} frames at {}/s", m_total, setting.loadRate);
    if (answered == m_total && bad == 0)
        return Judgement::Pass(fmt::format("{}: all answered, {}", sent, trips));
    return Judgement::Fail(ExpectedGot(
        fmt::format("{} acknowledgements within {} ms of the last send", m_total, setting.timeoutMs),
        fmt::format("{} ({} lost, {} with a wrong checksum), {}", answered, m_total - answered, bad, trips)));
}

std::span<const CentreCase> CentreCases()
{
    return CASES;
}

Result<std::vector<bool>> ChooseCentreCases(std::span<const std::string> only,
                                            std::span<const std::string> skip)
{
    std::vector<std::string_view> ids;
    for (const CentreCase& row : CASES)
        ids.push_back(row.id);
    return ChooseCases(ids, only, skip);
}

Judgement CentreUnheard(const CentreSetting& setting)
{
    return Judgement::Fail(fmt::format("no acknowledgement from {}", setting.target.ToString()));
}

} // namespace veltrano
