#pragma once

#include <QString>

inline constexpr int EVENT_TYPE_COUNT = 23;

// Display name of a catalogue row; "未知" outside 0 to 22.
QString EventTypeName(int index);
