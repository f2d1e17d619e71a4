#pragma once

#include "protocol/frame_decoder.h"

#include <QString>

#include <string>
#include <string_view>

// The texts the Qt-free layers hand to the window, in the window's language. The event catalogue and the
// decoder stay Chinese for the companion; their texts are translated here, by their Chinese source.

// The event list's row; the catalogue's Chinese while the window is Chinese.
QString TranslatedEventName(int index);
// A DecodingWording: one fixed piece of a frame's decoding.
std::string TranslatedDecodingPiece(std::string_view chinese);
// The decoding of a frame as a tooltip shows it.
QString TranslatedDescription(const veltrano::DecodedFrame& frame);
