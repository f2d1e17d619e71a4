#pragma once

// Marks a text of the core that the window shows in its language. The core writes it in Simplified Chinese
// and stays free of Qt; lupdate, told that this is QT_TRANSLATE_NOOP (ui/CMakeLists.txt), collects it under
// `context` where it is written, and the window translates it by its Chinese. Expands to the text itself.
#define VELTRANO_TEXT(context, text) text
