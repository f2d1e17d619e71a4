#pragma once

#include <QRect>

#include <span>

class QFont;

enum class ControlKind
{
    PushButton,
    NumberEdit,
    TextEdit,
    LogList,
    EventList,
    Label,
    GroupBox,
};

// One control of a dialog template; the rectangle is in dialog units.
struct ControlTemplate
{
    const char* name{""}; // objectName: the IDC_ name, or a descriptive one for labels and frames
    ControlKind kind{ControlKind::Label};
    const char* caption{""}; // UTF-8
    QRect rect;
};

// Labels and group boxes take no input and no focus.
constexpr bool IsStatic(ControlKind kind)
{
    return kind == ControlKind::Label || kind == ControlKind::GroupBox;
}

// The console's size in dialog units and its 33 controls in template (= tab) order.
inline constexpr QSize MAIN_TEMPLATE_SIZE{701, 382};
std::span<const ControlTemplate> MainTemplateControls();

// The About box: 235 x 55 dialog units.
inline constexpr QSize ABOUT_TEMPLATE_SIZE{235, 55};

// Pixels per 4 horizontal and per 8 vertical dialog units of a font.
struct DialogBaseUnits
{
    int x{1}; // average character width
    int y{1}; // character height
};
DialogBaseUnits BaseUnitsOf(const QFont& font);

// Dialog units to pixels, rounded to the nearest pixel.
QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base);
QSize DialogUnitsToPixels(QSize units, DialogBaseUnits base);

// The dialogs' font: 9-point SimSun, or an installed CJK face where it is missing.
QFont DialogFont();
