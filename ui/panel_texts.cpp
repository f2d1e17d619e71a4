#include "ui/panel_texts.h"

#include <string>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr std::string_view LIST_SEPARATOR = "、";

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString ZoneListText(std::uint8_t bits)
{
    std::string text;
    veltrano::AppendZoneList(text, bits, LIST_SEPARATOR);
    return FromUtf8(text);
}

QString DeviceFlagsText(std::uint8_t flags)
{
    std::string text;
    veltrano::AppendFlagWordsZh(text, flags, LIST_SEPARATOR);
    return FromUtf8(text);
}

QString StatusBytesText(const StatusBytes& status)
{
    return QString::fromStdString(FormatBytesHex(status));
}

QString EventNameText(const veltrano::PanelEvent& event)
{
    return FromUtf8(veltrano::EventNameZh(event));
}

QString EventDetailText(const veltrano::PanelEvent& event)
{
    if (event.row == veltrano::STATUS_BITS_EVENT) {
        // The Chinese text names the byte and bits after the event's own name.
        std::string text;
        veltrano::AppendEventTextZh(text, event);
        const std::string_view name = veltrano::EventNameZh(event);
        const std::string_view detail = std::string_view(text).substr(std::min(text.size(), name.size()));
        return FromUtf8(detail).trimmed();
    }
    return event.zone != 0 ? QString::number(event.zone) : QString();
}
