#pragma once

#include <QRect>

#include <span>

class QFont;

// Identifiers of the console's window resources.
inline constexpr int IDD_MAIN = 102;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

// Window-frame commands of the system menu.
inline constexpr unsigned SC_MINIMIZE = 0xF020;
inline constexpr unsigned SC_CLOSE = 0xF060;

// Identifier of the template's labels and group boxes.
inline constexpr int IDC_STATIC = -1;

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
    int id{IDC_STATIC};
    const char* name{""}; // objectName: the IDC_ name, or a descriptive one for labels and frames
    ControlKind kind{ControlKind::Label};
    const char* caption{""}; // UTF-8
    QRect rect;
};

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
