#include "tests/support/hex_text.h"

#include "protocol/frame.h"

#include <sstream>

using namespace veltrano;

std::vector<std::uint8_t> Bytes(std::string_view hex)
{
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : hex) {
        if (!IsHexDigit(c))
            continue;
        const int value = HexDigitValue(c);
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    bytes.shrink_to_fit();
    return bytes;
}

std::vector<std::uint8_t> BytesOfLine(const QString& hex)
{
    return Bytes(hex.toStdString());
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    return FormatBytesHex(bytes);
}

std::vector<std::string> Lines(std::string_view text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        lines.emplace_back(text.substr(at, end - at));
        at = end == std::string_view::npos ? text.size() : end + 1;
    }
    return lines;
}

std::map<std::string, std::string> SummaryFields(std::span<const std::string> lines)
{
    constexpr std::string_view prefix = "summary: ";
    std::map<std::string, std::string> fields;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        fields.clear();
        std::istringstream words(line.substr(prefix.size()));
        std::string word;
        while (words >> word) {
            const auto equals = word.find('=');
            if (equals != std::string::npos)
                fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return fields;
}
