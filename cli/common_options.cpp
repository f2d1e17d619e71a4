#include "cli/common_options.h"

#include "cli/text_inputs.h"
#include "fleet/fleet_inputs.h"
#include "net/host_port.h"

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
    command->add_option("--pcap", output.pcapPath, "Write every datagram sent and received to FILE (pcap)")
        ->type_name("FILE");
}

void AddReceiveBufferOption(CLI::App* command, int& bytes)
{
    command->add_option("--rcvbuf", bytes, "Socket receive buffer to ask for")
        ->capture_default_str()
        ->type_name("BYTES")
        ->check(CLI::Range(4096, 1 << 30));
}

CLI::Option* AddToOption(CLI::App* command, std::string& text, const std::string& help)
{
    return command->add_option("--to", text, help)
        ->required()
        ->type_name("HOST:PORT")
        ->check(HostPortValidator());
}

CLI::Option* AddMetricsOption(CLI::App* command, std::string& text)
{
    return command->add_option("--metrics", text, "Serve Prometheus metrics on /metrics (PORT: loopback)")
        ->type_name("ADDR:PORT")
        ->check(FromParser([](std::string_view t) { return ParseListenAddress(t); }, "ADDR:PORT"));
}

CLI::Option* AddTimeoutOption(CLI::App* command, int& ms, const std::string& help)
{
    return command->add_option("--timeout", ms, help)
        ->capture_default_str()
        ->type_name("MS")
        ->check(CLI::Range(1, 3'600'000));
}

CLI::Option* AddJunitOption(CLI::App* command, std::string& path, const std::string& help)
{
    return command->add_option("--junit", path, help)->type_name("FILE");
}

CLI::Option* AddPaceOptions(CLI::App* command, PaceOptions& pace, const std::string& rateHelp)
{
    auto* rate =
        command->add_option("--rate", pace.rateText, rateHelp)->type_name("R")->check(RateValidator());
    command->add_option("--window", pace.window, "Most frames outstanding with --rate max")
        ->capture_default_str()
        ->type_name("W")
        ->check(CLI::Range(1, 65536));
    return rate;
}

void AddSenderOptions(CLI::App* command, SenderOptions& sender, bool withPacing)
{
    AddToOption(command, sender.toText, "Destination: an IPv4 address or a host name, and a port");
    command->add_option("--from-port", sender.fromPort, "Local port to send from (default: any)")
        ->type_name("P")
        ->check(CLI::Range(0, 65535));
    command->add_flag("--expect-ack", sender.expectAck, "Wait for each frame's acknowledgement");
    AddTimeoutOption(command, sender.timeoutMs, "How long to wait for an acknowledgement");
    if (withPacing) {
        command->add_option("--retries", sender.retries, "Send a frame again up to N times without answer")
            ->capture_default_str()
            ->type_name("N")
            ->check(CLI::Range(0, 1000));
        command->add_option("--interval", sender.intervalMs, "Pause between frames")
            ->capture_default_str()
            ->type_name("MS")
            ->check(CLI::Range(0, 3'600'000));
    }
    AddReceiveBufferOption(command, sender.receiveBuffer);
    AddOutputOptions(command, sender.output);
}

BatchUdpSocket::Options SocketOptionsOf(const SenderOptions& sender)
{
    BatchUdpSocket::Options options;
    options.port = sender.fromPort;
    options.receiveBuffer = sender.receiveBuffer;
    options.peer = sender.to;
    return options;
}

Result<Endpoint> ResolveSenderTarget(SenderOptions& sender)
{
    auto resolved = ResolveHostPort(sender.toText);
    if (resolved)
        sender.to = *resolved;
    return resolved;
}
