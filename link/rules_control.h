#pragma once

#include "link/fault_engine.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// The proxy's control API, without its socket: an HTTP/1.1 request read from what arrived so far, and the
// answer to it against the fault engine's rules. One request per connection; the answer closes it.

// The largest request taken, head and body: a rule is a line.
inline constexpr std::size_t MAX_CONTROL_REQUEST = 8192;

struct ControlRequest
{
    std::string method;
    std::string path;
    std::string body;
};

struct ControlAnswer
{
    int status{200};
    std::string body; // JSON, or empty
};

// A whole request; none while more bytes are needed; an answer of 400, 411, 413 or 505 for one that
// cannot be read.
struct ControlReading
{
    std::optional<ControlRequest> request;
    std::optional<ControlAnswer> refusal;
};
ControlReading ReadControlRequest(std::string_view received);

// GET /rules: the rules with their numbers and counts; POST /rules: a rule string in the body, 201 and
// {"id":N,"rule":"..."}, or 400 naming what is wrong; DELETE /rules/N: 204 (404 when there is none);
// DELETE /rules: every rule, 204. Rules the API adds are marked `origin`.
ControlAnswer AnswerControlRequest(FaultEngine& engine, const ControlRequest& request, int origin);

// The answer as it goes on the wire, with its status line and headers.
std::string FormatControlAnswer(const ControlAnswer& answer);

} // namespace veltrano
