#pragma once

#include "cli/command_run.h"
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

// Whether an option's help shows the value it starts with.
enum class ShownDefault : bool
{
    No,
    Yes
};

// An option with its type name, and its default in the help when `shown`.
template <typename T>
CLI::Option* AddTypedOption(CLI::App* command, const std::string& name, T& value, const std::string& help,
                            const std::string& typeName, ShownDefault shown = ShownDefault::No)
{
    auto* option = command->add_option(name, value, help)->type_name(typeName);
    if (shown == ShownDefault::Yes)
        option->capture_default_str();
    return option;
}

// A typed option that `check` validates: a bounded number (CLI::Range) or a parsed text (FromParser).
template <typename T>
CLI::Option* AddCheckedOption(CLI::App* command, const std::string& name, T& value, const std::string& help,
                              const std::string& typeName, const CLI::Validator& check,
                              ShownDefault shown = ShownDefault::No)
{
    return AddTypedOption(command, name, value, help, typeName, shown)->check(check);
}

const CLI::Validator& HostPortValidator();
const CLI::Validator& EventValidator();
const CLI::Validator& RateValidator();

// --jsonl: JSON Lines instead of text.
void AddFormatFlag(CLI::App* command, veltrano::OutputFormat& format, const std::string& help);
void AddOutputOptions(CLI::App* command, OutputOptions& output);
void AddReceiveBufferOption(CLI::App* command, int& bytes);
// --to HOST:PORT, required.
CLI::Option* AddToOption(CLI::App* command, std::string& text, const std::string& help);
// --timeout MS, 1 ms to an hour.
CLI::Option* AddTimeoutOption(CLI::App* command, int& ms, const std::string& help);
// --port P (0: one the system picks), required, and --bind ADDR: where a listening subcommand listens.
void AddListenOptions(CLI::App* command, std::uint16_t& port, std::string& bind, const std::string& portHelp);
// --metrics ADDR:PORT (PORT alone: loopback).
CLI::Option* AddMetricsOption(CLI::App* command, std::string& text);
// --junit FILE.
CLI::Option* AddJunitOption(CLI::App* command, std::string& path, const std::string& help);

// --rate R|max and --window W: a steady rate, or a window of frames waiting for their answers.
struct PaceOptions
{
    std::string rateText; // as given; empty: not given
    int window{16};
};
CLI::Option* AddPaceOptions(CLI::App* command, PaceOptions& pace, const std::string& rateHelp);

// Where a sending subcommand sends and how it waits for the answers.
struct SenderOptions
{
    std::string toText; // HOST:PORT as given; resolved when the command runs
    veltrano::Endpoint to;
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
// The socket a sending subcommand sends from: --from-port, --rcvbuf, connected to --to.
BatchUdpSocket::Options SocketOptionsOf(const SenderOptions& sender);
// Resolves --to; the exit status of a usage error otherwise.
[[nodiscard]] veltrano::Result<veltrano::Endpoint> ResolveSenderTarget(SenderOptions& sender);
