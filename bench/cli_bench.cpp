// The companion under load over 127.0.0.1, run as the child process a script would start: its centre against
// the plain echo loop, from 1 to 256 outstanding with both load clients, with a client slow to turn an answer
// round, and idle; its windowed sweep against a minimal blocking client, and how well --rate holds.
//
// cli_bench [section]   (a part of a section's name runs that section alone: centre, outstanding, sweep,
// paced, proxy)
#include "bench/bench_report.h"
#include "bench/load_clients.h"
#include "tests/support/hex_text.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace veltrano;

namespace {

using namespace std::chrono_literals;

WindowedLoad Windowed(std::uint16_t port, std::uint64_t frames, std::uint64_t checkpointEvery = 0)
{
    WindowedLoad load;
    load.port = port;
    load.window = 16;
    load.frames = frames;
    load.checkpointEvery = checkpointEvery;
    load.limit = std::chrono::seconds(90);
    return load;
}

const std::atomic<bool> NEVER_CANCELLED{false};
constexpr int WINDOW = 16;

// The companion as a child: stdout to a file, stderr read for the listening port.
class Child final
{
public:
    Child(const std::vector<std::string>& arguments, const std::string& outputPath)
    {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(pipeFds[1], STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(VELTRANO_CLI_PATH)};
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(VELTRANO_CLI_PATH, argv.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        m_err = pipeFds[0];
    }
    ~Child()
    {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_err >= 0)
            ::close(m_err);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    std::optional<std::uint16_t> ListeningPort()
    {
        std::string text;
        const auto end = LoadClock::now() + 5s;
        while (LoadClock::now() < end) {
            pollfd readable{m_err, POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0)
                continue;
            char chunk[256];
            const auto got = ::read(m_err, chunk, sizeof chunk);
            if (got <= 0)
                return std::nullopt;
            text.append(chunk, static_cast<std::size_t>(got));
            const auto at = text.find("listening on ");
            const auto colon = at == std::string::npos ? at : text.find(':', at);
            const auto space = colon == std::string::npos ? colon : text.find(' ', colon);
            if (space != std::string::npos)
                return static_cast<std::uint16_t>(std::stoul(text.substr(colon + 1, space - colon - 1)));
        }
        return std::nullopt;
    }

    void Signal(int signal) const { ::kill(m_pid, signal); }

    // The exit status, or none after the limit.
    std::optional<int> Wait(LoadClock::duration limit)
    {
        const auto end = LoadClock::now() + limit;
        while (!m_status && LoadClock::now() < end) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(5ms);
        }
        return m_status;
    }

private:
    pid_t m_pid{-1};
    int m_err{-1};
    std::optional<int> m_status;
};

// The summary's fields, from the last line of the child's output file.
std::map<std::string, std::string> Summary(const std::string& path)
{
    // Only the last summary line is kept: the output runs to a million lines.
    std::ifstream file(path);
    std::string line;
    std::string last;
    while (std::getline(file, line)) {
        if (line.rfind("summary: ", 0) == 0)
            last = line;
    }
    return SummaryFields(std::span(&last, 1));
}

double Number(const std::map<std::string, std::string>& fields, const std::string& key)
{
    const auto found = fields.find(key);
    return found == fields.end() ? 0 : std::stod(found->second);
}

long RssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

std::string OutputPath(const char* name)
{
    return "/tmp/veltrano-cli-bench-" + std::to_string(::getpid()) + "-" + name + ".out";
}

void CentreAgainstEchoLoop()
{
    constexpr std::uint64_t ECHO_FRAMES = 300'000;
    constexpr std::uint64_t CENTRE_FRAMES = 1'000'000;
    constexpr std::uint64_t CHECKPOINT = 100'000;

    // The echo loop runs before and after the centre, so that a change in the machine's load touches both.
    const auto echoRun = [] {
        EchoLoop echo;
        return RunWindowed(Windowed(echo.Port(), ECHO_FRAMES), NEVER_CANCELLED).Rate();
    };
    double echoRate = echoRun();

    const std::string output = OutputPath("centre");
    Child centre({"centre", "--bind", "127.0.0.1", "--port", "0"}, output);
    const auto port = centre.ListeningPort();
    if (!port) {
        Report("centre started", "no", "yes", false);
        return;
    }
    // The resident size every 100 ms, while the load runs.
    std::atomic<bool> sampling{true};
    std::vector<long> rss;
    std::thread sampler([&] {
        while (sampling.load()) {
            rss.push_back(RssKiB(centre.Pid()));
            std::this_thread::sleep_for(100ms);
        }
    });
    WindowedLoad load = Windowed(*port, CENTRE_FRAMES, CHECKPOINT);
    // The centre's own CPU time: other programs on the machine slow its rate, not its cost per frame.
    clockid_t centreClock{};
    if (::clock_getcpuclockid(centre.Pid(), &centreClock) == 0)
        load.serverClock = centreClock;
    const WindowedRun run = RunWindowed(load, NEVER_CANCELLED);
    sampling = false;
    sampler.join();
    centre.Signal(SIGTERM);
    const auto status = centre.Wait(10s);
    echoRate = (echoRate + echoRun()) / 2;
    const auto summary = Summary(output);
    std::remove(output.c_str());

    // The ratio's goal is judged by CentreByOutstanding, in shorter rounds that take turns.
    const double ratio = echoRate > 0 ? run.Rate() / echoRate : 0;
    Note("centre over 1,000,000 frames / blocking echo loop, closed loop, 16 outstanding",
         Fixed(ratio, 2) + " (" + Fixed(run.Rate()) + " vs " + Fixed(echoRate) + " frames/s)");
    // Each 100,000 against the median of them: a centre that slows down as it goes shows in its late
    // segments.
    std::vector<double> segments;
    for (std::size_t i = 0; i + 1 < run.checkpoints.size(); ++i)
        segments.push_back(run.RateBetween(i, i + 1));
    std::string each;
    for (const double rate : segments) {
        if (!each.empty())
            each += ' ';
        each += Fixed(rate / 1000);
        each += 'k';
    }
    Note("centre rate of each 100k frames", each);
    std::vector<double> sorted = segments;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    double worst = sorted.empty() ? 1 : 0;
    for (const double rate : segments)
        worst = std::max(worst, median > 0 ? std::abs(rate / median - 1) : 1);
    Report("centre rate over 1,000,000 frames, each 100k against their median",
           "worst " + Fixed(worst * 100, 1) + "% off (" + (sorted.empty() ? "-" : Fixed(sorted.front())) +
               " to " + (sorted.empty() ? "-" : Fixed(sorted.back())) + " frames/s, " +
               Fixed(static_cast<double>(run.acknowledged)) + " acknowledged)",
           "within 20%", worst <= 0.20 && run.acknowledged == CENTRE_FRAMES);
    std::vector<double> costs;
    for (std::size_t i = 0; i + 1 < run.checkpoints.size(); ++i)
        costs.push_back(run.ServerCpuNsPerFrame(i, i + 1));
    std::vector<double> sortedCosts = costs;
    std::sort(sortedCosts.begin(), sortedCosts.end());
    const double medianCost = sortedCosts.empty() ? 0 : sortedCosts[sortedCosts.size() / 2];
    double worstCost = sortedCosts.empty() || medianCost <= 0 ? 1 : 0;
    for (const double cost : costs)
        worstCost = std::max(worstCost, medianCost > 0 ? std::abs(cost / medianCost - 1) : 1);
    Report("centre CPU per frame over 1,000,000 frames, each 100k against their median",
           "worst " + Fixed(worstCost * 100, 1) + "% off (median " + Fixed(medianCost / 1000, 2) + " us)",
           "within 20%", worstCost <= 0.20);

    // After the first second, the process should not grow.
    const std::size_t warm = std::min<std::size_t>(10, rss.size() > 0 ? rss.size() - 1 : 0);
    const long base = rss.empty() ? 0 : rss[warm];
    const long peak =
        rss.empty() ? 0 : *std::max_element(rss.begin() + static_cast<std::ptrdiff_t>(warm), rss.end());
    const double growth = base > 0 ? static_cast<double>(peak - base) / static_cast<double>(base) : 1;
    Report("centre resident size after the first second",
           Fixed(static_cast<double>(base) / 1024, 1) + " MiB, peak " +
               Fixed(static_cast<double>(peak) / 1024, 1) + " MiB (+" + Fixed(growth * 100, 1) + "%)",
           "<= +10%", growth <= 0.10);
    Report("centre exit and summary after SIGTERM",
           "status " + std::to_string(status.value_or(-1)) +
               (summary.count("received") == 1 ? ", summary printed" : ", no summary"),
           "status 0, summary", status == 0 && summary.count("received") == 1);
    Note("centre kernel drops", summary.count("kernel_drops") ? summary.at("kernel_drops") : "n/a");
}

using LoadRun = WindowedRun (*)(const WindowedLoad&, const std::atomic<bool>&);

struct LoadKind
{
    const char* name;
    LoadRun run;
};

// Both clients at every window, each round of the centre between two of the echo loop's with the same client
// and window, so that a change in the machine's load touches both; then the centre left idle. On a virtual
// machine whose host takes its CPUs away now and then, a round may run at half speed: rounds are short, so
// that a centre's round and the echo loop's around it mostly see the same host, and many, so that the median
// of their ratios leaves out the few rounds that did not.
void CentreByOutstanding()
{
    constexpr LoadKind KINDS[] = {{"closed loop", &RunWindowed}, {"bursty", &RunBursty}};
    constexpr int WINDOWS[] = {1, 4, 16, 64, 256};
    constexpr int ROUNDS = 15;
    static constexpr auto ROUND_TIME = 200ms;
    constexpr auto IDLE_TIME = 2s;

    const std::string output = OutputPath("outstanding");
    Child centre({"centre", "--bind", "127.0.0.1", "--port", "0"}, output);
    const auto port = centre.ListeningPort();
    if (!port) {
        Report("centre started", "no", "yes", false);
        return;
    }
    EchoLoop echo;
    std::optional<clockid_t> centreCpu;
    if (clockid_t clock{}; ::clock_getcpuclockid(centre.Pid(), &clock) == 0)
        centreCpu = clock;
    // A round's rate, and the CPU time the server spent on each frame of it (0 without a clock).
    struct Round
    {
        double rate{0};
        std::int64_t cpuNsPerFrame{0};
    };
    const auto run = [](const LoadKind& kind, std::uint16_t to, int window, LoadClock::duration turnaround,
                        std::optional<clockid_t> server) {
        WindowedLoad load;
        load.port = to;
        load.window = window;
        load.frames = 100'000'000;
        load.limit = ROUND_TIME;
        load.serverClock = server;
        load.turnaround = turnaround;
        const WindowedRun result = kind.run(load, NEVER_CANCELLED);
        const bool timed = result.serverCpuNs.size() >= 2 && result.acknowledged > 0;
        return Round{result.Rate(), timed ? (result.serverCpuNs.back() - result.serverCpuNs.front()) /
                                                static_cast<std::int64_t>(result.acknowledged)
                                          : 0};
    };
    // The median ratio of the rounds, and the text that gives it with both servers' rates.
    const auto compare = [&](const LoadKind& kind, int window, LoadClock::duration turnaround,
                             const std::string& config) {
        std::vector<Round> echoRounds{run(kind, echo.Port(), window, turnaround, echo.CpuClock())};
        std::vector<Round> centreRounds;
        std::vector<std::int64_t> ratios; // per mille
        for (int round = 0; round < ROUNDS; ++round) {
            centreRounds.push_back(run(kind, *port, window, turnaround, centreCpu));
            echoRounds.push_back(run(kind, echo.Port(), window, turnaround, echo.CpuClock()));
            const double around = (echoRounds[echoRounds.size() - 2].rate + echoRounds.back().rate) / 2;
            ratios.push_back(
                static_cast<std::int64_t>(around > 0 ? 1000 * centreRounds.back().rate / around : 0));
        }
        const auto median = [](const std::vector<Round>& rounds, auto field) {
            std::vector<std::int64_t> values;
            for (const Round& r : rounds)
                values.push_back(static_cast<std::int64_t>(r.*field));
            return Percentile(values, 0.5);
        };
        // What each server spends on a frame: when both sides keep a CPU busy, the cheaper one is not what
        // holds the rate back, whatever the host did to the rounds.
        Note("server CPU per frame, centre vs echo loop, " + config,
             Fixed(median(centreRounds, &Round::cpuNsPerFrame) / 1000, 2) + " vs " +
                 Fixed(median(echoRounds, &Round::cpuNsPerFrame) / 1000, 2) + " us");
        const double ratio = Percentile(ratios, 0.5) / 1000;
        return std::pair(ratio, Fixed(ratio, 2) + " (median of " + std::to_string(ROUNDS) + "; " +
                                    Fixed(median(centreRounds, &Round::rate)) + " vs " +
                                    Fixed(median(echoRounds, &Round::rate)) + " frames/s)");
    };
    for (const LoadKind& kind : KINDS) {
        for (const int window : WINDOWS) {
            const std::string config =
                std::string(kind.name) + ", " + std::to_string(window) + " outstanding";
            const auto [ratio, text] = compare(kind, window, {}, config);
            Report("centre, output to a file / blocking echo loop, " + config, text, ">= 1.0", ratio >= 1.0);
        }
    }
    // A sender slow to turn an answer round, which a wait sized for a quick one would miss every time.
    const std::string slow = "closed loop taking 150 us over each answer, 1 outstanding";
    Note("centre, output to a file / blocking echo loop, " + slow, compare(KINDS[0], 1, 150us, slow).second);

    // Whatever the centre does between datagrams must stop with them.
    if (!centreCpu) {
        Report("centre CPU with no traffic", "no clock", "< 1% of a core", false);
        return;
    }
    std::this_thread::sleep_for(200ms);
    timespec before{};
    timespec after{};
    ::clock_gettime(*centreCpu, &before);
    const auto start = LoadClock::now();
    std::this_thread::sleep_for(IDLE_TIME);
    ::clock_gettime(*centreCpu, &after);
    const double wall = std::chrono::duration<double>(LoadClock::now() - start).count();
    const double cpu = static_cast<double>(after.tv_sec - before.tv_sec) +
                       static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
    const double share = wall > 0 ? cpu / wall : 1;
    Report("centre CPU with no traffic, over " + Fixed(wall, 1) + " s", Fixed(share * 100, 3) + "% of a core",
           "< 1% of a core", share < 0.01);
    centre.Signal(SIGTERM);
    centre.Wait(10s);
    std::remove(output.c_str());
}

// Rounds of the sweep, each between two of the client's, the median of their ratios.
void SweepAgainstMinimalClient()
{
    constexpr std::uint64_t FRAMES = 150'000;
    constexpr int ROUNDS = 3;
    EchoLoop echo;
    const auto clientRate = [&echo] {
        return RunWindowed(Windowed(echo.Port(), FRAMES), NEVER_CANCELLED).Rate();
    };
    double before = clientRate();
    std::vector<std::int64_t> ratios; // per mille
    std::vector<std::int64_t> sweepRates;
    std::vector<std::int64_t> clientRates;
    bool allAcknowledged = true;
    std::map<std::string, std::string> summary;
    double wall = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        const std::string output = OutputPath("sweep");
        const auto start = LoadClock::now();
        Child sweep({"sweep", "--to", "127.0.0.1:" + std::to_string(echo.Port()), "--rate", "max", "--window",
                     std::to_string(WINDOW), "--expect-ack", "--count", std::to_string(FRAMES)},
                    output);
        const auto status = sweep.Wait(90s);
        wall = std::chrono::duration<double>(LoadClock::now() - start).count();
        summary = Summary(output);
        std::remove(output.c_str());
        const double after = clientRate();
        const double rate = Number(summary, "send_rate");
        allAcknowledged = allAcknowledged && status == 0 && Number(summary, "acknowledged") == FRAMES;
        const double around = (before + after) / 2;
        ratios.push_back(static_cast<std::int64_t>(around > 0 ? 1000 * rate / around : 0));
        sweepRates.push_back(static_cast<std::int64_t>(rate));
        clientRates.push_back(static_cast<std::int64_t>(after));
        before = after;
    }
    const double ratio = Percentile(ratios, 0.5) / 1000;
    Report("sweep --rate max --window 16 --expect-ack / minimal blocking client",
           Fixed(ratio, 2) + " (median of " + std::to_string(ROUNDS) + "; " +
               Fixed(Percentile(sweepRates, 0.5)) + " vs " + Fixed(Percentile(clientRates, 0.5)) +
               " frames/s)",
           ">= 0.9", ratio >= 0.9 && allAcknowledged);
    Note("sweep round trip p50/p90/p99/max (us), last round",
         Fixed(Number(summary, "rtt_p50_us")) + " / " + Fixed(Number(summary, "rtt_p90_us")) + " / " +
             Fixed(Number(summary, "rtt_p99_us")) + " / " + Fixed(Number(summary, "rtt_max_us")));
    Note("sweep process wall time incl. start-up (s), last round", Fixed(wall, 2));
}

void PacedRates()
{
    struct Pace
    {
        double rate;
        std::uint64_t frames;
    };
    // Ten seconds each; one frame a second over five.
    const Pace paces[] = {{1, 6}, {1000, 10'000}, {10'000, 100'000}, {50'000, 500'000}};
    for (const Pace& pace : paces) {
        SweepSink sink;
        const std::string output = OutputPath("paced");
        Child sweep({"sweep", "--to", "127.0.0.1:" + std::to_string(sink.Port()), "--rate",
                     std::to_string(static_cast<long>(pace.rate)), "--count", std::to_string(pace.frames)},
                    output);
        const auto status = sweep.Wait(60s);
        // The last frames are on their way when the sender ends. The sink reads with a small buffer, one
        // datagram per call: at the highest rate it may miss a few, which does not change the rate.
        const auto settle = LoadClock::now() + 1s;
        while (sink.Count() < pace.frames && LoadClock::now() < settle)
            std::this_thread::sleep_for(10ms);
        const auto ticks = sink.Stop();
        std::remove(output.c_str());
        const double seconds =
            ticks.size() > 1 ? std::chrono::duration<double>(ticks.back() - ticks.front()).count() : 0;
        const double measured = seconds > 0 ? static_cast<double>(ticks.size() - 1) / seconds : 0;
        const double error = std::abs(measured / pace.rate - 1);
        Report("sweep --rate " + Fixed(pace.rate) + " as received",
               Fixed(measured, pace.rate < 10 ? 3 : 0) + " frames/s (" + Fixed(error * 100, 2) + "% off, " +
                   Fixed(static_cast<double>(ticks.size())) + " of " +
                   Fixed(static_cast<double>(pace.frames)) + " frames)",
               "within 2%", status == 0 && error <= 0.02 && ticks.size() * 1000 >= pace.frames * 999);
    }
}

} // namespace

// The proxy in front of the centre: a closed loop of 16 outstanding through it against the same client
// straight to the centre, the round trip it adds at the median with one outstanding, and what rules that
// match nothing cost it per frame.
void ProxyInFrontOfCentre()
{
    constexpr int ROUNDS = 9;
    static constexpr auto ROUND_TIME = 200ms;
    const std::string centreOutput = OutputPath("proxy-centre");
    const std::string proxyOutput = OutputPath("proxy");
    const std::string ruledOutput = OutputPath("proxy-ruled");
    Child centre({"centre", "--bind", "127.0.0.1", "--port", "0"}, centreOutput);
    const auto centrePort = centre.ListeningPort();
    if (!centrePort) {
        Report("centre started", "no", "yes", false);
        return;
    }
    const std::string to = "127.0.0.1:" + std::to_string(*centrePort);
    Child proxy({"proxy", "--bind", "127.0.0.1", "--port", "0", "--to", to}, proxyOutput);
    std::vector<std::string> ruledArguments{"proxy", "--bind", "127.0.0.1", "--port", "0", "--to", to};
    for (int i = 0; i < 16; ++i)
        ruledArguments.insert(ruledArguments.end(), {"--rule", "both drop from=127.0.0.99 pct=50"});
    Child ruled(ruledArguments, ruledOutput);
    const auto proxyPort = proxy.ListeningPort();
    const auto ruledPort = ruled.ListeningPort();
    if (!proxyPort || !ruledPort) {
        Report("proxy started", "no", "yes", false);
        return;
    }
    const auto rate = [](std::uint16_t port) {
        WindowedLoad load;
        load.port = port;
        load.window = WINDOW;
        load.frames = 100'000'000;
        load.limit = ROUND_TIME;
        return RunWindowed(load, NEVER_CANCELLED).Rate();
    };
    // Rounds in turns, each ratio against the rounds either side of it.
    const auto ratio = [&](std::uint16_t measured, std::uint16_t against) {
        std::vector<std::int64_t> ratios; // per mille
        double before = rate(against);
        for (int round = 0; round < ROUNDS; ++round) {
            const double through = rate(measured);
            const double after = rate(against);
            const double around = (before + after) / 2;
            ratios.push_back(static_cast<std::int64_t>(around > 0 ? 1000 * through / around : 0));
            before = after;
        }
        return Percentile(ratios, 0.5) / 1000;
    };
    const double throughput = ratio(*proxyPort, *centrePort);
    Report("closed loop, 16 outstanding, through the proxy / straight to the centre (median of 9)",
           Fixed(throughput, 2), ">= 0.5", throughput >= 0.5);

    const auto medianRtt = [](std::uint16_t port) {
        PingPongRun run = RunPingPong(port, 20'000, 5s, NEVER_CANCELLED);
        return Percentile(run.roundTripsNs, 0.5) / 1000;
    };
    std::vector<std::int64_t> added;
    for (int round = 0; round < 3; ++round)
        added.push_back(static_cast<std::int64_t>(medianRtt(*proxyPort) - medianRtt(*centrePort)));
    const double addedUs = Percentile(added, 0.5);
    Report("round trip the proxy adds at the median, 1 outstanding (us)", Fixed(addedUs, 1), "< 50",
           addedUs < 50);

    const double unmatched = ratio(*ruledPort, *proxyPort);
    Report("proxy with 16 rules that match nothing / without rules, closed loop (median of 9)",
           Fixed(unmatched, 2), ">= 0.95", unmatched >= 0.95);
    for (Child* child : {&ruled, &proxy, &centre}) {
        child->Signal(SIGTERM);
        child->Wait(10s);
    }
    for (const std::string& path : {centreOutput, proxyOutput, ruledOutput})
        std::remove(path.c_str());
}

int main(int argc, char** argv)
{
    const std::string_view only = argc > 1 ? argv[1] : "";
    const std::pair<std::string_view, void (*)()> sections[] = {
        {"centre", &CentreAgainstEchoLoop},    {"outstanding", &CentreByOutstanding},
        {"sweep", &SweepAgainstMinimalClient}, {"paced", &PacedRates},
        {"proxy", &ProxyInFrontOfCentre},
    };
    for (const auto& [name, run] : sections) {
        if (name.find(only) != std::string_view::npos)
            run();
    }
    return 0;
}
