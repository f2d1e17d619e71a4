#pragma once

#include <cstdint>

namespace veltrano {

// How a command writes what it has to say: chosen once per command, by --jsonl.
enum class OutputFormat : std::uint8_t
{
    Text,      // a line per record, for a person
    JsonLines, // one JSON object per line, each in the frame schema
};

} // namespace veltrano
