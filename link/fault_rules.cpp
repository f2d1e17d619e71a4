#include "link/fault_rules.h"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <utility>

namespace veltrano {

namespace {

constexpr std::uint32_t MAX_COPIES = 16;
constexpr std::uint32_t MAX_WITHHOLD = 1'000'000;
constexpr std::int64_t MAX_DELAY_MS = 3'600'000;

struct Token
{
    std::string_view text;
    std::size_t column{0}; // 1-based
};

std::vector<Token> Tokens(std::string_view text)
{
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t')
            ++i;
        if (i > start)
            tokens.push_back({text.substr(start, i - start), start + 1});
    }
    return tokens;
}

tl::unexpected<std::string> At(std::size_t column, std::string_view what)
{
    return Failure(fmt::format("column {}: {}", column, what));
}

template <typename Number>
std::optional<Number> Whole(std::string_view text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> Percent(std::string_view text)
{
    if (!text.empty() && text.back() == '%')
        text.remove_suffix(1);
    const auto value = Whole<double>(text);
    if (!value || !(*value >= 0 && *value <= 100))
        return std::nullopt;
    return value;
}

// Splits "key=value"; the value's column is that of the token plus the key and '='.
std::pair<std::string_view, Token> KeyValue(const Token& token)
{
    const auto equals = token.text.find('=');
    if (equals == std::string_view::npos)
        return {token.text, {{}, token.column + token.text.size()}};
    return {token.text.substr(0, equals), {token.text.substr(equals + 1), token.column + equals + 1}};
}

constexpr std::array<std::pair<std::string_view, FaultDirection>, 3> DIRECTIONS{{
    {"up", FaultDirection::Up},
    {"down", FaultDirection::Down},
    {"both", FaultDirection::Both},
}};

constexpr std::array<std::pair<std::string_view, FaultAction>, 7> ACTIONS{{
    {"drop", FaultAction::Drop},
    {"delay", FaultAction::Delay},
    {"dup", FaultAction::Dup},
    {"corrupt", FaultAction::Corrupt},
    {"withhold", FaultAction::Withhold},
    {"reorder", FaultAction::Reorder},
    {"loss", FaultAction::Loss},
}};

constexpr std::array<std::pair<std::string_view, CommandMatch>, 7> COMMANDS{{
    {"online", CommandMatch::Online},
    {"status", CommandMatch::Status},
    {"fault", CommandMatch::Fault},
    {"fault-restore", CommandMatch::FaultRestore},
    {"debug", CommandMatch::Debug},
    {"ack", CommandMatch::Ack},
    {"malformed", CommandMatch::Malformed},
}};

// The kind of frame each command match names, but for the two that are no kind.
constexpr std::array<CommandKind, 5> MATCHED_KINDS{CommandKind::Online, CommandKind::Status,
                                                   CommandKind::Fault, CommandKind::FaultRestore,
                                                   CommandKind::Debug};

template <typename Value, std::size_t N>
std::optional<Value> Named(const std::array<std::pair<std::string_view, Value>, N>& table,
                           std::string_view key)
{
    for (const auto& [name, value] : table)
        if (name == key)
            return value;
    return std::nullopt;
}

Status ParseDelay(const Token& value, FaultRule& rule)
{
    const auto tilde = value.text.find('~');
    const auto delay = Whole<std::int64_t>(value.text.substr(0, tilde));
    if (!delay || *delay < 0 || *delay > MAX_DELAY_MS)
        return At(value.column, "delay=MS[~JITTER] needs MS from 0 to 3600000");
    rule.delay = std::chrono::milliseconds(*delay);
    if (tilde == std::string_view::npos)
        return {};
    const auto jitter = Whole<std::int64_t>(value.text.substr(tilde + 1));
    if (!jitter || *jitter < 0 || *jitter > MAX_DELAY_MS)
        return At(value.column + tilde + 1, "the jitter after '~' needs MS from 0 to 3600000");
    rule.jitter = std::chrono::milliseconds(*jitter);
    return {};
}

Status ParseLoss(const Token& value, FaultRule& rule)
{
    const auto slash = value.text.find('/');
    const auto start = Percent(value.text.substr(0, slash));
    if (!start || slash == std::string_view::npos)
        return At(value.column, "loss=P_START/P_STAY needs two percentages from 0 to 100");
    const auto stay = Percent(value.text.substr(slash + 1));
    if (!stay)
        return At(value.column + slash + 1, "P_STAY needs a percentage from 0 to 100");
    rule.lossStart = *start;
    rule.lossStay = *stay;
    return {};
}

Status ParseAction(const Token& token, FaultRule& rule)
{
    const auto [key, value] = KeyValue(token);
    const auto action = Named(ACTIONS, key);
    if (!action)
        return At(token.column, fmt::format("unknown action '{}' (drop, delay=MS, dup, corrupt, withhold=N, "
                                            "reorder, loss=P_START/P_STAY)",
                                            key));
    rule.action = *action;
    const bool hasValue = token.text.find('=') != std::string_view::npos;
    switch (*action) {
    case FaultAction::Drop:
    case FaultAction::Corrupt:
    case FaultAction::Reorder:
        if (hasValue)
            return At(value.column, fmt::format("{} takes no value", key));
        return {};
    case FaultAction::Delay:
        return ParseDelay(value, rule);
    case FaultAction::Dup: {
        if (!hasValue)
            return {};
        const auto copies = Whole<std::uint32_t>(value.text);
        if (!copies || *copies < 1 || *copies > MAX_COPIES)
            return At(value.column, "dup=N needs N from 1 to 16");
        rule.copies = *copies;
        return {};
    }
    case FaultAction::Withhold: {
        const auto copies = Whole<std::uint32_t>(value.text);
        if (!copies || *copies < 1 || *copies > MAX_WITHHOLD)
            return At(value.column, "withhold=N needs N from 1 to 1000000");
        rule.withhold = *copies;
        return {};
    }
    case FaultAction::Loss:
        return ParseLoss(value, rule);
    }
    return {};
}

Status ParseFrom(const Token& value, FaultRule& rule)
{
    const auto colon = value.text.find(':');
    const auto address = ParseIpv4(value.text.substr(0, colon));
    if (!address)
        return At(value.column, "from=ADDR[:PORT] needs a dotted IPv4 address");
    rule.fromAddress = *address;
    if (colon == std::string_view::npos)
        return {};
    const auto port = Whole<std::uint16_t>(value.text.substr(colon + 1));
    if (!port || *port == 0)
        return At(value.column + colon + 1, "the port after ':' needs a number from 1 to 65535");
    rule.fromPort = *port;
    return {};
}

Status ParseMatch(const Token& token, FaultRule& rule)
{
    const auto [key, value] = KeyValue(token);
    if (value.text.empty())
        return At(token.column,
                  fmt::format("'{}' is no KEY=VALUE match (comm, dev, command, from, pct)", key));
    if (key == "comm" || key == "dev") {
        const auto number = Whole<int>(value.text);
        if (!number || *number < 0 || *number > MAX_ADDRESS_NUMBER)
            return At(value.column, fmt::format("{}=N needs N from 0 to 239", key));
        (key == "comm" ? rule.comm : rule.device) = static_cast<std::uint8_t>(*number);
        return {};
    }
    if (key == "command") {
        rule.command = Named(COMMANDS, value.text);
        if (!rule.command)
            return At(value.column,
                      "command= needs online, status, fault, fault-restore, debug, ack or malformed");
        return {};
    }
    if (key == "from")
        return ParseFrom(value, rule);
    if (key == "pct") {
        const auto percent = Percent(value.text);
        if (!percent)
            return At(value.column, "pct=P needs a percentage from 0 to 100");
        rule.percent = *percent;
        return {};
    }
    return At(token.column, fmt::format("unknown match '{}' (comm, dev, command, from, pct)", key));
}

bool CommandMatches(CommandMatch match, const DecodedFrame& decoded)
{
    if (match == CommandMatch::Malformed)
        return !decoded.findings.Empty();
    if (match == CommandMatch::Ack)
        return decoded.ack;
    return !decoded.ack && decoded.size > FRAME_COMMAND &&
           decoded.kind == MATCHED_KINDS[static_cast<std::size_t>(match)];
}

} // namespace

bool FaultRule::Matches(bool up, const DecodedFrame& decoded, const Endpoint& panel) const
{
    if (direction != FaultDirection::Both && (direction == FaultDirection::Up) != up)
        return false;
    if (fromAddress && (panel.address != *fromAddress || (fromPort != 0 && panel.port != fromPort)))
        return false;
    if (comm && (decoded.size <= FRAME_COMM_NO || decoded.comm != *comm))
        return false;
    if (device && (decoded.size <= FRAME_DEVICE_NO || decoded.device != *device))
        return false;
    return !command || CommandMatches(*command, decoded);
}

std::string_view FaultActionKey(FaultAction action)
{
    return ACTIONS[static_cast<std::size_t>(action)].first;
}

Result<FaultRule> ParseFaultRule(std::string_view text)
{
    const auto tokens = Tokens(text);
    if (tokens.empty())
        return At(1, "an empty rule (DIRECTION ACTION [KEY=VALUE...])");
    FaultRule rule;
    const auto direction = Named(DIRECTIONS, tokens[0].text);
    if (!direction)
        return At(tokens[0].column, fmt::format("unknown direction '{}' (up, down, both)", tokens[0].text));
    rule.direction = *direction;
    if (tokens.size() < 2)
        return At(text.size() + 1, "an action is missing after the direction");
    if (auto action = ParseAction(tokens[1], rule); !action)
        return Failure(action.error());
    for (std::size_t i = 2; i < tokens.size(); ++i)
        if (auto match = ParseMatch(tokens[i], rule); !match)
            return Failure(match.error());
    const std::size_t first = tokens.front().column - 1;
    const Token& last = tokens.back();
    rule.text = std::string(text.substr(first, last.column - 1 + last.text.size() - first));
    return rule;
}

Result<std::vector<FaultRule>> ParseFaultRules(std::string_view text)
{
    std::vector<FaultRule> rules;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const auto tokens = Tokens(line);
        if (tokens.empty() || tokens.front().text.front() == '#')
            continue;
        auto rule = ParseFaultRule(line);
        if (!rule)
            return Failure(fmt::format("line {}, {}", lineNumber, rule.error()));
        rules.push_back(std::move(*rule));
    }
    return rules;
}

Result<std::vector<FaultRule>> ParseRuleOptions(std::span<const std::string> texts)
{
    std::vector<FaultRule> rules;
    for (const std::string& text : texts) {
        auto rule = ParseFaultRule(text);
        if (!rule)
            return Failure(fmt::format("--rule '{}': {}", text, rule.error()));
        rules.push_back(std::move(*rule));
    }
    return rules;
}

Result<std::vector<FaultRule>> ReadFaultRules(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        return Failure(fmt::format("cannot read the rules file {}", path));
    std::ostringstream text;
    text << file.rdbuf();
    auto rules = ParseFaultRules(text.str());
    if (!rules)
        return Failure(fmt::format("{}: {}", path, rules.error()));
    return rules;
}

} // namespace veltrano
