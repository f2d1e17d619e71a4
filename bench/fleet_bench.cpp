// The fleet against the companion's centre on loopback: the whole address space at a 1 s heartbeat, the
// fleet's CPU and memory per panel, what supervision costs the centre per frame, and the same fleet through
// the proxy. Each runs as a child process, measured by the kernel's accounting of it (wait4).
// VELTRANO_FLEET_BENCH_SECONDS shortens the 30 s runs for a quick try.
#include "bench/bench_report.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Child
{
    pid_t pid{-1};
    std::string outputPath;
};

struct Ended
{
    double cpuSeconds{0};
    double wallSeconds{0};
    long maxResidentKb{0};
    std::map<std::string, std::string> summary;
};

Child Start(const std::vector<std::string>& arguments, const std::string& outputPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    Child child{-1, outputPath};
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

Ended Wait(const Child& child, std::chrono::steady_clock::time_point started)
{
    Ended ended;
    int status = 0;
    rusage usage{};
    if (child.pid > 0 && wait4(child.pid, &status, 0, &usage) == child.pid) {
        ended.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        ended.maxResidentKb = usage.ru_maxrss;
    }
    ended.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::ifstream output(child.outputPath);
    for (std::string line; std::getline(output, line);)
        if (line.rfind("summary: ", 0) == 0) {
            std::istringstream words(line);
            for (std::string word; words >> word;)
                if (const auto equals = word.find('='); equals != std::string::npos)
                    ended.summary[word.substr(0, equals)] = word.substr(equals + 1);
        }
    return ended;
}

// A loopback port free right now, for the centre to take.
std::uint16_t FreePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

double Field(const Ended& ended, const std::string& key)
{
    const auto found = ended.summary.find(key);
    return found == ended.summary.end() ? -1 : std::stod(found->second);
}

struct Pair
{
    Ended centre;
    Ended fleet;
};

// A centre, then a fleet against it for `seconds`; the centre ends once the fleet has.
Pair RunPair(const std::string& dir, const std::vector<std::string>& centreOptions, int panels,
             double heartbeat, int seconds, const std::vector<std::string>& fleetOptions = {})
{
    const std::string port = std::to_string(FreePort());
    std::vector<std::string> centre{VELTRANO_CLI_PATH, "centre", "--bind", "127.0.0.1", "--port", port};
    centre.insert(centre.end(), centreOptions.begin(), centreOptions.end());
    const auto started = std::chrono::steady_clock::now();
    const Child centreChild = Start(centre, dir + "/centre.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the centre binds before the fleet sends
    std::vector<std::string> fleet{VELTRANO_CLI_PATH, "fleet", "--to", "127.0.0.1:" + port};
    fleet.insert(fleet.end(), {"--panels", std::to_string(panels), "--heartbeat", Fixed(heartbeat, 3),
                               "--duration", std::to_string(seconds), "--seed", "1"});
    fleet.insert(fleet.end(), fleetOptions.begin(), fleetOptions.end());
    const Child fleetChild = Start(fleet, dir + "/fleet.txt");
    Pair pair;
    pair.fleet = Wait(fleetChild, started);
    if (centreChild.pid > 0)
        kill(centreChild.pid, SIGINT);
    pair.centre = Wait(centreChild, started);
    return pair;
}

struct ThroughProxy
{
    Ended centre;
    Ended proxy;
    Ended fleet;
};

// A centre, a proxy in front of it, then a fleet against the proxy for `seconds`; the proxy and the centre
// end once the fleet has.
ThroughProxy RunThroughProxy(const std::string& dir, int panels, int seconds)
{
    const std::string centrePort = std::to_string(FreePort());
    const std::string proxyPort = std::to_string(FreePort());
    const auto started = std::chrono::steady_clock::now();
    const Child centreChild = Start(
        {VELTRANO_CLI_PATH, "centre", "--bind", "127.0.0.1", "--port", centrePort}, dir + "/centre.txt");
    const Child proxyChild = Start({VELTRANO_CLI_PATH, "proxy", "--bind", "127.0.0.1", "--port", proxyPort,
                                    "--to", "127.0.0.1:" + centrePort},
                                   dir + "/proxy.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // both bind before the fleet sends
    const Child fleetChild = Start({VELTRANO_CLI_PATH, "fleet", "--to", "127.0.0.1:" + proxyPort, "--panels",
                                    std::to_string(panels), "--heartbeat", "1", "--duration",
                                    std::to_string(seconds), "--seed", "1"},
                                   dir + "/fleet.txt");
    ThroughProxy run;
    run.fleet = Wait(fleetChild, started);
    for (const Child& child : {proxyChild, centreChild})
        if (child.pid > 0)
            kill(child.pid, SIGINT);
    run.proxy = Wait(proxyChild, started);
    run.centre = Wait(centreChild, started);
    return run;
}

// The whole address space through the proxy: nothing lost, its CPU, and its memory per panel beyond a
// thousand panels' run.
void FleetThroughProxy(const std::string& dir, int seconds)
{
    constexpr int ALL = 57'600;
    const ThroughProxy all = RunThroughProxy(dir, ALL, seconds);
    const double lost = Field(all.fleet, "lost");
    const double sent = Field(all.fleet, "sent");
    Note("through the proxy: round trip p50 / p99 (us)",
         Fixed(Field(all.fleet, "rtt_p50_us")) + " / " + Fixed(Field(all.fleet, "rtt_p99_us")));
    Report("57,600 panels at 1 s for " + std::to_string(seconds) + " s through the proxy: frames lost",
           Fixed(lost), "0", lost == 0 && sent >= ALL * (seconds - 1));
    const double cores = all.proxy.cpuSeconds / std::max(1.0, all.proxy.wallSeconds);
    Report("proxy CPU at 57,600 frames/s each way (cores)", Fixed(cores, 2), "< 0.5", cores < 0.5);
    const ThroughProxy few = RunThroughProxy(dir, 1'000, std::min(seconds, 3));
    const double perPanel =
        static_cast<double>(all.proxy.maxResidentKb - few.proxy.maxResidentKb) * 1024.0 / (ALL - 1'000);
    Note("proxy sessions (the fleet's source ports)", Fixed(Field(all.proxy, "sessions_opened")));
    Report("proxy memory per panel, beyond its sessions (bytes)", Fixed(perPanel), "< 64", perPanel < 64);
    std::remove((dir + "/proxy.txt").c_str());
}

} // namespace

int main()
{
    const char* override = std::getenv("VELTRANO_FLEET_BENCH_SECONDS");
    const int seconds = override != nullptr ? std::max(1, std::atoi(override)) : 30;
    char pattern[] = "/tmp/fleet_bench.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    constexpr int ALL = 57'600;

    const Pair plain = RunPair(dir, {}, ALL, 1.0, seconds);
    const double lost = Field(plain.fleet, "lost");
    const double sent = Field(plain.fleet, "sent");
    Note("fleet frames sent", Fixed(sent));
    Note("round trip p50 / p99 / max (us)", Fixed(Field(plain.fleet, "rtt_p50_us")) + " / " +
                                                Fixed(Field(plain.fleet, "rtt_p99_us")) + " / " +
                                                Fixed(Field(plain.fleet, "rtt_max_us")));
    Report("57,600 panels at 1 s for " + std::to_string(seconds) + " s: frames lost", Fixed(lost), "0",
           lost == 0 && sent >= ALL * (seconds - 1));
    const double fleetCores = plain.fleet.cpuSeconds / plain.fleet.wallSeconds;
    Report("fleet CPU at 57,600 frames/s (cores)", Fixed(fleetCores, 2), "< 1", fleetCores < 1.0);

    // What an option costs the centre per frame: a run of the plain centre and one with the option, taken in
    // turns, the median of the rounds' ratios. One run alone swings by a tenth or more on a virtual machine.
    const int roundSeconds = std::max(1, seconds / 3);
    const auto extraPerFrame = [&](const std::vector<std::string>& option, const std::string& what,
                                   const std::vector<std::string>& fleetOptions) {
        constexpr int ROUNDS = 3;
        std::vector<double> extras;
        std::string rounds;
        double written = 0;
        for (int round = 0; round < ROUNDS; ++round) {
            const Pair without = RunPair(dir, {}, ALL, 1.0, roundSeconds, fleetOptions);
            const Pair with = RunPair(dir, option, ALL, 1.0, roundSeconds, fleetOptions);
            const double withoutPerFrame =
                without.centre.cpuSeconds / std::max(1.0, Field(without.centre, "received"));
            const double withPerFrame =
                with.centre.cpuSeconds / std::max(1.0, Field(with.centre, "received"));
            extras.push_back(withPerFrame / withoutPerFrame - 1);
            rounds +=
                (round > 0 ? ", " : "") + Fixed(withoutPerFrame * 1e9) + " / " + Fixed(withPerFrame * 1e9);
            written += std::max(0.0, Field(with.centre, "events"));
        }
        Note("centre CPU per frame without / with " + what + " by round (ns)", rounds);
        std::sort(extras.begin(), extras.end());
        return std::pair{extras[ROUNDS / 2], written};
    };

    const double extra = extraPerFrame({"--supervise", "5"}, "--supervise", {}).first;
    Report("centre --supervise CPU per frame, over without (median of 3)", Fixed(extra * 100, 1) + " %",
           "<= 10 %", extra <= 0.10);

    // Event lines: the same fleet with an event per panel and minute, against a centre with and without them.
    const auto [eventsExtra, events] =
        extraPerFrame({"--events"}, "--events, 57,600 events a minute", {"--events", "60"});
    Note("events the centre wrote", Fixed(events));
    Report("centre --events CPU per frame, over without (median of 3)", Fixed(eventsExtra * 100, 1) + " %",
           "<= 10 %", eventsExtra <= 0.10 && events > 0);

    // Memory per panel: resident peaks of the whole space against a thousand, at the bench's 1 s heartbeat
    // (the matcher holds a second of frames) and at the default minute.
    const int shortRun = std::min(seconds, 3);
    constexpr double MIB = 1024.0;
    const double allResident = static_cast<double>(plain.fleet.maxResidentKb) / MIB;
    Report("fleet of 57,600 panels at 1 s, peak resident (MiB)", Fixed(allResident, 1), "< 40",
           allResident < 40);
    const Pair ten = RunPair(dir, {}, 10, 1.0, shortRun);
    const double tenResident = static_cast<double>(ten.fleet.maxResidentKb) / MIB;
    Report("fleet of 10 panels, peak resident (MiB)", Fixed(tenResident, 1), "< 24", tenResident < 24);
    for (const double heartbeat : {1.0, 60.0}) {
        const Pair small = RunPair(dir, {}, 1'000, heartbeat, shortRun);
        const Pair large = heartbeat == 1.0 ? plain : RunPair(dir, {}, ALL, heartbeat, shortRun);
        const double perPanel = static_cast<double>(large.fleet.maxResidentKb - small.fleet.maxResidentKb) *
                                1024.0 / (ALL - 1'000);
        Report("fleet memory per panel, heartbeat " + Fixed(heartbeat) + " s (bytes)", Fixed(perPanel),
               "<= 64", perPanel <= 64);
    }
    FleetThroughProxy(dir, seconds);
    std::remove((dir + "/centre.txt").c_str());
    std::remove((dir + "/fleet.txt").c_str());
    rmdir(dir.c_str());
    return 0;
}
