#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// A field's text as a decimal integer: optional blanks, an optional sign, digits, optional blanks.
// A number beyond int saturates, so that it fails the range check rather than the integer check.
std::optional<int> ParseDialogInteger(QStringView text);

// The standard prompts of a failed exchange.
QString IntegerPrompt();
QString RangePrompt(int minValue, int maxValue);
QString MaxCharsPrompt(int maxChars);
