#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

enum class DecodeStyle : std::uint8_t
{
    Fields,  // ASCII, a line per field
    Chinese, // the window's description
    Jsonl,
};

// `decode`: each frame's display line and summary, then its fields. The texts are checked before anything is
// printed; without texts, lines are read from `in` (blank ones skipped) and decoded as they come, up to the
// first malformed one. 0, or 2 after a malformed text with its reason on stderr.
int RunDecode(std::span<const std::string> texts, DecodeStyle style, std::FILE* in);

// `events`: index, key, Chinese name and frame kind of every event.
int RunEvents(bool jsonl);
