#pragma once

#include "cli/run.h"
#include "protocol/endpoint.h"
#include "protocol/result.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

// Option declarations and validators that several subcommands share.

inline constexpr int DEFAULT_RECEIVE_BUFFER = 8 << 20;

// A validator from one of the text parsers: its reason, or nothing when the text is good.
template <typename Parse>
CLI::Validator FromParser(Parse parse, std::string name)
{
    return CLI::Validator(
        [parse](std::string& text) -> std::string {
            auto result = parse(text);
            return result ? std::string() : result.error();
        },
        "", std::move(name));
}

const CLI::Validator& HostPortValidator();
const CLI::Validator& EventValidator();
const CLI::Validator& RateValidator();

void AddOutputOptions(CLI::App* command, OutputOptions& output);
void AddReceiveBufferOption(CLI::App* command, int& bytes);

// Where a sending subcommand sends and how it waits for the answers.
struct SenderOptions
{
    std::string toText;        // HOST:PORT as given; resolved when the command runs
    Endpoint to;
    std::uint16_t fromPort{0}; // 0: any
    bool expectAck{false};
    int timeoutMs{1000};
    int retries{0};
    int intervalMs{0};
    int receiveBuffer{DEFAULT_RECEIVE_BUFFER};
    OutputOptions output;
};

// --to, --from-port, --expect-ack, --timeout, --rcvbuf and the output options; --retries and --interval
// with `withPacing`.
void AddSenderOptions(CLI::App* command, SenderOptions& sender, bool withPacing);
// Resolves --to; the exit status of a usage error otherwise.
Result<Endpoint> ResolveSenderTarget(SenderOptions& sender);
