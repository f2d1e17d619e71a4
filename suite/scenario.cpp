#include "suite/scenario.h"

#include "protocol/command_table.h"
#include "protocol/hex.h"
#include "protocol/number_text.h"
#include "sim/event_builder.h"
#include "sim/event_catalogue.h"

#include <yaml-cpp/yaml.h>

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <set>
#include <span>
#include <utility>

namespace veltrano {

namespace {

constexpr std::int64_t MAX_MS = 3'600'000;

ScenarioPosition At(const YAML::Mark& mark)
{
    return {std::max(mark.line, 0) + 1, std::max(mark.column, 0) + 1};
}

// A command as a scenario names it: the command table's key, words joined by '-' as the file's other
// names are.
std::string ScenarioCommandName(const CommandRow& command)
{
    std::string name(command.key);
    std::replace(name.begin(), name.end(), '_', '-');
    return name;
}

// Decimal, or hex after "0x".
std::optional<std::int64_t> ParseInteger(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseNumber<std::int64_t>(text.substr(2), 16);
    return ParseNumber<std::int64_t>(text);
}

// Reads one file; every method gives the reason at the node it concerns.
class ScenarioReader final
{
public:
    ScenarioReader(std::string_view fileName, const std::map<std::string, std::string>& vars)
        : m_fileName(fileName), m_overrides(vars)
    {
    }

    Result<Scenario> Read(const YAML::Node& root);

private:
    tl::unexpected<std::string> Error(const YAML::Node& node, std::string_view reason) const
    {
        // A node the file lacks (a step's absent arguments) has no place: the step's own.
        return Failure(PositionedError(m_fileName, At(node.Mark().is_null() ? m_stepMark : node.Mark()), reason));
    }

    // The scalar with ${name} replaced by the variable's value.
    Result<std::string> Text(const YAML::Node& node, std::string_view what) const;
    Result<std::int64_t> Integer(const YAML::Node& node, std::string_view what, std::int64_t min,
                                 std::int64_t max) const;
    Result<std::chrono::milliseconds> Millis(const YAML::Node& node, std::string_view what, std::int64_t min) const;
    // A mapping whose keys are all in `allowed`; a null node is an empty mapping.
    Status Keys(const YAML::Node& node, std::string_view what, std::initializer_list<std::string_view> allowed) const;
    Result<std::uint8_t> Bits(const YAML::Node& node, std::string_view what, bool zones) const;

    Status Variables(const YAML::Node& vars);
    Status Steps(const YAML::Node& steps, const std::string& prefix, int depth, Scenario& scenario);
    Status Step(const YAML::Node& step, const std::string& prefix, int depth, Scenario& scenario);

    // A step kind of the file: its name, the role it belongs to (none: both) and the reader of its
    // arguments. `repeat` is none: it unrolls its steps in place.
    struct StepKindRow;
    using StepReader = Status (ScenarioReader::*)(const StepKindRow& row, const YAML::Node& keyNode,
                                                  const YAML::Node& args, ScenarioStep& step);
    struct StepKindRow
    {
        std::string_view name;
        StepKind kind;
        std::optional<ScenarioRole> role;
        StepReader read;
    };
    static constexpr std::string_view REPEAT = "repeat";
    static std::span<const StepKindRow> StepKinds();
    // "send, expect-ack, ..., repeat": every name a step may have, for the messages.
    static std::string StepNames();

    Status Repeat(const YAML::Node& keyNode, const YAML::Node& args, const std::string& prefix, int depth,
                  Scenario& scenario);
    Status Send(const StepKindRow& row, const YAML::Node& keyNode, const YAML::Node& args,
                ScenarioStep& step);
    Status ExpectAck(const StepKindRow& row, const YAML::Node& keyNode, const YAML::Node& args,
                     ScenarioStep& step);
    Status ExpectFrame(const StepKindRow& row, const YAML::Node& keyNode, const YAML::Node& args,
                       ScenarioStep& step);
    Status Answer(const StepKindRow& row, const YAML::Node& keyNode, const YAML::Node& args,
                  ScenarioStep& step);
    Status Wait(const StepKindRow& row, const YAML::Node& keyNode, const YAML::Node& args,
                ScenarioStep& step);
    Status Within(const YAML::Node& args, ScenarioStep& step) const;
    Status Match(const YAML::Node& args, FrameMatch& match);
    Status HexAnswers(const YAML::Node& node, ScenarioStep& step) const;
    Result<std::vector<std::uint8_t>> HexDatagram(const YAML::Node& node) const;

    std::string_view m_fileName;
    const std::map<std::string, std::string>& m_overrides;
    std::map<std::string, std::string> m_vars;
    std::chrono::milliseconds m_timeout{1000};
    ScenarioRole m_role{ScenarioRole::Panel};
    std::map<std::pair<int, int>, StatusBytes> m_status; // per communicator and device, as `send` keeps it
    std::set<std::string> m_ids;
    YAML::Mark m_stepMark;
};

Result<std::string> ScenarioReader::Text(const YAML::Node& node, std::string_view what) const
{
    if (!node.IsScalar())
        return Error(node, fmt::format("{} must be a single value", what));
    const std::string& raw = node.Scalar();
    std::string out;
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::size_t open = raw.find("${", i);
        if (open == std::string::npos) {
            out.append(raw, i);
            break;
        }
        out.append(raw, i, open - i);
        const std::size_t close = raw.find('}', open + 2);
        if (close == std::string::npos)
            return Error(node, fmt::format("{}: \"${{\" without its \"}}\"", what));
        const std::string name = raw.substr(open + 2, close - open - 2);
        const auto found = m_vars.find(name);
        if (found == m_vars.end())
            return Error(node, fmt::format("{}: no variable \"{}\" declared under vars", what, name));
        out += found->second;
        i = close + 1;
    }
    return out;
}

Result<std::int64_t> ScenarioReader::Integer(const YAML::Node& node, std::string_view what, std::int64_t min,
                                             std::int64_t max) const
{
    auto text = Text(node, what);
    if (!text)
        return tl::unexpected(text.error());
    const auto value = ParseInteger(*text);
    if (!value || *value < min || *value > max)
        return Error(node, fmt::format("{} must be a whole number from {} to {}, not \"{}\"", what, min, max, *text));
    return *value;
}

Result<std::chrono::milliseconds> ScenarioReader::Millis(const YAML::Node& node, std::string_view what,
                                                         std::int64_t min) const
{
    auto value = Integer(node, fmt::format("{} (ms)", what), min, MAX_MS);
    if (!value)
        return tl::unexpected(value.error());
    return std::chrono::milliseconds(*value);
}

Status ScenarioReader::Keys(const YAML::Node& node, std::string_view what,
                            std::initializer_list<std::string_view> allowed) const
{
    if (node.IsNull())
        return {};
    if (!node.IsMap())
        return Error(node, fmt::format("{} takes a mapping", what));
    for (const auto& entry : node) {
        if (!entry.first.IsScalar())
            return Error(entry.first, fmt::format("{}: keys are names", what));
        const std::string& key = entry.first.Scalar();
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
            std::string known;
            for (std::string_view k : allowed) {
                if (!known.empty())
                    known += ", ";
                known += k;
            }
            return Error(entry.first, fmt::format("unknown key \"{}\" in {} (known: {})", key, what, known));
        }
    }
    return {};
}

Result<std::uint8_t> ScenarioReader::Bits(const YAML::Node& node, std::string_view what, bool zones) const
{
    if (!node.IsSequence())
        return Error(node, fmt::format("{} takes a list", what));
    std::uint8_t bits = 0;
    for (const YAML::Node& item : node) {
        if (zones) {
            auto zone = Integer(item, "a zone", 1, 8);
            if (!zone)
                return tl::unexpected(zone.error());
            bits = static_cast<std::uint8_t>(bits | ZONE_SET_MASK[static_cast<std::size_t>(*zone - 1)]);
            continue;
        }
        auto key = Text(item, "a flag");
        if (!key)
            return tl::unexpected(key.error());
        const auto names = DeviceFlagNames();
        const auto found = std::find_if(names.begin(), names.end(), [&](const NamedBit& b) { return b.key == *key; });
        if (found == names.end())
            return Error(item, fmt::format("unknown device flag \"{}\"", *key));
        bits = static_cast<std::uint8_t>(bits | found->mask);
    }
    return bits;
}

Status ScenarioReader::Variables(const YAML::Node& vars)
{
    if (vars && !vars.IsMap())
        return Error(vars, "vars takes a mapping of names to default values");
    if (vars) {
        for (const auto& entry : vars) {
            if (!entry.first.IsScalar() || entry.first.Scalar().empty())
                return Error(entry.first, "a variable needs a name");
            if (!entry.second.IsScalar())
                return Error(entry.second, fmt::format("variable {}: the default must be a single value",
                                                       entry.first.Scalar()));
            m_vars[entry.first.Scalar()] = entry.second.Scalar();
        }
    }
    for (const auto& [name, value] : m_overrides) {
        if (!m_vars.contains(name))
            return Failure(PositionedError(m_fileName, vars ? At(vars.Mark()) : ScenarioPosition{1, 1},
                                           fmt::format("--var {}: the file declares no such variable", name)));
        m_vars[name] = value;
    }
    return {};
}

Status ScenarioReader::Send(const StepKindRow&, const YAML::Node&, const YAML::Node& args, ScenarioStep& step)
{
    if (auto keys = Keys(args, "send", {"event", "comm", "dev", "zone", "hex", "id"}); !keys)
        return keys;
    if (!args.IsMap())
        return Error(args, "send takes event, comm, dev and zone, or hex");
    if (args["hex"]) {
        if (args["event"] || args["comm"] || args["dev"] || args["zone"])
            return Error(args, "send takes either hex or an event, not both");
        auto bytes = HexDatagram(args["hex"]);
        if (!bytes)
            return tl::unexpected(bytes.error());
        step.bytes = std::move(*bytes);
        step.what = step.bytes.empty() ? std::string("an empty datagram") : "hex " + FormatBytesHex(step.bytes);
        return {};
    }
    if (!args["event"])
        return Error(args, "send needs event (with comm and dev) or hex");
    if (!args["comm"] || !args["dev"])
        return Error(args, "send of an event needs comm and dev");
    auto eventText = Text(args["event"], "event");
    if (!eventText)
        return tl::unexpected(eventText.error());
    int row = -1;
    if (auto index = ParseInteger(*eventText); index && *index >= 0 && *index < EVENT_TYPE_COUNT) {
        row = static_cast<int>(*index);
    } else {
        for (int i = 0; i < EVENT_TYPE_COUNT; ++i) {
            if (*eventText == EVENT_CATALOGUE[static_cast<std::size_t>(i)].key)
                row = i;
        }
    }
    if (row < 0)
        return Error(args["event"], fmt::format("unknown event \"{}\" (an index 0 to 22 or a key)", *eventText));
    auto comm = Integer(args["comm"], "comm", 0, MAX_ADDRESS_NUMBER);
    if (!comm)
        return tl::unexpected(comm.error());
    auto dev = Integer(args["dev"], "dev", 0, MAX_ADDRESS_NUMBER);
    if (!dev)
        return tl::unexpected(dev.error());
    std::int64_t zone = 0;
    if (args["zone"]) {
        auto z = Integer(args["zone"], "zone", 0, 8);
        if (!z)
            return tl::unexpected(z.error());
        zone = *z;
    }
    const auto device = std::make_pair(static_cast<int>(*comm), static_cast<int>(*dev));
    const auto stored = m_status.try_emplace(device, DEFAULT_STATUS).first;
    const auto built = BuildEvent(row, stored->second, static_cast<std::uint8_t>(*comm),
                                  static_cast<std::uint8_t>(*dev), static_cast<int>(zone));
    const auto* event = std::get_if<BuiltEvent>(&built);
    if (event == nullptr)
        return Error(args, fmt::format("event {} needs a zone from 1 to 8", *eventText));
    stored->second = event->status;
    step.bytes.assign(event->Frame().begin(), event->Frame().end());
    step.what = fmt::format("{} comm {} dev {}", EVENT_CATALOGUE[static_cast<std::size_t>(row)].key, *comm, *dev);
    if (zone != 0)
        step.what += fmt::format(" zone {}", zone);
    return {};
}

Result<std::vector<std::uint8_t>> ScenarioReader::HexDatagram(const YAML::Node& node) const
{
    auto text = Text(node, "hex");
    if (!text)
        return tl::unexpected(text.error());
    // An empty text is the empty datagram, which a peer must bear like any other.
    if (text->find_first_not_of(" \t") == std::string::npos)
        return std::vector<std::uint8_t>{};
    auto bytes = ParseHexBytes(*text);
    if (!bytes)
        return Error(node, fmt::format("hex: {}", bytes.error()));
    return bytes;
}

Status ScenarioReader::Match(const YAML::Node& args, FrameMatch& match)
{
    if (!args.IsMap())
        return {};
    if (const YAML::Node node = args["command"]) {
        auto text = Text(node, "command");
        if (!text)
            return tl::unexpected(text.error());
        // Every command of the table but the unknown one, its last row.
        const auto known = std::span(COMMAND_TABLE).first(COMMAND_TABLE.size() - 1);
        const auto named = std::find_if(known.begin(), known.end(),
                                        [&](const CommandRow& c) { return ScenarioCommandName(c) == *text; });
        if (named != known.end()) {
            match.command = named->code;
        } else {
            auto code = Integer(node, "command (a name or a code)", 0, 255);
            if (!code) {
                std::string names;
                for (const CommandRow& c : known)
                    names += (names.empty() ? "" : ", ") + ScenarioCommandName(c);
                return Error(node,
                             fmt::format("unknown command \"{}\" ({} or a code 0 to 255)", *text, names));
            }
            match.command = static_cast<std::uint8_t>(*code);
        }
    }
    if (const YAML::Node node = args["comm"]) {
        auto comm = Integer(node, "comm", 0, 255);
        if (!comm)
            return tl::unexpected(comm.error());
        match.comm = static_cast<std::uint8_t>(*comm);
    }
    if (const YAML::Node node = args["dev"]) {
        auto dev = Integer(node, "dev", 0, 255);
        if (!dev)
            return tl::unexpected(dev.error());
        match.device = static_cast<std::uint8_t>(*dev);
    }
    if (const YAML::Node node = args["alarm"]) {
        auto bits = Bits(node, "alarm", true);
        if (!bits)
            return tl::unexpected(bits.error());
        match.alarmZones = *bits;
    }
    if (const YAML::Node node = args["flags"]) {
        auto bits = Bits(node, "flags", false);
        if (!bits)
            return tl::unexpected(bits.error());
        match.deviceFlags = *bits;
    }
    if (const YAML::Node node = args["malformed"]) {
        auto text = Text(node, "malformed");
        if (!text)
            return tl::unexpected(text.error());
        if (*text != "true" && *text != "false")
            return Error(node, "malformed takes true or false");
        match.malformed = *text == "true";
    }
    return {};
}

Status ScenarioReader::Answer(const StepKindRow&, const YAML::Node&, const YAML::Node& args,
                              ScenarioStep& step)
{
    constexpr std::pair<std::string_view, AnswerMode> MODES[] = {
        {"normal", AnswerMode::Normal},
        {"withhold", AnswerMode::Withhold},
        {"twice", AnswerMode::Twice},
        {"bad-checksum", AnswerMode::BadChecksum},
        {"delay", AnswerMode::Delay},
    };
    // yaml-cpp's Node assignment writes into the node: bind once.
    const YAML::Node modeNode = args.IsMap() ? args["mode"] : args;
    if (args.IsMap()) {
        if (auto keys = Keys(args, "answer", {"mode", "delay", "hex", "id"}); !keys)
            return keys;
        if (const YAML::Node delay = args["delay"]) {
            auto ms = Millis(delay, "delay", 0);
            if (!ms)
                return tl::unexpected(ms.error());
            step.delay = *ms;
            step.answer = AnswerMode::Delay;
        }
        if (const YAML::Node hex = args["hex"]) {
            if (args["mode"])
                return Error(args, "answer takes either hex or a mode, not both");
            return HexAnswers(hex, step);
        }
    }
    if (modeNode && !modeNode.IsNull()) {
        auto text = Text(modeNode, "answer");
        if (!text)
            return tl::unexpected(text.error());
        const auto found = std::find_if(std::begin(MODES), std::end(MODES), [&](const auto& m) { return m.first == *text; });
        if (found == std::end(MODES))
            return Error(modeNode, fmt::format("unknown answer \"{}\" (normal, withhold, delay, twice, "
                                               "bad-checksum)",
                                               *text));
        if ((found->second == AnswerMode::Delay) != (step.answer == AnswerMode::Delay))
            return Error(modeNode, "answer delay needs delay: MS, and delay: MS goes with no other mode");
        step.answer = found->second;
    } else if (step.answer != AnswerMode::Delay) {
        return Error(args, "answer needs a mode (normal, withhold, delay, twice or bad-checksum) or hex");
    }
    step.what = fmt::format("next frame: {}", std::find_if(std::begin(MODES), std::end(MODES), [&](const auto& m) {
                                                  return m.second == step.answer;
                                              })->first);
    if (step.answer == AnswerMode::Delay)
        step.what += fmt::format(" {} ms", step.delay.count());
    return {};
}

Status ScenarioReader::HexAnswers(const YAML::Node& node, ScenarioStep& step) const
{
    // One datagram, or a list of them sent in order; an empty list answers nothing.
    if (node.IsSequence()) {
        for (const YAML::Node& datagram : node) {
            auto bytes = HexDatagram(datagram);
            if (!bytes)
                return tl::unexpected(bytes.error());
            step.answers.push_back(std::move(*bytes));
        }
    } else {
        auto bytes = HexDatagram(node);
        if (!bytes)
            return tl::unexpected(bytes.error());
        step.answers.push_back(std::move(*bytes));
    }
    step.answer = AnswerMode::Hex;
    step.what = fmt::format("next frame: {} datagram{} given as hex", step.answers.size(),
                            step.answers.size() == 1 ? "" : "s");
    if (step.delay.count() > 0)
        step.what += fmt::format(" {} ms late", step.delay.count());
    return {};
}

std::span<const ScenarioReader::StepKindRow> ScenarioReader::StepKinds()
{
    static constexpr StepKindRow KINDS[] = {
        {"send", StepKind::Send, ScenarioRole::Panel, &ScenarioReader::Send},
        {"expect-ack", StepKind::ExpectAck, ScenarioRole::Panel, &ScenarioReader::ExpectAck},
        {"expect-no-ack", StepKind::ExpectNoAck, ScenarioRole::Panel, &ScenarioReader::ExpectAck},
        {"expect-frame", StepKind::ExpectFrame, ScenarioRole::Centre, &ScenarioReader::ExpectFrame},
        {"expect-no-frame", StepKind::ExpectNoFrame, ScenarioRole::Centre, &ScenarioReader::ExpectFrame},
        {"answer", StepKind::Answer, ScenarioRole::Centre, &ScenarioReader::Answer},
        {"wait", StepKind::Wait, std::nullopt, &ScenarioReader::Wait},
    };
    return KINDS;
}

std::string ScenarioReader::StepNames()
{
    std::string names;
    for (const StepKindRow& row : StepKinds())
        names += fmt::format("{}, ", row.name);
    names += REPEAT;
    return names;
}

Status ScenarioReader::Within(const YAML::Node& args, ScenarioStep& step) const
{
    if (args.IsMap() && args["within"]) {
        auto ms = Millis(args["within"], "within", 1);
        if (!ms)
            return Failure(ms.error());
        step.within = *ms;
    }
    return {};
}

Status ScenarioReader::ExpectAck(const StepKindRow& row, const YAML::Node&, const YAML::Node& args,
                                 ScenarioStep& step)
{
    if (auto keys = Keys(args, row.name, {"within", "id"}); !keys)
        return keys;
    return Within(args, step);
}

Status ScenarioReader::ExpectFrame(const StepKindRow& row, const YAML::Node&, const YAML::Node& args,
                                   ScenarioStep& step)
{
    Status read = Keys(args, row.name, {"within", "command", "comm", "dev", "alarm", "flags", "malformed", "id"});
    if (read)
        read = Within(args, step);
    if (read)
        read = Match(args, step.match);
    step.what = step.match.Describe();
    if (row.kind == StepKind::ExpectNoFrame)
        step.what = "no" + step.what.substr(1); // "no frame ..."
    return read;
}

Status ScenarioReader::Wait(const StepKindRow& row, const YAML::Node& keyNode, const YAML::Node& args,
                            ScenarioStep& step)
{
    // yaml-cpp's Node assignment writes into the node: bind once.
    const YAML::Node time = args.IsMap() ? args["ms"] : args;
    if (args.IsMap()) {
        if (auto keys = Keys(args, row.name, {"ms", "id"}); !keys)
            return keys;
        if (!time)
            return Error(keyNode, "wait needs ms");
    } else if (!args || args.IsNull()) {
        return Error(keyNode, "wait needs a time in ms");
    }
    auto ms = Millis(time, "wait", 0);
    if (!ms)
        return Failure(ms.error());
    step.within = *ms;
    step.what = fmt::format("{} ms", step.within.count());
    return {};
}

Status ScenarioReader::Repeat(const YAML::Node& keyNode, const YAML::Node& args, const std::string& prefix,
                              int depth, Scenario& scenario)
{
    if (auto keys = Keys(args, REPEAT, {"times", "steps"}); !keys)
        return keys;
    if (!args.IsMap() || !args["times"] || !args["steps"])
        return Error(keyNode, "repeat needs times and steps");
    auto times = Integer(args["times"], "times", 1, 10'000);
    if (!times)
        return Failure(times.error());
    if (depth >= MAX_REPEAT_DEPTH)
        return Error(keyNode, fmt::format("repeats nest at most {} deep", MAX_REPEAT_DEPTH));
    for (std::int64_t k = 1; k <= *times; ++k) {
        if (auto steps = Steps(args["steps"], fmt::format("{}.{}.", prefix, k), depth + 1, scenario); !steps)
            return steps;
    }
    return {};
}

Status ScenarioReader::Step(const YAML::Node& node, const std::string& prefix, int depth, Scenario& scenario)
{
    if (node.IsMap() && node.size() != 1)
        return Error(node, fmt::format("a step is one of {}, with its arguments", StepNames()));
    if (!node.IsMap() && !node.IsScalar())
        return Error(node, "a step is a name or a mapping of one name to its arguments");
    const YAML::Node keyNode = node.IsMap() ? node.begin()->first : node;
    const YAML::Node args = node.IsMap() ? node.begin()->second : YAML::Node();
    m_stepMark = keyNode.Mark();
    if (!keyNode.IsScalar())
        return Error(keyNode, "a step's name must be a single value");
    const std::string kind = keyNode.Scalar();
    if (kind == REPEAT)
        return Repeat(keyNode, args, prefix, depth, scenario);

    const auto kinds = StepKinds();
    const auto row =
        std::find_if(kinds.begin(), kinds.end(), [&](const StepKindRow& r) { return r.name == kind; });
    if (row == kinds.end())
        return Error(keyNode, fmt::format("unknown step \"{}\" ({})", kind, StepNames()));
    if (row->role && *row->role != m_role)
        return Error(keyNode, fmt::format("{} is a step of the {} role", kind,
                                          *row->role == ScenarioRole::Panel ? "panel" : "centre"));
    ScenarioStep step;
    step.kind = row->kind;
    step.within = m_timeout;
    const Status read = (this->*row->read)(*row, keyNode, args, step);
    if (!read)
        return read;

    if (args.IsMap() && args["id"]) {
        auto id = Text(args["id"], "id");
        if (!id)
            return tl::unexpected(id.error());
        if (id->empty() || id->find_first_of(" \t,") != std::string::npos)
            return Error(args["id"], "an id is one word without commas");
        step.id = *id;
        if (depth > 0)
            step.id += "#" + prefix;
    } else {
        step.id = fmt::format("{}-{}", prefix, kind);
    }
    if (!m_ids.insert(step.id).second)
        return Error(args.IsMap() && args["id"] ? args["id"] : keyNode, fmt::format("id \"{}\" used twice", step.id));
    if (scenario.steps.size() >= MAX_SCENARIO_STEPS)
        return Error(keyNode, fmt::format("more than {} steps once repeats are unrolled", MAX_SCENARIO_STEPS));
    scenario.steps.push_back(std::move(step));
    return {};
}

Status ScenarioReader::Steps(const YAML::Node& steps, const std::string& prefix, int depth, Scenario& scenario)
{
    if (!steps.IsSequence() || steps.size() == 0)
        return Error(steps, "steps takes a list of at least one step");
    std::size_t index = 0;
    for (const YAML::Node& step : steps) {
        ++index;
        if (auto read = Step(step, fmt::format("{}{}", prefix, index), depth, scenario); !read)
            return read;
    }
    return {};
}

Result<Scenario> ScenarioReader::Read(const YAML::Node& root)
{
    if (!root.IsMap())
        return Error(root, "a scenario is a mapping with role and steps");
    if (auto keys = Keys(root, "a scenario", {"name", "role", "peer", "port", "bind", "timeout", "vars", "steps"}); !keys)
        return tl::unexpected(keys.error());
    if (auto vars = Variables(root["vars"]); !vars)
        return tl::unexpected(vars.error());

    Scenario scenario;
    if (const YAML::Node name = root["name"]) {
        auto text = Text(name, "name");
        if (!text)
            return tl::unexpected(text.error());
        scenario.name = *text;
    }
    if (!root["role"])
        return Error(root, "role missing: panel or centre");
    auto role = Text(root["role"], "role");
    if (!role)
        return tl::unexpected(role.error());
    if (*role == "panel")
        m_role = ScenarioRole::Panel;
    else if (*role == "centre")
        m_role = ScenarioRole::Centre;
    else
        return Error(root["role"], fmt::format("role must be panel or centre, not \"{}\"", *role));
    scenario.role = m_role;

    if (m_role == ScenarioRole::Panel) {
        if (root["port"] || root["bind"])
            return Error(root["port"] ? root["port"] : root["bind"], "port and bind are for the centre role");
        if (!root["peer"])
            return Error(root, "the panel role needs peer: HOST:PORT");
        auto peer = Text(root["peer"], "peer");
        if (!peer)
            return tl::unexpected(peer.error());
        scenario.peer = *peer;
        scenario.peerAt = At(root["peer"].Mark());
    } else {
        if (root["peer"])
            return Error(root["peer"], "peer is for the panel role");
        if (!root["port"])
            return Error(root, "the centre role needs port");
        auto port = Integer(root["port"], "port", 0, 65535);
        if (!port)
            return tl::unexpected(port.error());
        scenario.port = static_cast<std::uint16_t>(*port);
        if (const YAML::Node bind = root["bind"]) {
            auto text = Text(bind, "bind");
            if (!text)
                return tl::unexpected(text.error());
            scenario.bind = *text;
            scenario.bindAt = At(bind.Mark());
        }
    }
    if (const YAML::Node timeout = root["timeout"]) {
        auto ms = Millis(timeout, "timeout", 1);
        if (!ms)
            return tl::unexpected(ms.error());
        m_timeout = *ms;
    }
    if (!root["steps"])
        return Error(root, "steps missing");
    if (auto steps = Steps(root["steps"], "", 0, scenario); !steps)
        return tl::unexpected(steps.error());
    return scenario;
}

} // namespace

bool FrameMatch::Matches(const DecodedFrame& frame) const
{
    const bool statusFrame = !frame.ack && frame.kind == CommandKind::Status && frame.statusCount == 4;
    return (!command || (frame.size > FRAME_COMMAND && frame.command == *command)) &&
           (!comm || (frame.size > FRAME_COMM_NO && frame.comm == *comm)) &&
           (!device || (frame.size > FRAME_DEVICE_NO && frame.device == *device)) &&
           (!alarmZones || (statusFrame && frame.status[ZoneAlarm] == *alarmZones)) &&
           (!deviceFlags || (statusFrame && (frame.status[DeviceFlags] & 0x7F) == *deviceFlags)) &&
           (!malformed || !frame.findings.Empty() == *malformed);
}

std::string FrameMatch::Describe() const
{
    std::string out = "a frame";
    if (command)
        out += fmt::format(" command 0x{:02X}", *command);
    if (comm)
        out += fmt::format(" comm {}", *comm);
    if (device)
        out += fmt::format(" dev {}", *device);
    if (alarmZones)
        out += fmt::format(" alarm 0x{:02X}", *alarmZones);
    if (deviceFlags)
        out += fmt::format(" flags 0x{:02X}", *deviceFlags);
    if (malformed)
        out += *malformed ? " malformed" : " well formed";
    return out;
}

std::string PositionedError(std::string_view fileName, const ScenarioPosition& at, std::string_view reason)
{
    // One line whatever the file holds: a quoted value may carry a line break.
    std::string line = fmt::format("{}:{}:{}: {}", fileName, at.line, at.column, reason);
    std::replace_if(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return line;
}

Result<Scenario> ParseScenario(std::string_view text, std::string_view fileName,
                               const std::map<std::string, std::string>& vars)
{
    // yaml-cpp reports by exception; it stops here and becomes a positioned reason.
    try {
        const YAML::Node root = YAML::Load(std::string(text));
        return ScenarioReader(fileName, vars).Read(root);
    } catch (const YAML::Exception& e) {
        return Failure(PositionedError(fileName, At(e.mark), e.msg));
    } catch (const std::exception& e) {
        return Failure(PositionedError(fileName, {1, 1}, e.what()));
    }
}

} // namespace veltrano
