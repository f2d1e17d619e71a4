#include "cli/app.h"

#include "cli/centre.h"
#include "cli/completion.h"
#include "cli/decode.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/sender.h"
#include "cli/signals.h"
#include "cli/sweep.h"
#include "cli/text_inputs.h"
#include "net/host_port.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <QCoreApplication>

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <variant>

#ifndef VELTRANO_VERSION
#define VELTRANO_VERSION "0"
#endif

namespace {

// A validator from one of the text parsers: its reason, or nothing when the text is good.
template <typename Parse>
CLI::Validator FromParser(Parse parse, std::string name)
{
    return CLI::Validator(
        [parse](std::string& text) -> std::string {
            auto result = parse(text);
            if (auto* reason = std::get_if<std::string>(&result))
                return *reason;
            return {};
        },
        "", std::move(name));
}

const CLI::Validator HOST_PORT = FromParser([](std::string_view t) { return SplitHostPort(t); }, "HOST:PORT");
const CLI::Validator EVENT = FromParser([](std::string_view t) { return ParseEventName(t); }, "EVENT");
const CLI::Validator RATE = FromParser([](std::string_view t) { return ParseRate(t); }, "RATE");
const CLI::Range PERCENT(0.0, 100.0);
const CLI::Range TIME_MS(0, 3'600'000);

int UsageError(const std::string& reason)
{
    std::fprintf(stderr, "veltrano-cli: %s\n", reason.c_str());
    return EXIT_USAGE;
}

void AddOutputOptions(CLI::App* command, OutputOptions& output)
{
    command->add_flag("--jsonl", output.jsonl, "One JSON object per line; a summary object last");
    command->add_option("--pcap", output.pcapPath, "Write every datagram sent and received to FILE (pcap)")
        ->type_name("FILE");
}

struct SenderTexts
{
    std::string to;
};

void AddSenderOptions(CLI::App* command, SenderOptions& sender, SenderTexts& texts, bool withPacing)
{
    command->add_option("--to", texts.to, "Destination: an IPv4 address or a host name, and a port")
        ->required()
        ->type_name("HOST:PORT")
        ->check(HOST_PORT);
    command->add_option("--from-port", sender.fromPort, "Local port to send from (default: any)")
        ->type_name("P")
        ->check(CLI::Range(0, 65535));
    command->add_flag("--expect-ack", sender.expectAck, "Wait for each frame's acknowledgement");
    command->add_option("--timeout", sender.timeoutMs, "How long to wait for an acknowledgement")
        ->capture_default_str()
        ->type_name("MS")
        ->check(CLI::Range(1, 3'600'000));
    if (withPacing) {
        command->add_option("--retries", sender.retries, "Send a frame again up to N times without answer")
            ->capture_default_str()
            ->type_name("N")
            ->check(CLI::Range(0, 1000));
        command->add_option("--interval", sender.intervalMs, "Pause between frames")
            ->capture_default_str()
            ->type_name("MS")
            ->check(TIME_MS);
    }
    command->add_option("--rcvbuf", sender.receiveBuffer, "Socket receive buffer to ask for")
        ->capture_default_str()
        ->type_name("BYTES")
        ->check(CLI::Range(4096, 1 << 30));
    AddOutputOptions(command, sender.output);
}

// The destination, or the exit status of a usage error.
std::variant<Destination, int> Resolve(const std::string& text)
{
    auto resolved = ResolveHostPort(text);
    if (auto* reason = std::get_if<std::string>(&resolved))
        return UsageError(*reason);
    return std::get<Destination>(resolved);
}

// Runs a network subcommand's object on the event loop until it finishes.
template <typename Command>
int RunOnEventLoop(Command& command)
{
    SignalWatcher signals;
    if (!signals.Install())
        std::fprintf(stderr, "veltrano-cli: cannot watch for signals\n");
    if (auto error = command.Start()) {
        std::fprintf(stderr, "veltrano-cli: %s\n", error->c_str());
        return EXIT_SOCKET;
    }
    QObject::connect(&signals, &SignalWatcher::Received, &command,
                     [&command](int signal) { command.Interrupt(signal); });
    QObject::connect(&command, &Command::Finished, QCoreApplication::instance(),
                     [](int code) { QCoreApplication::exit(code); });
    return QCoreApplication::exec();
}

} // namespace

int RunCli(int argc, char** argv)
{
    // A reader that goes away must not kill the process before its summary: writes then fail instead.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"Headless companion of the alarm panel and monitoring centre simulator: a centre that "
                 "acknowledges, a panel that sends events and sweeps, a frame decoder.",
                 "veltrano-cli"};
    app.set_version_flag("--version", std::string("veltrano-cli ") + VELTRANO_VERSION);
    app.require_subcommand(1);
    app.fallthrough(false);

    // centre
    CentreOptions centre;
    std::uint64_t seed = 0;
    auto* centreCommand = app.add_subcommand("centre", "Listen and acknowledge as the window's centre does");
    centreCommand->add_option("--port", centre.port, "UDP port to listen on (0: one the system picks)")
        ->required()
        ->type_name("P")
        ->check(CLI::Range(0, 65535));
    centreCommand->add_option("--bind", centre.bind, "Local address to listen on")
        ->capture_default_str()
        ->type_name("ADDR");
    centreCommand->add_option("--count", centre.count, "End after N datagrams received")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    centreCommand->add_option("--duration", centre.durationS, "End after S seconds")
        ->type_name("S")
        ->check(CLI::Range(0.001, 31'536'000.0));
    centreCommand->add_flag("--no-ack", centre.noAck, "Answer nothing");
    centreCommand
        ->add_option("--drop", centre.dropPercent, "Leave PCT percent of answerable datagrams unanswered")
        ->type_name("PCT")
        ->check(PERCENT);
    centreCommand->add_option("--delay", centre.delayMs, "Answer MS milliseconds late")
        ->type_name("MS")
        ->check(TIME_MS);
    centreCommand->add_option("--dup", centre.dupPercent, "Answer PCT percent of datagrams twice")
        ->type_name("PCT")
        ->check(PERCENT);
    centreCommand
        ->add_option("--bad-checksum", centre.badChecksumPercent,
                     "Spoil the checksum of PCT percent of the acknowledgements")
        ->type_name("PCT")
        ->check(PERCENT);
    auto* seedOption = centreCommand->add_option("--seed", seed, "Seed of the fault choices, to repeat a run")
                           ->type_name("N");
    centreCommand->add_option("--rcvbuf", centre.receiveBuffer, "Socket receive buffer to ask for")
        ->capture_default_str()
        ->type_name("BYTES")
        ->check(CLI::Range(4096, 1 << 30));
    AddOutputOptions(centreCommand, centre.output);

    // send
    SenderOptions send;
    SenderTexts sendTexts;
    int comm = 0;
    int device = 0;
    int zone = 0;
    std::vector<std::string> events;
    auto* sendCommand = app.add_subcommand("send", "Send events as the window's panel builds them");
    AddSenderOptions(sendCommand, send, sendTexts, true);
    sendCommand->add_option("--comm", comm, "Communicator number")
        ->required()
        ->type_name("C")
        ->check(CLI::Range(0, 239));
    sendCommand->add_option("--dev", device, "Device number")
        ->required()
        ->type_name("D")
        ->check(CLI::Range(0, 239));
    sendCommand->add_option("--zone", zone, "Zone of the zone events")
        ->capture_default_str()
        ->type_name("Z")
        ->check(CLI::Range(0, 8));
    sendCommand->add_option("EVENT", events, "Event index (0 to 22) or key; see `events`")
        ->required()
        ->check(EVENT);

    // hex
    SenderOptions hex;
    SenderTexts hexTexts;
    std::vector<std::string> hexWords;
    auto* hexCommand = app.add_subcommand("hex", "Send the bytes of a hex command text, as the custom field");
    AddSenderOptions(hexCommand, hex, hexTexts, true);
    hexCommand->add_option("TEXT", hexWords, "Hex pairs separated by single spaces (words are joined by one)")
        ->required();

    // sweep
    SweepOptions sweep;
    SenderTexts sweepTexts;
    std::string rate = "1";
    auto* sweepCommand = app.add_subcommand("sweep", "Send the automatic sweep's frames");
    AddSenderOptions(sweepCommand, sweep.sender, sweepTexts, false);
    sweepCommand->add_option("--count", sweep.count, "Frames to send (default: until interrupted)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    sweepCommand->add_option("--start-tick", sweep.startTick, "First tick to send, counted from 1")
        ->capture_default_str()
        ->type_name("K")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 48));
    sweepCommand->add_option("--rate", rate, "Frames per second, or max")
        ->capture_default_str()
        ->type_name("R")
        ->check(RATE);
    sweepCommand->add_option("--window", sweep.window, "Most frames outstanding with --rate max")
        ->capture_default_str()
        ->type_name("W")
        ->check(CLI::Range(1, 65536));

    // decode
    std::vector<std::string> decodeTexts;
    bool decodeJsonl = false;
    bool decodeChinese = false;
    auto* decodeCommand =
        app.add_subcommand("decode", "Decode frames given as hex, or one per line on stdin");
    decodeCommand->add_option("HEX", decodeTexts, "\" 0C 00 01 ...\", \"0c 00 01 ...\" or \"0c0001...\"");
    decodeCommand->add_flag("--jsonl", decodeJsonl, "One JSON object per frame");
    decodeCommand->add_flag("--zh", decodeChinese, "The window's description in Chinese");

    // events
    bool eventsJsonl = false;
    auto* eventsCommand = app.add_subcommand("events", "List the events: index, key, frame kind, name");
    eventsCommand->add_flag("--jsonl", eventsJsonl, "One JSON object per event");
    auto* completionCommand = AddCompletionCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageError(std::string(e.what()) + " (see --help)");
    }

    if (completionCommand->parsed())
        return PrintCompletion(app);
    if (eventsCommand->parsed())
        return RunEvents(eventsJsonl);
    if (decodeCommand->parsed())
        return RunDecode(decodeTexts,
                         decodeJsonl     ? DecodeStyle::Jsonl
                         : decodeChinese ? DecodeStyle::Chinese
                                         : DecodeStyle::Fields,
                         stdin);

    if (centreCommand->parsed()) {
        auto address = ResolveIpv4(centre.bind);
        if (auto* reason = std::get_if<std::string>(&address))
            return UsageError(*reason);
        if (!seedOption->empty())
            centre.seed = seed;
        Output output(centre.output.jsonl);
        Centre command(centre, std::get<std::uint32_t>(address), output);
        return RunOnEventLoop(command);
    }

    if (sendCommand->parsed()) {
        auto to = Resolve(sendTexts.to);
        if (auto* code = std::get_if<int>(&to))
            return *code;
        send.to = std::get<Destination>(to);
        // Every frame is built before the first goes: a refused event sends nothing.
        std::vector<std::vector<std::uint8_t>> frames;
        StatusBytes status = DEFAULT_STATUS;
        for (const std::string& name : events) {
            const int index = std::get<int>(ParseEventName(name));
            auto built = BuildEvent(index, status, static_cast<std::uint8_t>(comm),
                                    static_cast<std::uint8_t>(device), zone);
            if (std::holds_alternative<EventRefusal>(built))
                return UsageError("event " + name + " needs --zone from 1 to 8");
            const auto& event = std::get<BuiltEvent>(built);
            status = event.status;
            frames.emplace_back(event.Frame().begin(), event.Frame().end());
        }
        Output output(send.output.jsonl);
        Sender command("send", std::move(frames), send, output);
        return RunOnEventLoop(command);
    }

    if (hexCommand->parsed()) {
        std::string text;
        for (std::size_t i = 0; i < hexWords.size(); ++i)
            text += (i == 0 ? "" : " ") + hexWords[i];
        FrameBuffer buffer{};
        const ParseResult parsed = ParseCommandText(text, buffer);
        if (!parsed.accepted)
            return UsageError("hex: \"" + text + "\" is not hex pairs separated by single spaces");
        auto to = Resolve(hexTexts.to);
        if (auto* code = std::get_if<int>(&to))
            return *code;
        hex.to = std::get<Destination>(to);
        std::vector<std::vector<std::uint8_t>> frames{{buffer.begin(), buffer.begin() + parsed.count}};
        Output output(hex.output.jsonl);
        Sender command("hex", std::move(frames), hex, output);
        return RunOnEventLoop(command);
    }

    // sweep
    auto to = Resolve(sweepTexts.to);
    if (auto* code = std::get_if<int>(&to))
        return *code;
    sweep.sender.to = std::get<Destination>(to);
    sweep.rate = std::get<std::optional<double>>(ParseRate(rate));
    Output output(sweep.sender.output.jsonl);
    Sweep command(sweep, output);
    return RunOnEventLoop(command);
}
