#pragma once

#include "net/destination.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What each subcommand was asked to do, after the command line's checks.

inline constexpr int DEFAULT_RECEIVE_BUFFER = 8 << 20;

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_EXPECTATION_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_SOCKET = 3;
inline constexpr int EXIT_INTERRUPTED = 130; // 128 + SIGINT

struct OutputOptions
{
    bool jsonl{false};
    std::string pcapPath;
};

struct CentreOptions
{
    std::uint16_t port{0};
    std::string bind{"0.0.0.0"};
    std::uint64_t count{0}; // 0: no limit
    double durationS{0};    // 0: no limit
    bool noAck{false};
    double dropPercent{0};
    int delayMs{0};
    double dupPercent{0};
    double badChecksumPercent{0};
    std::optional<std::uint64_t> seed;
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
};

// Where a sending subcommand sends and how it waits for the answers.
struct SenderOptions
{
    Destination to;            // resolved, network byte order
    std::uint16_t fromPort{0}; // host byte order, 0: any
    bool expectAck{false};
    int timeoutMs{1000};
    int retries{0};
    int intervalMs{0};
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
};

struct SweepOptions
{
    SenderOptions sender;
    std::uint64_t count{0}; // 0: until interrupted
    std::uint64_t startTick{1};
    std::optional<double> rate{1.0}; // none: as fast as the acknowledgements allow
    int window{16};
};
