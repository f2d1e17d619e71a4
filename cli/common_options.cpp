#include "cli/common_options.h"

#include "fleet/fleet_inputs.h"
#include "link/rate_text.h"
#include "net/host_port.h"
#include "sim/event_name.h"

using namespace veltrano;

const CLI::Validator& HostPortValidator()
{
    static const CLI::Validator validator =
        FromParser([](std::string_view t) { return SplitHostPort(t); }, "HOST:PORT");
    return validator;
}

const CLI::Validator& EventValidator()
{
    static const CLI::Validator validator =
        FromParser([](std::string_view t) { return ParseEventName(t); }, "EVENT");
    return validator;
}

const CLI::Validator& RateValidator()
{
    static const CLI::Validator validator =
        FromParser([](std::string_view t) { return ParseRate(t); }, "RATE");
    return validator;
}

void AddFormatFlag(CLI::App* command, veltrano::OutputFormat& format, const std::string& help)
{
    command->add_flag_callback(
        "--jsonl", [&format] { format = veltrano::OutputFormat::JsonLines; }, help);
}

void AddOutputOptions(CLI::App* command, OutputOptions& output)
{
    AddFormatFlag(command, output.format, "One JSON object per line; a summary object last");
    AddTypedOption(command, "--pcap", output.pcapPath,
                   "Write every datagram sent and received to FILE (pcap)", "FILE");
}

void AddReceiveBufferOption(CLI::App* command, int& bytes)
{
    AddCheckedOption(command, "--rcvbuf", bytes, "Socket receive buffer to ask for", "BYTES",
                     CLI::Range(4096, 1 << 30), ShownDefault::Yes);
}

CLI::Option* AddToOption(CLI::App* command, std::string& text, const std::string& help)
{
    return AddCheckedOption(command, "--to", text, help, "HOST:PORT", HostPortValidator())->required();
}

void AddListenOptions(CLI::App* command, std::uint16_t& port, std::string& bind, const std::string& portHelp)
{
    AddCheckedOption(command, "--port", port, portHelp, "P", CLI::Range(0, 65535))->required();
    AddTypedOption(command, "--bind", bind, "Local address to listen on", "ADDR", ShownDefault::Yes);
}

CLI::Option* AddMetricsOption(CLI::App* command, std::string& text)
{
    return AddCheckedOption(
        command, "--metrics", text, "Serve Prometheus metrics on /metrics (PORT: loopback)", "ADDR:PORT",
        FromParser([](std::string_view t) { return ParseListenAddress(t); }, "ADDR:PORT"));
}

CLI::Option* AddTimeoutOption(CLI::App* command, int& ms, const std::string& help)
{
    return AddCheckedOption(command, "--timeout", ms, help, "MS", CLI::Range(1, 3'600'000),
                            ShownDefault::Yes);
}

CLI::Option* AddJunitOption(CLI::App* command, std::string& path, const std::string& help)
{
    return AddTypedOption(command, "--junit", path, help, "FILE");
}

CLI::Option* AddPaceOptions(CLI::App* command, PaceOptions& pace, const std::string& rateHelp)
{
    auto* rate = AddCheckedOption(command, "--rate", pace.rateText, rateHelp, "R", RateValidator());
    AddCheckedOption(command, "--window", pace.window, "Most frames outstanding with --rate max", "W",
                     CLI::Range(1, 65536), ShownDefault::Yes);
    return rate;
}

void AddSenderOptions(CLI::App* command, SenderOptions& sender, bool withPacing)
{
    AddToOption(command, sender.toText, "Destination: an IPv4 address or a host name, and a port");
    AddCheckedOption(command, "--from-port", sender.fromPort, "Local port to send from (default: any)", "P",
                     CLI::Range(0, 65535));
    command->add_flag("--expect-ack", sender.expectAck, "Wait for each frame's acknowledgement");
    AddTimeoutOption(command, sender.timeoutMs, "How long to wait for an acknowledgement");
    if (withPacing) {
        AddCheckedOption(command, "--retries", sender.retries,
                         "Send a frame again up to N times without answer", "N", CLI::Range(0, 1000),
                         ShownDefault::Yes);
        AddCheckedOption(command, "--interval", sender.intervalMs, "Pause between frames", "MS",
                         CLI::Range(0, 3'600'000), ShownDefault::Yes);
    }
    AddReceiveBufferOption(command, sender.receiveBuffer);
    AddOutputOptions(command, sender.output);
}

BatchUdpSocket::Options SocketOptionsOf(const SenderOptions& sender)
{
    return {.port = sender.fromPort, .receiveBuffer = sender.receiveBuffer, .peer = sender.to};
}

Result<Endpoint> ResolveSenderTarget(SenderOptions& sender)
{
    auto resolved = ResolveHostPort(sender.toText);
    if (resolved)
        sender.to = *resolved;
    return resolved;
}
