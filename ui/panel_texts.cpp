#include "ui/panel_texts.h"

#include "sim/event_catalogue.h"
#include "ui/core_texts.h"

#include <QCoreApplication>

#include <algorithm>
#include <string>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

QString ListSeparator()
{
    return QCoreApplication::translate("PanelTexts", "、");
}

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString ZoneListText(std::uint8_t bits)
{
    std::string text;
    veltrano::AppendZoneList(text, bits, ",");
    return FromUtf8(text).replace(u',', ListSeparator());
}

// A flag's word is the catalogue row that sets it, in the window's language.
QString DeviceFlagsText(std::uint8_t flags)
{
    QStringList words;
    for (int bit = 0; bit < 8; ++bit) {
        if ((flags & (1U << bit)) == 0)
            continue;
        const std::string_view chinese = veltrano::FlagWordZh(bit);
        const auto row = std::find_if(EVENT_CATALOGUE.begin(), EVENT_CATALOGUE.end(),
                                      [&](const EventRow& r) { return chinese == r.name; });
        words.append(row != EVENT_CATALOGUE.end()
                         ? TranslatedEventName(static_cast<int>(row - EVENT_CATALOGUE.begin()))
                         : QCoreApplication::translate("PanelTexts", "位%1").arg(bit));
    }
    return words.join(ListSeparator());
}

QString StatusBytesText(const StatusBytes& status)
{
    return QString::fromStdString(FormatBytesHex(status));
}

QString EventNameText(const veltrano::PanelEvent& event)
{
    return event.row < EVENT_TYPE_COUNT ? TranslatedEventName(event.row)
                                        : QCoreApplication::translate("PanelTexts", "未知状态位");
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
