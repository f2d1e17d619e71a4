#include "cli/judge_panel.h"

#include "cli/command_run.h"
#include "cli/common_options.h"
#include "net/host_port.h"
#include "suite/panel_cases.h"
#include "verdict/junit.h"

#include <QTimer>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <deque>
#include <memory>

namespace {

using namespace veltrano;

struct PanelTestOptions
{
    std::uint16_t port{0};
    std::string bind{"0.0.0.0"};
    double durationS{10};
    std::uint64_t frames{0};
    std::string retryWithin{"1-5000"};
    PanelSettings settings;
    std::string junit;
    OutputOptions output;
};

// The socket and the timer of `test panel`: every frame heard goes into the recording, which says what to
// answer; the table judges the recording when the run ends.
class PanelSuite final
{
public:
    PanelSuite(const PanelTestOptions& options, std::uint32_t bindAddress, CommandRun& run)
        : m_options(options), m_bindAddress(bindAddress), m_run(run), m_report("test panel"),
          m_recording(options.settings.withhold, MonoClock::now())
    {
        m_endTimer.setSingleShot(true);
        OnTimeout(m_endTimer, [this] { End(); });
        m_run.OnInterrupt([this](int) { End(); });
        EndWithVerdicts(m_run, m_report, m_options.junit);
    }

    Status Start()
    {
        BatchUdpSocket::Options options;
        options.bindAddress = m_bindAddress;
        options.port = m_options.port;
        CommandRun::Reading reading;
        reading.afterBatches = [this] {
            if (m_ended)
                End();
        };
        auto socket = m_run.OpenSocket(
            options,
            [this](std::span<const BatchUdpSocket::Received> batch, const CommandRun::Arrival& arrival) {
                OnBatch(batch, arrival.now);
            },
            std::move(reading));
        if (!socket)
            return Failure(socket.error());
        m_socket = *socket;
        m_recording =
            PanelRecording(m_options.settings.withhold, MonoClock::now(), InterfaceBroadcastAddresses());
        if (m_options.durationS > 0)
            m_endTimer.start(
                std::chrono::milliseconds(static_cast<std::int64_t>(m_options.durationS * 1000)));
        m_run.Output().Listening(m_socket->LocalAddress());
        std::fprintf(stderr, "test panel listening on %s\n", m_socket->LocalAddress().ToString().c_str());
        return {};
    }

private:
    // Answers go out with the batch that asked for them, before the next is read.
    void OnBatch(std::span<const BatchUdpSocket::Received> batch, MonoTime now)
    {
        std::deque<AckFrame> acks; // answers point into it: it must not move
        std::vector<BatchUdpSocket::Outgoing> answers;
        for (const auto& datagram : batch) {
            if (m_ended)
                break;
            if (const auto ack = m_recording.Heard(datagram.from, datagram.bytes, now)) {
                acks.push_back(*ack);
                answers.push_back({datagram.from, datagram.replySource, acks.back()});
            }
            if (m_options.frames != 0 && m_recording.Frames().size() >= m_options.frames)
                m_ended = true;
        }
        m_socket->SendEach(answers, [](std::size_t, int) {});
    }

    void End()
    {
        if (m_judged)
            return;
        m_judged = true;
        m_ended = true;
        m_recording.End(MonoClock::now());
        for (Verdict& verdict : JudgePanel(m_recording, m_options.settings))
            ReportVerdict(m_run.Output(), m_report, std::move(verdict));
        m_run.Finish(m_report.ExitCode());
    }

    PanelTestOptions m_options;
    std::uint32_t m_bindAddress{0};
    CommandRun& m_run;
    VerdictReport m_report;
    BatchUdpSocket* m_socket{nullptr};
    QTimer m_endTimer;
    PanelRecording m_recording;
    bool m_ended{false};
    bool m_judged{false};
};

int RunPanelTest(PanelTestOptions options)
{
    auto window = ParseRetryWithin(options.retryWithin);
    if (!window)
        return UsageError(window.error());
    options.settings.retryMinMs = window->first;
    options.settings.retryMaxMs = window->second;
    auto address = ResolveIpv4(options.bind);
    if (!address)
        return UsageError(address.error());
    if (options.durationS <= 0 && options.frames == 0)
        return UsageError("test panel needs --duration or --frames to end");
    return ExecDriver<PanelSuite>("test panel", options.output, options, *address);
}

} // namespace

void AddTestPanelCommand(CLI::App& test, CommandRunner& chosen)
{
    auto options = std::make_shared<PanelTestOptions>();
    auto* panel = test.add_subcommand("panel", "Listen as a centre and judge the panel that talks to it");
    AddListenOptions(panel, options->port, options->bind, "UDP port to listen on (0: one the system picks)");
    const CLI::Range seconds(0.001, 86'400.0);
    auto* duration = AddCheckedOption(panel, "--duration", options->durationS, "Judge after S seconds", "S",
                                      seconds, ShownDefault::Yes);
    AddCheckedOption(panel, "--frames", options->frames, "Judge after N frames (instead of --duration)", "N",
                     CLI::PositiveNumber)
        ->excludes(duration)
        ->each([options](const std::string&) { options->durationS = 0; });
    AddCheckedOption(panel, "--withhold", options->settings.withhold,
                     "Leave the first K copies of each frame unanswered", "K", CLI::Range(0, 1000));
    AddTypedOption(panel, "--retry-within", options->retryWithin, "When a copy must follow an unanswered one",
                   "MIN-MAX", ShownDefault::Yes);
    AddCheckedOption(panel, "--retries", options->settings.retries, "Most copies after the first", "N",
                     CLI::Range(0, 1000), ShownDefault::Yes);
    AddCheckedOption(panel, "--heartbeat", options->settings.heartbeatS,
                     "Every device must send again within S seconds", "S", seconds);
    AddJunitOption(panel, options->junit, "Write the verdicts as JUnit XML to FILE");
    AddFormatFlag(panel, options->output.format, "One JSON verdict object per case; a summary object last");
    panel->callback([options, &chosen] { chosen = [options] { return RunPanelTest(*options); }; });
}
