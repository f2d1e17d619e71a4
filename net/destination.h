#pragma once

#include "protocol/endpoint.h"

#include <QString>

#include <cstdint>
#include <optional>


// The destination rule on the two texts of the form: the address text must be at least 8 bytes as GBK
// counts them and convert to a non-zero address, the port text must not be empty. The address converts as
// inet_addr does; a text holding a NUL or a character beyond ASCII is no address (all ones), never the
// address its leading part would give.
std::optional<veltrano::Endpoint> ResolveDestinationText(const QString& addressText, const QString& portText);

// Byte length of the text in GBK: 1 for ASCII, 2 for every other character (a surrogate pair is one
// character, a lone surrogate counts as one too).
int GbkByteLength(const QString& text);

// The C runtime's atoi, without undefined behaviour: a value beyond int saturates. Only ASCII blanks and
// digits count, and a NUL ends the number like any other character.
int AtoiSaturating(const QString& text);
