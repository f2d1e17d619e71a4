#include "cli/fuzz_run.h"

#include "cli/common_options.h"
#include "verdict/junit.h"

#include <QProcess>
#include <QStringList>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <poll.h>

#include <algorithm>

using namespace veltrano;

void AddFuzzOptions(CLI::App* command, FuzzOptions& o, const std::string& confirmHelp)
{
    AddTypedOption(command, "--seed", o.seed, "Seed of the cases (random when not given)", "N");
    command->add_option("--only", o.only, "Only these mutation classes")->delimiter(',')->type_name("ID,...");
    command->add_option("--skip", o.skip, "Leave these mutation classes out")
        ->delimiter(',')
        ->type_name("ID,...");
    AddCheckedOption(command, "--confirm", o.confirmS, confirmHelp, "S", CLI::Range(0.0, 3600.0),
                     ShownDefault::Yes);
    AddTypedOption(command, "--findings", o.findings, "Folder of the findings", "DIR", ShownDefault::Yes);
    AddTypedOption(command, "--restart", o.restart, "Shell command that brings the target back", "CMD");
    AddCheckedOption(command, "--restart-timeout", o.restartTimeoutS, "Seconds a restart may take", "S",
                     CLI::Range(0.001, 3600.0), ShownDefault::Yes);
    AddCheckedOption(command, "--max-findings", o.maxFindings, "End the run at the N-th finding", "N",
                     CLI::Range(1, 1'000'000), ShownDefault::Yes);
    AddCheckedOption(command, "--duration", o.durationS, "End after S seconds (0: no bound)", "S",
                     CLI::Range(0.0, 1e7));
    AddJunitOption(command, o.junit, "Write a case per mutation class as JUnit XML to FILE");
    AddTypedOption(command, "--pcap", o.pcap, "Write everything sent and received to FILE", "FILE");
    AddFormatFlag(command, o.output.format, "One JSON object per finding and suspect; a summary last");
}

std::chrono::microseconds Micros(double seconds)
{
    return std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
}

std::int64_t WallUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ClassSelection(const FuzzOptions& o)
{
    std::string selection;
    if (!o.only.empty())
        selection += fmt::format(" --only {}", fmt::join(o.only, ","));
    if (!o.skip.empty())
        selection += fmt::format(" --skip {}", fmt::join(o.skip, ","));
    return selection;
}

std::span<const BatchUdpSocket::Received> ReceiveBy(BatchUdpSocket& socket, MonoTime until)
{
    for (MonoTime now = MonoClock::now(); now < until; now = MonoClock::now()) {
        pollfd fd{socket.Handle(), POLLIN, 0};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        if (::poll(&fd, 1, static_cast<int>(wait)) <= 0)
            continue;
        auto received = socket.Receive();
        if (received && !received->empty())
            return *received; // an error is a closed port: nothing yet
    }
    return {};
}

bool RunRestart(const std::string& command, MonoTime deadline)
{
    QProcess restart;
    restart.setProcessChannelMode(QProcess::ForwardedChannels);
    restart.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromStdString(command)});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MonoClock::now());
    if (!restart.waitForFinished(static_cast<int>(std::max<std::int64_t>(left.count(), 1)))) {
        restart.kill();
        restart.waitForFinished(1000);
        return false;
    }
    return restart.exitStatus() == QProcess::NormalExit && restart.exitCode() == 0;
}

Status FuzzCapture::Open()
{
    return m_path.empty() ? Status{} : m_file.Open(m_path);
}

void FuzzCapture::Record(bool sent, std::span<const std::uint8_t> bytes, std::int64_t wallUs,
                         const Endpoint& local, const Endpoint& remote)
{
    if (m_file.IsOpen()) {
        const Endpoint& source = sent ? local : remote;
        const Endpoint& destination = sent ? remote : local;
        if (auto written = m_file.Write(
                {wallUs, source.address, source.port, destination.address, destination.port, bytes});
            !written && !m_run.Finished()) {
            PrintError(written.error());
            m_run.Finish(EXIT_IO);
        }
    }
    if (m_kept.size() >= KEPT)
        m_kept.pop_front();
    m_kept.push_back({wallUs, sent, Bytes(bytes.begin(), bytes.end())});
}

void FuzzCapture::ForgetBefore(std::int64_t wallUs)
{
    while (!m_kept.empty() && m_kept.front().timeUs < wallUs)
        m_kept.pop_front();
}

std::vector<FuzzPacket> FuzzCapture::Take()
{
    std::vector<FuzzPacket> kept(std::make_move_iterator(m_kept.begin()),
                                 std::make_move_iterator(m_kept.end()));
    m_kept.clear();
    return kept;
}

FuzzFindings::FuzzFindings(const FuzzOptions& options, CommandRun& run, std::string suite)
    : m_options(options), m_run(run), m_suite(std::move(suite)), m_perClass(FuzzClasses().size())
{}

void FuzzFindings::Report(FuzzFinding finding)
{
    auto folder = WriteFinding(m_options.findings, m_findings.size() + 1, finding);
    if (!folder) {
        PrintError(folder.error());
        m_findings.push_back(std::move(finding));
        m_run.Finish(EXIT_IO);
        return;
    }
    std::string& out = m_run.Output().Buffer();
    if (m_run.Output().Format() == OutputFormat::JsonLines)
        out += FindingJson(finding, *folder) + '\n';
    else
        out += fmt::format("finding {}: {}: {} ({})\n", m_findings.size() + 1, FindingKindKey(finding.kind),
                           finding.message, *folder);
    m_run.Output().Written();
    m_run.Output().Flush();
    m_findings.push_back(std::move(finding));
    if (static_cast<int>(m_findings.size()) >= m_options.maxFindings)
        m_run.Finish(EXIT_EXPECTATION_FAILED);
}

Status FuzzFindings::WriteJunit(const std::string& path, std::span<const std::size_t> rows,
                                const std::string& name, const std::string& livenessExpected) const
{
    const auto fail = [&](Verdict& verdict, const FuzzFinding& finding) {
        verdict.outcome = Outcome::Failed;
        verdict.message =
            finding.kind == FindingKind::Rule
                ? ExpectedGot(finding.expected, finding.got)
                : fmt::format("expected {}, got a {}", livenessExpected, FindingKindKey(finding.kind));
        verdict.details += finding.message + '\n';
    };
    std::vector<Verdict> verdicts;
    for (const std::size_t row : rows) {
        Verdict verdict{std::string(FuzzClasses()[row].id),
                        m_suite,
                        Outcome::Passed,
                        fmt::format("{} cases, no finding", m_perClass[row]),
                        {},
                        0};
        for (const FuzzFinding& finding : m_findings) {
            if (!finding.frames.empty() && finding.frames.back().row == row)
                fail(verdict, finding);
        }
        verdicts.push_back(std::move(verdict));
    }
    // A finding with no frame of a class run to blame (the target fell silent with none sent since it last
    // answered, or after an answer of no datagram, or of a right one) still fails the suite.
    for (std::size_t i = 0; i < m_findings.size(); ++i) {
        const auto& frames = m_findings[i].frames;
        if (frames.empty() || std::ranges::find(rows, frames.back().row) == rows.end()) {
            Verdict verdict{fmt::format("finding-{:03}", i + 1), m_suite, Outcome::Failed, {}, {}, 0};
            fail(verdict, m_findings[i]);
            verdicts.push_back(std::move(verdict));
        }
    }
    return veltrano::WriteJunit(path, name, std::move(verdicts));
}

void FuzzFindings::Summary(std::vector<RecordField> fields, std::span<const std::size_t> rows)
{
    m_classKeys.clear();
    m_classKeys.reserve(rows.size());
    for (const std::size_t row : rows) {
        m_classKeys.push_back("cases_" + std::string(FuzzClasses()[row].id));
        fields.push_back({m_classKeys.back(), m_perClass[row]});
    }
    m_run.Output().Summary(m_run.Command(), fields);
}

void MinimiseFinding(const FuzzOptions& options, FuzzFinding& finding, const Reproduces& reproduces,
                     int tries)
{
    if (options.restart.empty() || finding.frames.empty())
        return;
    Minimised minimised = Minimise(finding.frames, reproduces, tries);
    finding.minimised = minimised.reproduced;
    finding.reproduced = minimised.reproduced;
    finding.frames = std::move(minimised.frames);
}
