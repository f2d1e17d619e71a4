#pragma once

#include "protocol/frame_decoder.h"

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltrano {

// One JSON object on one line, appended to a buffer that a busy log reuses: the only place the
// companion's JSON is written. Keys are plain ASCII given by the caller; texts are escaped.
//
//     JsonLine(out).Text("type", "frame").Number("len", 12).Bool("ack", false).End();
class JsonLine final
{
public:
    explicit JsonLine(std::string& out);

    JsonLine& Text(std::string_view key, std::string_view value);
    JsonLine& Number(std::string_view key, std::int64_t value);
    JsonLine& Number(std::string_view key, std::uint64_t value);
    JsonLine& Number(std::string_view key, double value);
    template <std::integral T>
    requires(!std::same_as<T, bool>) JsonLine& Number(std::string_view key, T value)
    {
        if constexpr (std::is_signed_v<T>)
            return Number(key, static_cast<std::int64_t>(value));
        else
            return Number(key, static_cast<std::uint64_t>(value));
    }
    JsonLine& Bool(std::string_view key, bool value);
    JsonLine& Null(std::string_view key);
    // A value that is JSON already: an array or object the caller built with the helpers below.
    JsonLine& Raw(std::string_view key, std::string_view json);
    // A key whose value the caller appends next, to the same buffer.
    std::string& Key(std::string_view key);
    // Closes the object and the line.
    void End();

private:
    std::string& m_out;
    bool m_first{true};
};

// `"text"` with JSON's escapes; bytes beyond ASCII pass as they are (the texts are UTF-8).
void AppendJsonString(std::string& out, std::string_view text);
// ["key",...]: the keys of the names whose mask is set in `bits`, in the names' order.
void AppendJsonKeys(std::string& out, unsigned bits, std::span<const NamedBit> names);

} // namespace veltrano
