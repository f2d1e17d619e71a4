#include "cli/test_centre.h"

#include "cli/common_options.h"
#include "cli/command_run.h"
#include "cli/test_panel.h"
#include "cli/verdict.h"
#include "link/ack_matcher.h"
#include "link/round_trips.h"
#include "net/host_port.h"
#include "protocol/acknowledgement.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <QObject>
#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

namespace {

constexpr std::string_view CASE_IDS[] = {
    "ack-every-event",  "ack-debug-frame",    "ack-wrong-checksum",   "ack-short-frame",
    "ack-length-zero",  "no-answer-to-ack",   "no-answer-empty",      "no-answer-oversize",
    "burst-in-order",   "reply-to-each-sender", "duplicate-answered", "load",
};

// Load frames go out on this tick, as many as the rate owes by then.
constexpr std::chrono::milliseconds LOAD_TICK{1};
constexpr int PROBE_FRAMES = 5;

struct CentreTestOptions
{
    std::string to;
    int timeoutMs{1000};
    std::vector<std::string> only;
    std::vector<std::string> skip;
    double loadRate{1000};
    double loadSeconds{5};
    std::string junit;
    OutputOptions output;
};

using Bytes = std::vector<std::uint8_t>;

std::string Hex(std::span<const std::uint8_t> bytes)
{
    return bytes.empty() ? std::string("an empty datagram") : FormatBytesHex(bytes);
}

// The centre under test, driven one case at a time: each case sends its datagrams, gathers what comes
// back until it has all it waits for or the timeout passes, then judges.
class CentreSuite final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CentreSuite)

public:
    CentreSuite(const CentreTestOptions& options, const Endpoint& target, std::vector<bool> chosen, CommandRun& run)
        : m_options(options), m_target(target), m_chosen(std::move(chosen)), m_run(run),
          m_report("test centre " + target.ToString())
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &CentreSuite::Judge);
        m_loadTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_loadTimer, &QTimer::timeout, this, &CentreSuite::LoadTick);
        m_run.OnSummary([this](LineOutput& output, int) {
            const auto fields = VerdictSummary(m_report);
            output.Summary("test centre", fields);
        });
    }

    Status Start()
    {
        for (std::size_t i = 0; i < m_sockets.size(); ++i) {
            BatchUdpSocket::Options options;
            auto socket = m_run.OpenSocket(options, [this, i](BatchUdpSocket& s) { OnReadable(i, s); });
            if (!socket)
                return Failure(socket.error());
            m_sockets[i] = *socket;
        }
        // The probe: a centre that answers nothing at all cannot be judged by any case. Several frames, so
        // that a centre that loses some is still heard.
        std::vector<Outgoing> probe;
        for (int i = 0; i < PROBE_FRAMES; ++i)
            probe.emplace_back(Fresh(0));
        Exchange(std::move(probe), true, [this] {
            m_alive = !m_arrivals.empty();
            NextCase();
        });
        return {};
    }

private:
    struct Outgoing
    {
        explicit Outgoing(Bytes frame, std::size_t socket = 0) : bytes(std::move(frame)), socket(socket) {}
        Bytes bytes;
        std::size_t socket{0};
        std::optional<AckFrame> expected; // when the centre rule answers it
        std::string name;
        // What came for it: the acknowledgement paired by the matcher, or one with a wrong checksum.
        std::optional<Bytes> got;
        std::int64_t rttUs{0};
    };

    struct Arrival
    {
        std::size_t socket{0};
        Endpoint from;
        Bytes bytes;
        MonoTime at;
    };

    // A frame of catalogue row `row` for a device no case has used yet, zone 1 for the zone events.
    Bytes Fresh(int row, StatusBytes status = DEFAULT_STATUS)
    {
        const std::uint32_t n = m_nextAddress++ % (ADDRESS_NUMBERS * ADDRESS_NUMBERS);
        const auto built = BuildEvent(row, status, static_cast<std::uint8_t>(n / ADDRESS_NUMBERS),
                                      static_cast<std::uint8_t>(n % ADDRESS_NUMBERS), 1);
        const auto frame = std::get<BuiltEvent>(built).Frame();
        return {frame.begin(), frame.end()};
    }

    // The window's debug frame for a fresh device: length 18, command 0x3E, zeros, a final 0x00.
    Bytes FreshDebug()
    {
        Bytes frame = Fresh(0);
        frame.resize(DEBUG_FRAME_LENGTH, 0);
        frame[FRAME_LENGTH] = DEBUG_FRAME_LENGTH;
        frame[FRAME_COMMAND] = CMD_DEBUG;
        return frame;
    }

    void Exchange(std::vector<Outgoing> frames, bool untilAnswered, std::function<void()> judge)
    {
        m_out = std::move(frames);
        m_arrivals.clear();
        m_untilAnswered = untilAnswered;
        m_judge = std::move(judge);
        m_matcher.Clear();
        std::vector<BatchUdpSocket::Outgoing> datagrams;
        const MonoTime now = MonoClock::now();
        m_sentAt = now;
        for (std::size_t i = 0; i < m_out.size(); ++i) {
            Outgoing& out = m_out[i];
            const auto answer = AcknowledgementFor(out.bytes);
            if (const auto* ack = std::get_if<AckFrame>(&answer); ack != nullptr)
                out.expected = *ack;
            if (out.expected)
                m_matcher.Sent(m_target, out.bytes, i, now);
        }
        // Frames of one socket go in one call, so a burst leaves together.
        for (std::size_t s = 0; s < m_sockets.size(); ++s) {
            datagrams.clear();
            for (const Outgoing& out : m_out) {
                if (out.socket == s)
                    datagrams.push_back({m_target, 0, out.bytes});
            }
            if (!SendAll(*m_sockets[s], datagrams))
                return;
        }
        m_timer.start(m_options.timeoutMs);
    }

    bool SendAll(BatchUdpSocket& socket, std::span<const BatchUdpSocket::Outgoing> datagrams)
    {
        while (!datagrams.empty()) {
            const auto outcome = socket.Send(datagrams);
            if (outcome.error != 0 && outcome.error != EAGAIN && outcome.error != EWOULDBLOCK) {
                PrintError(fmt::format("cannot send to {}: {}", m_target.ToString(), std::strerror(outcome.error)));
                m_run.Finish(EXIT_SOCKET);
                return false;
            }
            datagrams = datagrams.subspan(outcome.sent);
        }
        return true;
    }

    bool AllAnswered() const
    {
        return std::all_of(m_out.begin(), m_out.end(),
                           [](const Outgoing& o) { return !o.expected || o.got.has_value(); });
    }

    void OnReadable(std::size_t index, BatchUdpSocket& socket)
    {
        for (;;) {
            const auto batch = socket.Receive();
            if (!batch || batch->empty())
                break;
            const MonoTime now = MonoClock::now();
            for (const auto& datagram : *batch) {
                const auto match = m_matcher.Received(datagram.from, datagram.bytes, now);
                if (m_loading) {
                    if (match.outcome == AckMatcher::Outcome::Answered)
                        m_loadTrips.Add(match.rtt.count());
                    continue;
                }
                m_arrivals.push_back({index, datagram.from, {datagram.bytes.begin(), datagram.bytes.end()}, now});
                if ((match.outcome == AckMatcher::Outcome::Answered ||
                     match.outcome == AckMatcher::Outcome::BadChecksum) &&
                    match.id < m_out.size() && !m_out[match.id].got) {
                    m_out[match.id].got = m_arrivals.back().bytes;
                    // From the send, also for an acknowledgement the matcher did not take.
                    m_out[match.id].rttUs =
                        std::chrono::duration_cast<std::chrono::microseconds>(now - m_sentAt).count();
                }
            }
            if (batch->size() < socket.BatchSize())
                break;
        }
        if (m_loading) {
            if (m_loadSent >= m_loadTotal && m_matcher.Waiting() == 0)
                FinishLoad();
        } else if (m_untilAnswered && m_timer.isActive() && AllAnswered()) {
            m_timer.stop();
            Judge();
        }
    }

    void Judge()
    {
        if (m_loading) {
            FinishLoad();
            return;
        }
        auto judge = std::move(m_judge);
        m_judge = nullptr;
        if (judge)
            judge();
    }

    // The expected acknowledgement against what came for one frame; empty when it came right.
    std::string AckMismatch(const Outgoing& out) const
    {
        const std::string expected = fmt::format("{} from {} within {} ms", Hex(*out.expected),
                                                 m_target.ToString(), m_options.timeoutMs);
        if (out.got && std::ranges::equal(*out.got, *out.expected))
            return {};
        if (out.got)
            return ExpectedGot(expected, fmt::format("{} after {}", Hex(*out.got), FormatMicros(out.rttUs)));
        // Something else that came, as a hint: from another port, or not the acknowledgement.
        for (const Arrival& arrival : m_arrivals) {
            if (SamePairingKey(arrival.bytes, *out.expected))
                return ExpectedGot(expected, fmt::format("{} from {}", Hex(arrival.bytes), arrival.from.ToString()));
        }
        return ExpectedGot(expected, "nothing");
    }

    // Every frame of the exchange answered with exactly its acknowledgement.
    void JudgeAcks(std::string passed)
    {
        std::string first;
        std::string details;
        std::size_t failed = 0;
        std::int64_t maxRtt = 0;
        for (const Outgoing& out : m_out) {
            const std::string mismatch = AckMismatch(out);
            maxRtt = std::max(maxRtt, out.rttUs);
            if (mismatch.empty())
                continue;
            ++failed;
            const std::string line = (out.name.empty() ? Hex(out.bytes) : out.name) + ": " + mismatch;
            if (first.empty())
                first = line;
            details += line + '\n';
        }
        if (failed == 0) {
            Done(Outcome::Passed, fmt::format("{}, rtt max {}", passed, FormatMicros(maxRtt)));
            return;
        }
        if (m_out.size() > 1)
            first = fmt::format("{} of {} frames; {}", failed, m_out.size(), first);
        Done(Outcome::Failed, first, details);
    }

    void JudgeSilence(std::string sent)
    {
        if (m_arrivals.empty()) {
            Done(Outcome::Passed, fmt::format("{}: nothing came back within {} ms", sent, m_options.timeoutMs));
            return;
        }
        const Arrival& arrival = m_arrivals.front();
        Done(Outcome::Failed,
             ExpectedGot(fmt::format("nothing within {} ms after {}", m_options.timeoutMs, sent),
                         fmt::format("{} from {} after {}", Hex(arrival.bytes), arrival.from.ToString(),
                                     FormatMicros(std::chrono::duration_cast<std::chrono::microseconds>(
                                                      arrival.at - m_caseStart)
                                                      .count()))));
    }

    void NextCase()
    {
        while (m_case < std::size(CASE_IDS)) {
            const std::size_t index = m_case;
            m_caseStart = MonoClock::now();
            if (!m_chosen[index]) {
                ++m_case;
                Report({std::string(CASE_IDS[index]), {}, Outcome::Skipped, "not chosen", {}, 0});
                continue;
            }
            if (!m_alive) {
                ++m_case;
                Report({std::string(CASE_IDS[index]), {}, Outcome::Failed,
                        fmt::format("no acknowledgement from {}", m_target.ToString()), {}, 0});
                continue;
            }
            RunCase(CASE_IDS[index]);
            return;
        }
        int code = m_report.ExitCode();
        if (!m_options.junit.empty()) {
            if (auto written = m_report.WriteJunit(m_options.junit); !written) {
                PrintError(written.error());
                code = EXIT_SOCKET;
            }
        }
        m_run.Finish(code);
    }

    void RunCase(std::string_view id)
    {
        if (id == "ack-every-event") {
            std::vector<Outgoing> frames;
            for (int row = 0; row < EVENT_TYPE_COUNT; ++row) {
                frames.emplace_back(Fresh(row));
                frames.back().name = EVENT_CATALOGUE[static_cast<std::size_t>(row)].key;
            }
            Exchange(std::move(frames), true, [this] { JudgeAcks("23 events acknowledged"); });
        } else if (id == "ack-debug-frame") {
            Exchange({Outgoing(FreshDebug())}, true, [this] { JudgeAcks("debug frame acknowledged"); });
        } else if (id == "ack-wrong-checksum") {
            Bytes frame = Fresh(3);
            frame.back() = static_cast<std::uint8_t>(frame.back() ^ 0xFF);
            Exchange({Outgoing(std::move(frame))}, true, [this] { JudgeAcks("answered like a right one"); });
        } else if (id == "ack-short-frame") {
            Bytes frame = Fresh(3);
            frame.resize(5);
            Exchange({Outgoing(std::move(frame))}, true, [this] { JudgeAcks("5 bytes answered, zeros for the rest"); });
        } else if (id == "ack-length-zero") {
            Bytes frame = Fresh(0);
            frame[FRAME_LENGTH] = 0;
            Exchange({Outgoing(std::move(frame))}, true, [this] { JudgeAcks("length byte 0 answered"); });
        } else if (id == "no-answer-to-ack") {
            const auto ack = std::get<AckFrame>(AcknowledgementFor(Fresh(3)));
            Exchange({Outgoing(Bytes(ack.begin(), ack.end()))}, false,
                     [this] { JudgeSilence("an acknowledgement"); });
        } else if (id == "no-answer-empty") {
            Exchange({Outgoing(Bytes{})}, false, [this] { JudgeSilence("an empty datagram"); });
        } else if (id == "no-answer-oversize") {
            Bytes shorter = Fresh(3);
            shorter.resize(FRAME_BUFFER_SIZE + 1, 0);
            Bytes longer = Fresh(3);
            longer.resize(2000, 0);
            Exchange({Outgoing(std::move(shorter)), Outgoing(std::move(longer))}, false,
                     [this] { JudgeSilence("129 and 2000 bytes"); });
        } else if (id == "burst-in-order") {
            Exchange({Outgoing(Fresh(3)), Outgoing(Fresh(7)), Outgoing(Fresh(0))}, true, [this] { JudgeBurst(); });
        } else if (id == "reply-to-each-sender") {
            Exchange({Outgoing(Fresh(3), 0), Outgoing(Fresh(3), 1)}, true, [this] { JudgeSenders(); });
        } else if (id == "duplicate-answered") {
            const Bytes frame = Fresh(3);
            Exchange({Outgoing(frame), Outgoing(frame)}, true, [this] { JudgeAcks("answered twice"); });
        } else {
            StartLoad();
        }
    }

    void JudgeBurst()
    {
        std::vector<std::string> got;
        std::vector<std::string> expected;
        for (const Outgoing& out : m_out)
            expected.push_back(Hex(*out.expected));
        for (const Arrival& arrival : m_arrivals)
            got.push_back(Hex(arrival.bytes));
        if (got == expected) {
            Done(Outcome::Passed, "three acknowledgements in the order sent");
            return;
        }
        Done(Outcome::Failed, ExpectedGot(fmt::format("[{}] within {} ms", fmt::join(expected, "], ["), m_options.timeoutMs),
                                          got.empty() ? std::string("nothing")
                                                      : fmt::format("[{}]", fmt::join(got, "], ["))));
    }

    void JudgeSenders()
    {
        for (std::size_t s = 0; s < m_out.size(); ++s) {
            const Outgoing& out = m_out[s];
            const auto answered = std::find_if(m_arrivals.begin(), m_arrivals.end(), [&](const Arrival& a) {
                return a.socket == out.socket && SamePairingKey(a.bytes, *out.expected);
            });
            if (answered != m_arrivals.end() && std::ranges::equal(answered->bytes, *out.expected))
                continue;
            const auto elsewhere = std::find_if(m_arrivals.begin(), m_arrivals.end(), [&](const Arrival& a) {
                return SamePairingKey(a.bytes, *out.expected);
            });
            const auto port = m_sockets[out.socket]->LocalAddress().port;
            Done(Outcome::Failed,
                 ExpectedGot(fmt::format("{} to port {} within {} ms", Hex(*out.expected), port, m_options.timeoutMs),
                             elsewhere == m_arrivals.end()
                                 ? std::string("nothing")
                                 : fmt::format("{} to port {}", Hex(elsewhere->bytes),
                                               m_sockets[elsewhere->socket]->LocalAddress().port)));
            return;
        }
        Done(Outcome::Passed, "each sender answered on its own port");
    }

    void StartLoad()
    {
        m_loading = true;
        m_matcher.Clear();
        m_loadTotal = static_cast<std::uint64_t>(m_options.loadRate * m_options.loadSeconds);
        m_loadSent = 0;
        m_loadStart = MonoClock::now();
        m_countsBefore = m_matcher.Totals();
        m_loadTimer.start(LOAD_TICK);
        LoadTick();
    }

    void LoadTick()
    {
        const double elapsed = std::chrono::duration<double>(MonoClock::now() - m_loadStart).count();
        const auto owed = std::min<std::uint64_t>(
            m_loadTotal, static_cast<std::uint64_t>(elapsed * m_options.loadRate) + 1);
        std::vector<Bytes> frames;
        while (m_loadSent + frames.size() < owed)
            frames.push_back(Fresh(0));
        std::vector<BatchUdpSocket::Outgoing> datagrams;
        const MonoTime now = MonoClock::now();
        for (const Bytes& frame : frames) {
            m_matcher.Sent(m_target, frame, m_loadSent++, now);
            datagrams.push_back({m_target, 0, frame});
        }
        if (!SendAll(*m_sockets[0], datagrams))
            return;
        if (m_loadSent >= m_loadTotal) {
            m_loadTimer.stop();
            // The last frames have the timeout to be answered.
            if (!m_timer.isActive())
                m_timer.start(m_options.timeoutMs);
        }
    }

    void FinishLoad()
    {
        if (!m_loading)
            return;
        m_loading = false;
        m_timer.stop();
        m_loadTimer.stop();
        const auto& totals = m_matcher.Totals();
        const std::uint64_t answered = totals.answered - m_countsBefore.answered;
        const std::uint64_t bad = totals.badChecksum - m_countsBefore.badChecksum;
        const std::string trips = fmt::format("rtt p50 {} p99 {} max {}", FormatMicros(m_loadTrips.Percentile(0.5)),
                                              FormatMicros(m_loadTrips.Percentile(0.99)),
                                              FormatMicros(m_loadTrips.Max()));
        const std::string sent = fmt::format("{} frames at {}/s", m_loadTotal, m_options.loadRate);
        if (answered == m_loadTotal && bad == 0) {
            Done(Outcome::Passed, fmt::format("{}: all answered, {}", sent, trips));
            return;
        }
        Done(Outcome::Failed,
             ExpectedGot(fmt::format("{} acknowledgements within {} ms of the last send", m_loadTotal, m_options.timeoutMs),
                         fmt::format("{} ({} lost, {} with a wrong checksum), {}", answered, m_loadTotal - answered, bad,
                                     trips)));
    }

    void Done(Outcome outcome, std::string message, std::string details = {})
    {
        const double seconds = std::chrono::duration<double>(MonoClock::now() - m_caseStart).count();
        Report({std::string(CASE_IDS[m_case]), {}, outcome, std::move(message), std::move(details), seconds});
        ++m_case;
        // A new case starts from the event loop, not from inside the judging one.
        QTimer::singleShot(0, this, &CentreSuite::NextCase);
    }

    void Report(Verdict verdict)
    {
        AppendVerdictLine(m_run.Output().Buffer(), m_run.Output().Format(), m_report.Add(std::move(verdict)));
        m_run.Output().Written();
        m_run.Output().Flush();
    }

    CentreTestOptions m_options;
    Endpoint m_target;
    std::vector<bool> m_chosen;
    CommandRun& m_run;
    VerdictReport m_report;
    std::array<BatchUdpSocket*, 2> m_sockets{};
    AckMatcher m_matcher{AckMatcher::Limits{1 << 16, {}}};
    QTimer m_timer;
    QTimer m_loadTimer;
    std::vector<Outgoing> m_out;
    std::vector<Arrival> m_arrivals;
    std::function<void()> m_judge;
    bool m_untilAnswered{false};
    bool m_alive{false};
    std::size_t m_case{0};
    MonoTime m_caseStart;
    MonoTime m_sentAt;
    std::uint32_t m_nextAddress{0};
    bool m_loading{false};
    std::uint64_t m_loadTotal{0};
    std::uint64_t m_loadSent{0};
    MonoTime m_loadStart;
    AckMatcher::Counts m_countsBefore;
    RoundTrips m_loadTrips;
};

// Which cases run: every one, or those of --only, less those of --skip; an unknown id is a usage error.
Result<std::vector<bool>> ChooseCases(std::span<const std::string_view> ids, const std::vector<std::string>& only,
                                      const std::vector<std::string>& skip)
{
    for (const auto* list : {&only, &skip}) {
        for (const std::string& id : *list) {
            if (std::find(ids.begin(), ids.end(), id) == ids.end())
                return Failure(fmt::format("unknown case \"{}\" (cases: {})", id, fmt::join(ids, ", ")));
        }
    }
    std::vector<bool> chosen;
    for (std::string_view id : ids) {
        const bool listed = std::find(only.begin(), only.end(), id) != only.end();
        const bool skipped = std::find(skip.begin(), skip.end(), id) != skip.end();
        chosen.push_back((only.empty() || listed) && !skipped);
    }
    return chosen;
}

int RunCentreTest(const CentreTestOptions& options)
{
    auto chosen = ChooseCases(CASE_IDS, options.only, options.skip);
    if (!chosen)
        return UsageError(chosen.error());
    auto target = ResolveHostPort(options.to);
    if (!target)
        return UsageError(target.error());
    CommandRun run("test centre", options.output);
    CentreSuite suite(options, *target, std::move(*chosen), run);
    return run.Exec([&suite] { return suite.Start(); });
}

} // namespace

std::span<const std::string_view> CentreCaseIds()
{
    return CASE_IDS;
}

Result<std::vector<bool>> ChooseTestCases(std::span<const std::string_view> ids, const std::vector<std::string>& only,
                                          const std::vector<std::string>& skip)
{
    return ChooseCases(ids, only, skip);
}

void AddTestCommand(CLI::App& app, CommandRunner& chosen)
{
    auto* test = app.add_subcommand("test", "Judge a centre or a panel by the protocol's rules, case by case");
    test->require_subcommand(1);

    auto options = std::make_shared<CentreTestOptions>();
    auto* centre = test->add_subcommand("centre", "Judge the centre at HOST:PORT by the centre rule");
    centre->add_option("--to", options->to, "The centre under test")
        ->required()
        ->type_name("HOST:PORT")
        ->check(HostPortValidator());
    centre->add_option("--timeout", options->timeoutMs, "How long to wait for an answer, or for none")
        ->capture_default_str()
        ->type_name("MS")
        ->check(CLI::Range(1, 3'600'000));
    centre->add_option("--only", options->only, "Run only these cases")->delimiter(',')->type_name("ID,...");
    centre->add_option("--skip", options->skip, "Leave these cases out")->delimiter(',')->type_name("ID,...");
    centre->add_option("--load-rate", options->loadRate, "Frames per second of the load case")
        ->capture_default_str()
        ->type_name("R")
        ->check(CLI::Range(1.0, 1'000'000.0));
    centre->add_option("--load-seconds", options->loadSeconds, "Length of the load case")
        ->capture_default_str()
        ->type_name("S")
        ->check(CLI::Range(0.001, 3600.0));
    centre->add_option("--junit", options->junit, "Write the verdicts as JUnit XML to FILE")->type_name("FILE");
    AddFormatFlag(centre, options->output.format, "One JSON verdict object per case; a summary object last");
    centre->callback([options, &chosen] { chosen = [options] { return RunCentreTest(*options); }; });

    AddTestPanelCommand(*test, chosen);
}

#include "test_centre.moc"
