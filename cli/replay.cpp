#include "cli/replay.h"

#include "cli/text_inputs.h"
#include "cli/verdict.h"
#include "link/json_line.h"
#include "net/host_port.h"
#include "net/udp_endpoint.h"
#include "protocol/frame.h"

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

using namespace veltrano;

namespace {

constexpr std::uint64_t MOST_PER_WAKE = 1024;
// Frames one socket remembers while they wait; past it the oldest are given up as missing.
constexpr std::size_t MATCHER_CAPACITY = 2048;
constexpr std::size_t LOOK_AHEAD_FRAMES = 2048;
// Failing frames a JUnit case lists; the rest are counted.
constexpr std::uint64_t MOST_DETAIL_LINES = 200;

veltrano::Pacer::Mode PaceOf(const ReplayOptions& options)
{
    if (options.rateMax)
        return veltrano::Pacer::Window{static_cast<std::uint64_t>(options.pace.window)};
    if (options.rate)
        return veltrano::Pacer::Rate{*options.rate};
    return veltrano::Pacer::CapturedGaps{options.speed};
}

int RunReplay(ReplayOptions options)
{
    auto to = ResolveHostPort(options.toText);
    if (!to)
        return UsageError(to.error());
    options.to = *to;
    if (!options.pace.rateText.empty()) {
        options.rate = *ParseRate(options.pace.rateText);
        options.rateMax = !options.rate;
    }
    auto reader = CaptureReader::Open(options.file, options.filter);
    if (!reader)
        return UsageError(reader.error());
    CommandRun run("replay", options.output);
    Replay replay(options, std::move(*reader), run);
    return run.Exec([&replay] { return replay.Start(); });
}

} // namespace

void AddReplayCommand(CLI::App& app, CommandRunner& chosen)
{
    auto options = std::make_shared<ReplayOptions>();
    auto* command = app.add_subcommand("replay", "Send a capture's frames again and judge the answers");
    command->add_option("FILE", options->file, "A pcap or pcapng capture")->required();
    AddToOption(command, options->toText, "The centre under test: an IPv4 address or host, a port");
    auto* speed =
        command->add_option("--speed", options->speed, "Scale of the captured gaps (2: twice as fast)")
            ->capture_default_str()
            ->type_name("X")
            ->check(CLI::Range(0.001, 1'000'000.0));
    AddPaceOptions(command, options->pace, "Frames per second instead of the captured gaps, or max")
        ->excludes(speed);
    command->add_option("--filter", options->filter, "Only the records this BPF expression matches")
        ->type_name("EXPR");
    AddTimeoutOption(command, options->timeoutMs, "How long a frame waits for its answer");
    command->add_option("--sockets", options->sockets, "Most sockets; past them sources share round-robin")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    AddJunitOption(command, options->junitPath, "Write a JUnit test case per captured source to FILE");
    command->add_flag("--expect-same", options->expectSame, "Fail on answers that differ from the capture");
    AddReceiveBufferOption(command, options->receiveBuffer);
    AddOutputOptions(command, options->output);
    command->callback([options, &chosen] { chosen = [options] { return RunReplay(*options); }; });
}

Replay::Replay(const ReplayOptions& options, std::unique_ptr<CaptureReader> reader, CommandRun& run,
               QObject* parent)
    : QObject(parent), m_options(options), m_reader(std::move(reader)),
      m_exchange(*m_reader,
                 {std::chrono::milliseconds(options.timeoutMs), LOOK_AHEAD_FRAMES, options.sockets}),
      m_run(run), m_pacer(PaceOf(options), MonoClock::now()), m_tally(options.expectSame, MOST_DETAIL_LINES)
{
    m_paceTimer.setSingleShot(true);
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_paceTimer, &QTimer::timeout, this, &Replay::OnPace);
    connect(&m_expiryTimer, &QTimer::timeout, this, &Replay::ExpireOld);
    connect(&m_progressTimer, &QTimer::timeout, this, &Replay::ShowProgress);
    m_outgoing.reserve(MOST_PER_WAKE);
    m_outgoingIds.reserve(MOST_PER_WAKE);
    m_run.OnInterrupt([this](int signal) { Finish(128 + signal); });
    m_run.OnSummary([this](LineOutput& output, int exitCode) { WriteSummary(output, exitCode); });
    m_run.OnJunit(options.junitPath, [this](const std::string& path) { return WriteJunit(path); });
}

Replay::~Replay() = default;

Status Replay::Start()
{
    if (::isatty(2) == 1) {
        // The progress line's total: a first pass over the file, one record at a time.
        if (auto counter = CaptureReader::Open(m_options.file, m_options.filter)) {
            for (auto next = (*counter)->Next(); next && *next; next = (*counter)->Next()) {
                if (!IsAcknowledgement((*next)->payload))
                    ++m_total;
                m_lastTimeNs = (*next)->timeNs;
            }
        }
        m_progressTimer.start(1000);
    }
    m_pacer = veltrano::Pacer(PaceOf(m_options), MonoClock::now());
    m_expiryTimer.start(std::clamp(m_options.timeoutMs / 10, 1, 100));
    m_paceTimer.start(0);
    return {};
}

void Replay::OnPace()
{
    if (m_run.Finished())
        return;
    if (!Paced()) {
        if (const std::uint64_t room = m_pacer.MayGo(MonoClock::now(), m_sent, Outstanding()); room > 0)
            SendFrames(room, false);
        CheckDone();
        return;
    }
    SendFrames(MOST_PER_WAKE, true);
    m_run.EndOfBatch();
    const CapturedFrame* next = m_allRead ? nullptr : m_exchange.Peek();
    if (next == nullptr) {
        if (!m_allRead)
            SendFrames(1, false); // reaches the end of the file
        CheckDone();
        return;
    }
    m_paceTimer.start(m_pacer.WaitFrom(MonoClock::now(), m_sent, next->timeNs));
}

Result<Replay::SourceSocket*> Replay::SenderOf(std::size_t index)
{
    if (m_senders.size() <= index)
        m_senders.resize(index + 1);
    SourceSocket& sender = m_senders[index];
    if (sender.socket != nullptr)
        return &sender;
    BatchUdpSocket::Options options;
    // Its own port on the local address; a centre elsewhere is reached from any address.
    options.bindAddress = (m_options.to.address >> 24) == 127 ? LOOPBACK_ADDRESS : 0;
    options.receiveBuffer = m_options.receiveBuffer;
    options.peer = m_options.to;
    CommandRun::Reading reading;
    reading.afterBatches = [this] { CheckDone(); };
    auto socket = m_run.OpenSocket(
        options,
        [this, index](auto batch, const CommandRun::Arrival& arrival) { OnBatch(index, batch, arrival); },
        std::move(reading));
    if (!socket)
        return Failure(socket.error());
    sender.socket = *socket;
    sender.local = sender.socket->LocalAddress();
    sender.matcher = std::make_unique<AckMatcher>(AckMatcher::Limits{MATCHER_CAPACITY, {}});
    return &sender;
}

void Replay::SendFrames(std::uint64_t count, bool onlyDue)
{
    const MonoTime now = MonoClock::now();
    std::uint64_t taken = 0;
    while (taken < count && !m_allRead) {
        // A run of frames of one sender goes in one call.
        m_outgoing.clear();
        m_outgoingIds.clear();
        std::optional<std::size_t> senderIndex;
        while (taken < count) {
            const CapturedFrame* next = m_exchange.Peek();
            if (next == nullptr) {
                if (auto end = m_exchange.Next(); !end)
                    m_cut = end.error();
                m_allRead = true;
                break;
            }
            if (onlyDue && m_pacer.MayGo(now, m_sent + taken, Outstanding(), next->timeNs) == 0)
                break;
            if (senderIndex && *senderIndex != next->sender)
                break;
            senderIndex = next->sender;
            Pending& pending = m_pending.emplace_back();
            pending.frame = std::move(**m_exchange.Next());
            m_outgoingIds.push_back(m_firstPending + m_pending.size() - 1);
            m_outgoing.push_back({m_options.to, 0, pending.frame.Bytes()});
            ++taken;
        }
        if (m_outgoing.empty())
            return;
        auto sender = SenderOf(*senderIndex);
        if (!sender) {
            PrintError(sender.error());
            Finish(EXIT_SOCKET);
            return;
        }
        const std::int64_t wallUs = WallClockUs();
        const MonoTime sentAt = MonoClock::now();
        const auto outcome = (*sender)->socket->Send(m_outgoing);
        for (std::size_t i = 0; i < m_outgoingIds.size(); ++i) {
            const std::uint64_t id = m_outgoingIds[i];
            Pending& pending = m_pending[id - m_firstPending];
            pending.sentAt = sentAt;
            pending.sentUs = wallUs;
            m_tally.Sent(pending.frame.source, sentAt);
            ++m_sent;
            m_sentTimeNs = pending.frame.timeNs;
            if (i < outcome.sent) {
                pending.ticket = (*sender)->matcher->Sent(m_options.to, pending.frame.Bytes(), id, sentAt);
            } else {
                // Not handed over: judged missing, its reason on its line.
                pending.sendError = outcome.error != 0 ? outcome.error : EAGAIN;
                ++m_sendFailed;
                pending.ticket = (*sender)->matcher->Sent(m_options.to, pending.frame.Bytes(), id, sentAt);
                (*sender)->matcher->Forget(pending.ticket);
                Conclude(id, std::nullopt, std::nullopt);
            }
        }
    }
}

void Replay::OnBatch(std::size_t index, std::span<const BatchUdpSocket::Received> batch,
                     const CommandRun::Arrival& arrival)
{
    SourceSocket& sender = m_senders[index];
    for (const auto& datagram : batch) {
        ++m_received;
        FrameRecord record =
            MakeRecord(arrival.wallUs, Direction::In, datagram.from, sender.local, datagram.bytes);
        const AckMatcher::Match match =
            sender.matcher->Received(datagram.from, datagram.bytes, record.decoded, arrival.now);
        record.note = MatchNote(match.outcome);
        if (match.outcome == AckMatcher::Outcome::Answered) {
            record.rttUs = match.rtt.count();
            m_run.Log(record);
            Conclude(match.id, datagram.bytes, match.rtt.count());
            continue;
        }
        if (match.outcome == AckMatcher::Outcome::BadChecksum) {
            // A panel would discard it, but it answers the frame: one against the rule. The frame waits no
            // longer, so the next such answer judges the next frame of the key.
            if (match.id >= m_firstPending && match.id - m_firstPending < m_pending.size()) {
                sender.matcher->Forget(m_pending[match.id - m_firstPending].ticket);
                record.note = "bad checksum";
                m_run.Log(record);
                Conclude(match.id, datagram.bytes, std::nullopt);
                continue;
            }
            record.note = "bad checksum, no frame waiting";
        }
        if (match.outcome == AckMatcher::Outcome::NotAck)
            ++m_unexpected;
        m_run.Log(record);
    }
    if (!Paced() && !m_allRead) {
        if (const std::uint64_t room = m_pacer.MayGo(arrival.now, m_sent, Outstanding()); room > 0)
            SendFrames(room, false);
    }
}

void Replay::ExpireOld()
{
    const MonoTime now = MonoClock::now();
    const auto timeout = std::chrono::milliseconds(m_options.timeoutMs);
    // Sent in order, so the oldest waiting is at the front.
    while (!m_pending.empty() && !m_run.Finished()) {
        Pending& front = m_pending.front();
        if (!front.done && now - front.sentAt < timeout)
            break;
        if (!front.done) {
            m_senders[front.frame.sender].matcher->Forget(front.ticket);
            Conclude(m_firstPending, std::nullopt, std::nullopt);
        }
        while (!m_pending.empty() && m_pending.front().done) {
            m_pending.pop_front();
            ++m_firstPending;
        }
    }
    if (!Paced() && !m_allRead)
        OnPace();
    CheckDone();
}

void Replay::Conclude(std::uint64_t id, std::optional<std::span<const std::uint8_t>> live,
                      std::optional<std::int64_t> rtt)
{
    if (id < m_firstPending || id - m_firstPending >= m_pending.size())
        return;
    Pending& pending = m_pending[id - m_firstPending];
    if (pending.done)
        return;
    pending.done = true;
    ++m_judged;
    const CapturedFrame& frame = pending.frame;
    const FrameVerdict verdict = veltrano::Judge(frame.Bytes(), frame.answer, live);
    ++m_verdicts[static_cast<std::size_t>(verdict)];
    if (live)
        ++m_answered;
    if (rtt)
        m_rtt.Add(*rtt);

    m_hexCaptured = frame.answer ? FormatBytesHex(*frame.answer) : std::string();
    m_hexLive = live ? FormatBytesHex(*live) : std::string();
    std::vector<RecordField> extra{{"verdict", veltrano::VerdictKey(verdict)},
                                   {"capture_frame", frame.number}};
    if (frame.answer)
        extra.push_back({"captured_answer", std::string_view(m_hexCaptured)});
    if (live)
        extra.push_back({"live_answer", std::string_view(m_hexLive)});
    FrameRecord record = MakeRecord(pending.sentUs, Direction::Out, m_options.to,
                                    m_senders[frame.sender].local, frame.Bytes(), pending.sendError);
    record.extra = extra;
    m_run.Log(record);

    m_tally.Judged(frame, verdict, live, MonoClock::now());
    while (!m_pending.empty() && m_pending.front().done) {
        m_pending.pop_front();
        ++m_firstPending;
    }
}

void Replay::CheckDone()
{
    if (m_run.Finished() || !m_allRead || !m_pending.empty())
        return;
    bool failed = m_cut.has_value();
    for (std::size_t i = 0; i < veltrano::FRAME_VERDICT_COUNT; ++i)
        failed = failed ||
                 (m_verdicts[i] > 0 && veltrano::Fails(static_cast<FrameVerdict>(i), m_options.expectSame));
    Finish(failed ? EXIT_EXPECTATION_FAILED : EXIT_OK);
}

void Replay::Finish(int exitCode)
{
    if (m_run.Finished())
        return;
    m_paceTimer.stop();
    m_expiryTimer.stop();
    m_progressTimer.stop();
    if (m_cut)
        PrintError(*m_cut);
    m_run.Finish(exitCode);
}

void Replay::ShowProgress() const
{
    const double left = m_options.rate || m_options.rateMax
                            ? 0
                            : static_cast<double>(m_lastTimeNs - m_sentTimeNs) / 1e9 / m_options.speed;
    std::fprintf(stderr,
                 "replay: sent %llu of %llu, answered %llu, differing %llu, missing %llu, %.0f s left\n",
                 static_cast<unsigned long long>(m_sent), static_cast<unsigned long long>(m_total),
                 static_cast<unsigned long long>(m_answered),
                 static_cast<unsigned long long>(m_verdicts[static_cast<std::size_t>(FrameVerdict::Differs)]),
                 static_cast<unsigned long long>(m_verdicts[static_cast<std::size_t>(FrameVerdict::Missing)]),
                 std::max(left, 0.0));
}

Status Replay::WriteJunit(const std::string& path) const
{
    VerdictReport report("replay");
    for (const auto& [source, tally] : m_tally.Sources()) {
        Verdict verdict;
        verdict.id = source.ToString();
        verdict.classname = "replay." + m_options.file;
        verdict.seconds = std::chrono::duration<double>(tally.last - tally.first).count();
        if (tally.failed == 0) {
            verdict.message = fmt::format("{} frames answered as the rule gives", tally.frames);
        } else {
            verdict.outcome = Outcome::Failed;
            verdict.message =
                fmt::format("{} of {} frames missing or against the rule", tally.failed, tally.frames);
            for (const auto& failure : tally.failures)
                verdict.details +=
                    fmt::format("frame {}: {}: {}\n", failure.frame, veltrano::VerdictKey(failure.verdict),
                                ExpectedGot(failure.wanted, failure.got));
            if (tally.failed > tally.failures.size())
                verdict.details += fmt::format("and {} more\n", tally.failed - tally.failures.size());
        }
        report.Add(std::move(verdict));
    }
    return report.WriteJunit(path);
}

void Replay::WriteSummary(LineOutput& output, int exitCode)
{
    const auto count = [this](FrameVerdict verdict) { return m_verdicts[static_cast<std::size_t>(verdict)]; };
    const SkipCounts& skipped = m_reader->Skipped();
    const auto trips = RoundTripFields(m_rtt);
    std::vector<RecordField> fields{
        {"file", std::string_view(m_options.file)},
        {"records", m_reader->Records()},
        {"frames", m_sent},
        {"captured_answers", m_exchange.CapturedAnswers()},
        {"sources", static_cast<std::uint64_t>(m_exchange.Sources())},
        {"sent", m_sent - m_sendFailed},
        {"answered", m_answered},
        {"same", count(FrameVerdict::Same)},
        {"differs", count(FrameVerdict::Differs)},
        {"missing", count(FrameVerdict::Missing)},
        {"rule_broken", count(FrameVerdict::RuleBroken)},
        {"no_captured_answer", count(FrameVerdict::NoCapturedAnswer)},
        {"skipped", m_reader->SkippedTotal()},
    };
    std::vector<RecordField> tail{trips.begin(), trips.end()};
    tail.push_back({"cut", m_cut.has_value()});
    tail.push_back({"exit", static_cast<std::uint64_t>(exitCode)});

    std::string& out = output.Buffer();
    if (output.Format() == veltrano::OutputFormat::JsonLines) {
        std::string reasons;
        JsonLine byReason(reasons);
        for (std::size_t i = 0; i < SKIP_REASON_COUNT; ++i)
            byReason.Number(SkipKey(static_cast<SkipReason>(i)), skipped[i]);
        byReason.End();
        reasons.pop_back(); // the line's newline: this object sits inside another
        JsonLine line(out);
        line.Text("type", "summary").Text("command", "replay");
        for (const RecordField& field : fields)
            AppendFieldJson(line, field);
        line.Raw("skipped_by_reason", reasons);
        for (const RecordField& field : tail)
            AppendFieldJson(line, field);
        line.End();
        output.Written();
        output.Flush();
        return;
    }
    out += fmt::format("replay of {}: {} records, {} frames from {} sources, {} captured answers\n",
                       m_options.file, m_reader->Records(), m_sent, m_exchange.Sources(),
                       m_exchange.CapturedAnswers());
    out += fmt::format("  {:<20} {:>10}\n", "verdict", "frames");
    for (std::size_t i = 0; i < veltrano::FRAME_VERDICT_COUNT; ++i)
        out += fmt::format("  {:<20} {:>10}\n", veltrano::VerdictKey(static_cast<FrameVerdict>(i)),
                           m_verdicts[i]);
    out += fmt::format("  {:<20} {:>10}\n", "skipped", m_reader->SkippedTotal());
    for (std::size_t i = 0; i < SKIP_REASON_COUNT; ++i)
        if (skipped[i] > 0)
            out += fmt::format("    {:<18} {:>10}\n", SkipKey(static_cast<SkipReason>(i)), skipped[i]);
    output.Written();
    fields.insert(fields.end(), tail.begin(), tail.end());
    output.Summary("replay", fields);
}
