#include "link/rules_control.h"

#include "link/json_line.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace veltrano {

namespace {

ControlAnswer Error(int status, std::string_view message)
{
    ControlAnswer answer{status, {}};
    JsonLine(answer.body).Text("error", message).End();
    return answer;
}

ControlReading Refused(int status, std::string_view message)
{
    return {std::nullopt, Error(status, message)};
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::ranges::transform(lower, lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// The Content-Length of the header lines; 0 when none; none when it is no number or is sent twice.
std::optional<std::size_t> ContentLength(std::string_view headers, bool& chunked)
{
    std::optional<std::size_t> length;
    bool seen = false;
    while (!headers.empty()) {
        const auto end = headers.find("\r\n");
        const std::string_view line = headers.substr(0, end);
        headers = end == std::string_view::npos ? std::string_view{} : headers.substr(end + 2);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string name = Lower(line.substr(0, colon));
        const std::string_view value = Trimmed(line.substr(colon + 1));
        if (name == "transfer-encoding")
            chunked = true;
        if (name != "content-length")
            continue;
        std::size_t number = 0;
        const auto [ptr, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (seen || error != std::errc() || ptr != value.data() + value.size())
            return std::nullopt;
        seen = true;
        length = number;
    }
    return length.value_or(0);
}

void AppendRule(std::string& out, const FaultEngine::Rule& rule)
{
    JsonLine line(out);
    line.Number("id", rule.number)
        .Text("rule", rule.rule.text)
        .Number("matched", rule.matched)
        .Number("acted", rule.acted);
    line.End();
    out.pop_back(); // the line's newline: the object sits in an array
}

ControlAnswer ListRules(const FaultEngine& engine)
{
    ControlAnswer answer{200, "{\"rules\":["};
    bool first = true;
    for (const auto& rule : engine.Rules()) {
        if (!first)
            answer.body += ',';
        first = false;
        AppendRule(answer.body, rule);
    }
    answer.body += "]}\n";
    return answer;
}

} // namespace

ControlReading ReadControlRequest(std::string_view received)
{
    const auto headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        if (received.size() >= MAX_CONTROL_REQUEST)
            return Refused(413, "request too large");
        return {};
    }
    const std::string_view head = received.substr(0, headEnd);
    const auto lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || lastSpace == firstSpace)
        return Refused(400, "a request line is METHOD PATH HTTP/1.1");
    const std::string_view version = requestLine.substr(lastSpace + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return Refused(505, "HTTP/1.1 only");
    bool chunked = false;
    const auto length = ContentLength(
        lineEnd == std::string_view::npos ? std::string_view{} : head.substr(lineEnd + 2), chunked);
    if (chunked)
        return Refused(411, "a body needs a Content-Length");
    if (!length)
        return Refused(400, "a bad Content-Length");
    if (headEnd + 4 + *length > MAX_CONTROL_REQUEST)
        return Refused(413, "request too large");
    if (received.size() < headEnd + 4 + *length)
        return {};
    ControlRequest request{std::string(requestLine.substr(0, firstSpace)),
                           std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1)),
                           std::string(received.substr(headEnd + 4, *length))};
    return {std::move(request), std::nullopt};
}

ControlAnswer AnswerControlRequest(FaultEngine& engine, const ControlRequest& request, int origin)
{
    const std::string_view path = request.path;
    if (path == "/rules") {
        if (request.method == "GET")
            return ListRules(engine);
        if (request.method == "DELETE") {
            engine.Clear();
            return {204, {}};
        }
        if (request.method == "POST") {
            auto rule = ParseFaultRule(Trimmed(request.body));
            if (!rule)
                return Error(400, rule.error());
            const std::string text = rule->text;
            const std::uint32_t number = engine.Add(std::move(*rule), origin);
            ControlAnswer answer{201, {}};
            JsonLine(answer.body).Number("id", number).Text("rule", text).End();
            return answer;
        }
        return Error(405, "GET, POST or DELETE on /rules");
    }
    constexpr std::string_view PREFIX = "/rules/";
    if (path.starts_with(PREFIX)) {
        const std::string_view digits = path.substr(PREFIX.size());
        std::uint32_t number = 0;
        const auto [ptr, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error != std::errc() || ptr != digits.data() + digits.size())
            return Error(404, "no such rule");
        if (request.method != "DELETE")
            return Error(405, "DELETE on /rules/N");
        if (!engine.Remove(number))
            return Error(404, fmt::format("no rule {}", number));
        return {204, {}};
    }
    return Error(404, "the API is /rules and /rules/N");
}

std::string FormatControlAnswer(const ControlAnswer& answer)
{
    std::string_view reason = "OK";
    switch (answer.status) {
    case 201:
        reason = "Created";
        break;
    case 204:
        reason = "No Content";
        break;
    case 400:
        reason = "Bad Request";
        break;
    case 404:
        reason = "Not Found";
        break;
    case 405:
        reason = "Method Not Allowed";
        break;
    case 408:
        reason = "Request Timeout";
        break;
    case 411:
        reason = "Length Required";
        break;
    case 413:
        reason = "Content Too Large";
        break;
    case 505:
        reason = "HTTP Version Not Supported";
        break;
    default:
        break;
    }
    std::string out = fmt::format("HTTP/1.1 {} {}\r\nConnection: close\r\n", answer.status, reason);
    if (answer.status != 204)
        out += fmt::format("Content-Type: application/json\r\nContent-Length: {}\r\n", answer.body.size());
    out += "\r\n";
    if (answer.status != 204)
        out += answer.body;
    return out;
}

} // namespace veltrano
