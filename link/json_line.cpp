#include "link/json_line.h"

#include <charconv>
#include <cmath>

namespace veltrano {

namespace {

template <typename T>
void AppendNumber(std::string& out, T value)
{
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

} // namespace

void AppendJsonKeys(std::string& out, unsigned bits, std::span<const NamedBit> names)
{
    out += '[';
    bool first = true;
    for (const NamedBit& name : names) {
        if ((bits & name.mask) == 0)
            continue;
        if (!first)
            out += ',';
        AppendJsonString(out, name.key);
        first = false;
    }
    out += ']';
}

void AppendJsonString(std::string& out, std::string_view text)
{
    static constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += HEX[byte >> 4];
            out += HEX[byte & 0x0F];
        } else {
            out += c;
        }
    }
    out += '"';
}

JsonLine::JsonLine(std::string& out) : m_out(out)
{
    m_out += '{';
}

std::string& JsonLine::Key(std::string_view key)
{
    if (!m_first)
        m_out += ',';
    m_first = false;
    m_out += '"';
    m_out += key;
    m_out += "\":";
    return m_out;
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view value)
{
    AppendJsonString(Key(key), value);
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::int64_t value)
{
    AppendNumber(Key(key), value);
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::uint64_t value)
{
    AppendNumber(Key(key), value);
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, double value)
{
    // JSON has no infinities or NaN.
    if (!std::isfinite(value))
        return Null(key);
    AppendNumber(Key(key), value);
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value)
{
    Key(key) += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Null(std::string_view key)
{
    Key(key) += "null";
    return *this;
}

JsonLine& JsonLine::Raw(std::string_view key, std::string_view json)
{
    Key(key) += json;
    return *this;
}

void JsonLine::End()
{
    m_out += "}\n";
}

} // namespace veltrano
