#include "cli/test_panel.h"

#include "cli/common_options.h"
#include "cli/command_run.h"
#include "cli/test_centre.h"
#include "cli/verdict.h"
#include "link/ack_matcher.h"
#include "net/host_port.h"
#include "protocol/acknowledgement.h"
#include "protocol/frame_decoder.h"
#include "suite/frame_checks.h"

#include <QObject>
#include <QTimer>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <deque>
#include <map>
#include <memory>

namespace {

constexpr std::string_view CASE_IDS[] = {"well-formed", "retries", "heartbeat", "status-consistent"};

struct PanelTestOptions
{
    std::uint16_t port{0};
    std::string bind{"0.0.0.0"};
    double durationS{10};
    std::uint64_t frames{0};
    int withhold{0};
    std::string retryWithin{"1-5000"};
    int retryMinMs{1};
    int retryMaxMs{5000};
    int retries{3};
    double heartbeatS{0};
    std::string junit;
    OutputOptions output;
};

using Bytes = std::vector<std::uint8_t>;

Result<std::pair<int, int>> ParseWindow(std::string_view text)
{
    const auto dash = text.find('-');
    int low = -1;
    int high = -1;
    if (dash != std::string_view::npos) {
        const auto a = std::from_chars(text.data(), text.data() + dash, low);
        const auto b = std::from_chars(text.data() + dash + 1, text.data() + text.size(), high);
        if (a.ec == std::errc() && a.ptr == text.data() + dash && b.ec == std::errc() &&
            b.ptr == text.data() + text.size() && low >= 0 && high >= low && high <= 3'600'000)
            return std::pair{low, high};
    }
    return Failure(fmt::format("--retry-within {}: MIN-MAX in milliseconds, MIN not above MAX", text));
}

// A centre that judges the panel talking to it, when the run ends.
class PanelSuite final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PanelSuite)

public:
    PanelSuite(const PanelTestOptions& options, std::uint32_t bindAddress, CommandRun& run)
        : m_options(options), m_bindAddress(bindAddress), m_run(run), m_report("test panel")
    {
        m_endTimer.setSingleShot(true);
        connect(&m_endTimer, &QTimer::timeout, this, &PanelSuite::End);
        m_run.OnInterrupt([this](int) { End(); });
        m_run.OnSummary([this](LineOutput& output, int) {
            const auto fields = VerdictSummary(m_report);
            output.Summary("test panel", fields);
        });
    }

    Status Start()
    {
        BatchUdpSocket::Options options;
        options.bindAddress = m_bindAddress;
        options.port = m_options.port;
        auto socket = m_run.OpenSocket(options, [this](BatchUdpSocket& s) { OnReadable(s); });
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_start = MonoClock::now();
        if (m_options.durationS > 0)
            m_endTimer.start(std::chrono::milliseconds(static_cast<std::int64_t>(m_options.durationS * 1000)));
        std::fprintf(stderr, "test panel listening on %s\n", m_socket->LocalAddress().ToString().c_str());
        return {};
    }

private:
    struct Frame
    {
        Endpoint from;
        Bytes bytes;
        MonoTime at;
        bool answerable{false};
        bool withheld{false};
    };

    std::string At(MonoTime at) const
    {
        return fmt::format("+{:.3f} s", std::chrono::duration<double>(at - m_start).count());
    }
    static double Ms(MonoClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

    void OnReadable(BatchUdpSocket& socket)
    {
        std::deque<AckFrame> acks; // answers point into it: it must not move
        std::vector<BatchUdpSocket::Outgoing> answers;
        for (;;) {
            const auto batch = socket.Receive();
            if (!batch || batch->empty())
                break;
            const MonoTime now = MonoClock::now();
            for (const auto& datagram : *batch) {
                if (m_ended)
                    break;
                Frame frame{datagram.from, {datagram.bytes.begin(), datagram.bytes.end()}, now};
                const auto ack = AcknowledgementFor(datagram.bytes);
                frame.answerable = std::holds_alternative<AckFrame>(ack);
                if (frame.answerable) {
                    int& copies = m_copies[{frame.from, frame.bytes}];
                    frame.withheld = ++copies <= m_options.withhold;
                    if (!frame.withheld && datagram.from.port != 0) {
                        acks.push_back(std::get<AckFrame>(ack));
                        answers.push_back({datagram.from, datagram.replySource, acks.back()});
                    }
                }
                m_frames.push_back(std::move(frame));
                if (m_options.frames != 0 && m_frames.size() >= m_options.frames)
                    m_ended = true;
            }
            if (batch->size() < socket.BatchSize())
                break;
        }
        while (!answers.empty()) {
            const auto outcome = socket.Send(answers);
            if (outcome.sent == 0)
                break;
            answers.erase(answers.begin(), answers.begin() + static_cast<std::ptrdiff_t>(outcome.sent));
        }
        if (m_ended)
            End();
    }

    void End()
    {
        if (m_judged)
            return;
        m_judged = true;
        m_ended = true;
        m_end = MonoClock::now();
        const double seconds = std::chrono::duration<double>(m_end - m_start).count();
        const bool enabled[] = {true, m_options.withhold > 0, m_options.heartbeatS > 0, true};
        const char* disabled[] = {"", "needs --withhold", "needs --heartbeat", ""};
        for (std::size_t i = 0; i < std::size(CASE_IDS); ++i) {
            Verdict verdict{std::string(CASE_IDS[i]), {}, Outcome::Skipped, disabled[i], {}, seconds};
            if (enabled[i] && m_frames.empty()) {
                verdict.outcome = Outcome::Failed;
                verdict.message = "no frame received";
            } else if (enabled[i]) {
                Judge(i, verdict);
            }
            AppendVerdictLine(m_run.Output().Buffer(), m_run.Output().Format(), m_report.Add(std::move(verdict)));
            m_run.Output().Written();
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

    void Judge(std::size_t index, Verdict& verdict)
    {
        std::vector<std::string> failures;
        std::string passed;
        switch (index) {
        case 0:
            JudgeWellFormed(failures);
            passed = fmt::format("{} frames well formed", m_frames.size());
            break;
        case 1:
            JudgeRetries(failures);
            passed = fmt::format("each withheld acknowledgement brought the same bytes again within {}-{} ms, "
                                 "at most {} times",
                                 m_options.retryMinMs, m_options.retryMaxMs, m_options.retries);
            break;
        case 2:
            JudgeHeartbeat(failures);
            passed = fmt::format("every device sent again within {} s", m_options.heartbeatS);
            break;
        default:
            if (!JudgeStatus(failures)) {
                verdict.message = "no device sent two status frames";
                return;
            }
            passed = "every status change is one event of the catalogue";
            break;
        }
        if (failures.empty()) {
            verdict.outcome = Outcome::Passed;
            verdict.message = passed;
            return;
        }
        verdict.outcome = Outcome::Failed;
        verdict.message = failures.size() == 1 ? failures.front()
                                               : fmt::format("{} failures; first: {}", failures.size(), failures.front());
        verdict.details = fmt::format("{}", fmt::join(failures, "\n"));
    }

    void JudgeWellFormed(std::vector<std::string>& failures) const
    {
        for (const Frame& frame : m_frames) {
            if (const auto problem = PanelFrameProblem(frame.bytes))
                failures.push_back(fmt::format("frame at {} from {} ({}): {}", At(frame.at), frame.from.ToString(),
                                               FormatBytesHex(frame.bytes), *problem));
        }
    }

    void JudgeRetries(std::vector<std::string>& failures) const
    {
        // The copies of each distinct frame of a sender, in arrival order.
        std::map<std::pair<Endpoint, Bytes>, std::vector<const Frame*>> copies;
        for (const Frame& frame : m_frames) {
            if (frame.answerable)
                copies[{frame.from, frame.bytes}].push_back(&frame);
        }
        const auto window = fmt::format("{}-{} ms", m_options.retryMinMs, m_options.retryMaxMs);
        for (const auto& [key, list] : copies) {
            const std::string name = FormatBytesHex(key.second);
            for (std::size_t i = 0; i < list.size(); ++i) {
                const Frame& copy = *list[i];
                if (copy.withheld) {
                    if (i + 1 < list.size()) {
                        const double gap = Ms(list[i + 1]->at - copy.at);
                        if (gap < m_options.retryMinMs || gap > m_options.retryMaxMs)
                            failures.push_back(ExpectedGot(
                                fmt::format("{} again within {} of its unanswered copy at {}", name, window, At(copy.at)),
                                fmt::format("it after {:.1f} ms", gap)));
                    } else {
                        const double left = Ms(m_end - copy.at);
                        failures.push_back(ExpectedGot(
                            fmt::format("{} again within {} of its unanswered copy at {}", name, window, At(copy.at)),
                            left >= m_options.retryMaxMs ? std::string("none")
                                                         : fmt::format("none before the run ended {:.1f} ms later", left)));
                    }
                } else if (i > 0 && !list[i - 1]->withheld) {
                    // The one before was answered: this copy should not have come, unless long after.
                    const double gap = Ms(copy.at - list[i - 1]->at);
                    if (gap <= m_options.retryMaxMs)
                        failures.push_back(ExpectedGot(
                            fmt::format("no copy of {} after its acknowledgement at {}", name, At(list[i - 1]->at)),
                            fmt::format("one {:.1f} ms later", gap)));
                }
            }
            if (list.size() > static_cast<std::size_t>(m_options.retries) + 1)
                failures.push_back(ExpectedGot(fmt::format("{} sent at most {} times", name, m_options.retries + 1),
                                               fmt::format("{} copies", list.size())));
        }
    }

    void JudgeHeartbeat(std::vector<std::string>& failures) const
    {
        std::map<std::pair<int, int>, MonoTime> last;
        const auto limit = std::chrono::duration<double>(m_options.heartbeatS);
        auto check = [&](std::pair<int, int> device, MonoTime from, MonoTime to, bool ended) {
            if (to - from > limit)
                failures.push_back(ExpectedGot(
                    fmt::format("comm {} dev {} again within {} s of {}", device.first, device.second,
                                m_options.heartbeatS, At(from)),
                    fmt::format("{} after {:.3f} s", ended ? "nothing until the end" : "a frame",
                                std::chrono::duration<double>(to - from).count())));
        };
        for (const Frame& frame : m_frames) {
            if (frame.bytes.size() <= FRAME_DEVICE_NO)
                continue;
            const std::pair<int, int> device{frame.bytes[FRAME_COMM_NO], frame.bytes[FRAME_DEVICE_NO]};
            if (const auto seen = last.find(device); seen != last.end())
                check(device, seen->second, frame.at, false);
            last[device] = frame.at;
        }
        for (const auto& [device, at] : last)
            check(device, at, m_end, true);
    }

    // False when no device sent two status frames: nothing to judge.
    bool JudgeStatus(std::vector<std::string>& failures) const
    {
        std::map<std::pair<int, int>, StatusBytes> last;
        bool compared = false;
        for (const Frame& frame : m_frames) {
            const DecodedFrame decoded = DecodeFrame(frame.bytes);
            if (decoded.ack || decoded.kind != CommandKind::Status || decoded.statusCount != 4 ||
                !decoded.findings.Empty())
                continue;
            const std::pair<int, int> device{decoded.comm, decoded.device};
            if (const auto seen = last.find(device); seen != last.end()) {
                compared = true;
                if (!StatusStepPossible(seen->second, decoded.status))
                    failures.push_back(ExpectedGot(
                        fmt::format("comm {} dev {} to change by one event from {}", device.first, device.second,
                                    StatusHex(seen->second)),
                        fmt::format("{} at {}", StatusHex(decoded.status), At(frame.at))));
            }
            last[device] = decoded.status;
        }
        return compared;
    }

    PanelTestOptions m_options;
    std::uint32_t m_bindAddress{0};
    CommandRun& m_run;
    VerdictReport m_report;
    BatchUdpSocket* m_socket{nullptr};
    QTimer m_endTimer;
    MonoTime m_start;
    MonoTime m_end;
    std::vector<Frame> m_frames;
    std::map<std::pair<Endpoint, Bytes>, int> m_copies;
    bool m_ended{false};
    bool m_judged{false};
};

int RunPanelTest(PanelTestOptions options)
{
    auto window = ParseWindow(options.retryWithin);
    if (!window)
        return UsageError(window.error());
    options.retryMinMs = window->first;
    options.retryMaxMs = window->second;
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    if (options.durationS <= 0 && options.frames == 0)
        return UsageError("test panel needs --duration or --frames to end");
    CommandRun run("test panel", options.output);
    PanelSuite suite(options, *address, run);
    return run.Exec([&suite] { return suite.Start(); });
}

} // namespace

void AddTestPanelCommand(CLI::App& test, CommandRunner& chosen)
{
    auto options = std::make_shared<PanelTestOptions>();
    auto* panel = test.add_subcommand("panel", "Listen as a centre and judge the panel that talks to it");
    panel->add_option("--port", options->port, "UDP port to listen on")
        ->required()
        ->type_name("P")
        ->check(CLI::Range(1, 65535));
    panel->add_option("--bind", options->bind, "Local address to listen on")->capture_default_str()->type_name("ADDR");
    auto* duration = panel->add_option("--duration", options->durationS, "Judge after S seconds")
                         ->capture_default_str()
                         ->type_name("S")
                         ->check(CLI::Range(0.001, 86'400.0));
    panel->add_option("--frames", options->frames, "Judge after N frames (instead of --duration)")
        ->type_name("N")
        ->check(CLI::PositiveNumber)
        ->excludes(duration)
        ->each([options](const std::string&) { options->durationS = 0; });
    panel->add_option("--withhold", options->withhold, "Leave the first K copies of each frame unanswered")
        ->type_name("K")
        ->check(CLI::Range(0, 1000));
    panel->add_option("--retry-within", options->retryWithin, "When a copy must follow an unanswered one")
        ->capture_default_str()
        ->type_name("MIN-MAX");
    panel->add_option("--retries", options->retries, "Most copies after the first")
        ->capture_default_str()
        ->type_name("N")
        ->check(CLI::Range(0, 1000));
    panel->add_option("--heartbeat", options->heartbeatS, "Every device must send again within S seconds")
        ->type_name("S")
        ->check(CLI::Range(0.001, 86'400.0));
    panel->add_option("--junit", options->junit, "Write the verdicts as JUnit XML to FILE")->type_name("FILE");
    AddFormatFlag(panel, options->output.format, "One JSON verdict object per case; a summary object last");
    panel->callback([options, &chosen] { chosen = [options] { return RunPanelTest(*options); }; });
}

#include "test_panel.moc"
