#include "ui/dialog_template.h"

#include <QFont>
#include <QFontMetrics>
#include <QStringList>

#include <algorithm>
#include <array>

namespace {

using K = ControlKind;

// Template IDD_MAIN: order is creation and tab order. The captions are the sources of their translations;
// the sent list's label shares its caption with the Send buttons and is translated apart from them.
constexpr std::array<ControlTemplate, 33> MAIN_CONTROLS{{
    {"IDC_DEST_IP", K::TextEdit, "", {57, 80, 106, 14}},
    {"IDC_DEST_PORT", K::NumberEdit, "", {221, 80, 50, 14}},
    {"IDC_START", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "开始"), {180, 24, 50, 14}},
    {"IDC_STOP", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "停止"), {250, 24, 50, 14}},
    {"IDC_EVENT_TYPE", K::EventList, "", {160, 230, 69, 192}},
    {"IDC_SEND_EVENT", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "发送"), {250, 230, 50, 14}},
    {"commNoLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "通讯机号"), {21, 218, 33, 8}},
    {"deviceNoLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "设备编号"), {66, 218, 33, 8}},
    {"zoneNoLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "防区编号"), {112, 218, 33, 8}},
    {"eventTypeLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "事件类型"), {164, 218, 33, 8}},
    {"destIpLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "ip地址"), {25, 82, 25, 8}},
    {"destPortLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "目的端口"), {183, 82, 33, 8}},
    {"IDC_COMM_NO", K::NumberEdit, "", {20, 230, 32, 14}},
    {"IDC_DEVICE_NO", K::NumberEdit, "", {65, 230, 32, 14}},
    {"IDC_ZONE_NO", K::NumberEdit, "", {111, 230, 32, 14}},
    {"IDC_AUTO_SEND", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "发送"), {180, 143, 50, 14}},
    {"IDC_AUTO_STOP", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "停止"), {250, 143, 50, 14}},
    {"autoSendGroup", K::GroupBox, QT_TRANSLATE_NOOP("CHostCenterDlg", "自动发送"), {5, 126, 306, 39}},
    {"eventGroup", K::GroupBox, QT_TRANSLATE_NOOP("CHostCenterDlg", "指定消息发送"), {5, 191, 306, 73}},
    {"IDC_RECV_LIST", K::LogList, "", {323, 154, 334, 217}},
    {"IDC_CLEAR_RECV", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "清除"), {663, 210, 23, 14}},
    {"IDC_SENT_LIST", K::LogList, "", {323, 17, 334, 132}},
    {"IDC_CLEAR_SENT", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "清除"), {663, 85, 23, 14}},
    {"sentListLabel", K::Label, "发送", {663, 63, 17, 8}},
    {"recvListLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "接收"), {663, 192, 17, 8}},
    {"IDC_SEND_CUSTOM", K::PushButton, QT_TRANSLATE_NOOP("CHostCenterDlg", "发送"), {250, 341, 50, 14}},
    {"IDC_CUSTOM_TEXT", K::TextEdit, "", {13, 311, 286, 14}},
    {"customGroup", K::GroupBox, QT_TRANSLATE_NOOP("CHostCenterDlg", "自定义命令"), {5, 290, 310, 79}},
    {"formatLabel",
     K::Label,
     QT_TRANSLATE_NOOP("CHostCenterDlg", "格式：0b 00 02 00 00 00 0f 41 01 00 5e"),
     {28, 343, 152, 8}},
    {"destinationGroup", K::GroupBox, QT_TRANSLATE_NOOP("CHostCenterDlg", "目的ip和端口"), {5, 62, 306, 43}},
    {"IDC_SOURCE_PORT", K::NumberEdit, "", {106, 24, 50, 14}},
    {"sourcePortLabel", K::Label, QT_TRANSLATE_NOOP("CHostCenterDlg", "源端口"), {74, 26, 25, 8}},
    {"IDC_DEBUG", K::PushButton, "debug", {250, 174, 50, 14}},
}};

// Round half up, as the platform's dialog-unit conversion does for non-negative values.
constexpr int Scale(int units, int base, int divisor)
{
    return (units * base + divisor / 2) / divisor;
}

} // namespace

std::span<const ControlTemplate> MainTemplateControls()
{
    return MAIN_CONTROLS;
}

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    // The average character width of dialog units is the rounded mean advance of the 52 Latin letters,
    // not the font's own average, which for CJK fonts counts their full-width glyphs too.
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {std::max(1, (letters / 26 + 1) / 2), std::max(1, metrics.height())};
}

QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base)
{
    return {Scale(units.x(), base.x, 4), Scale(units.y(), base.y, 8), Scale(units.width(), base.x, 4),
            Scale(units.height(), base.y, 8)};
}

QSize DialogUnitsToPixels(QSize units, DialogBaseUnits base)
{
    return {Scale(units.width(), base.x, 4), Scale(units.height(), base.y, 8)};
}

QFont DialogFont()
{
    QFont font;
    const QStringList families{QStringLiteral("SimSun"),
                               QString::fromUtf8("宋体"),
                               QStringLiteral("WenQuanYi Micro Hei"),
                               QStringLiteral("WenQuanYi Zen Hei"),
                               QStringLiteral("Noto Sans CJK SC"),
                               QStringLiteral("Noto Sans SC")};
    font.setFamilies(families);
    font.setPointSize(9);
    return font;
}
