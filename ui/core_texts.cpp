#include "ui/core_texts.h"

#include "sim/event_catalogue.h"

#include <QCoreApplication>

using namespace veltrano;

// The core marks these texts where it writes them (VELTRANO_TEXT), so lupdate finds them there.

QString TranslatedEventName(int index)
{
    const EventRow* row = FindEventRow(index);
    return row != nullptr ? QCoreApplication::translate("EventCatalogue", row->name)
                          : QCoreApplication::translate("EventCatalogue", "未知");
}

std::string TranslatedDecodingPiece(std::string_view chinese)
{
    const std::string source(chinese);
    return QCoreApplication::translate("FrameDecoding", source.c_str()).toStdString();
}

QString TranslatedDescription(const DecodedFrame& frame)
{
    return QString::fromStdString(DescribeFrame(frame, &TranslatedDecodingPiece));
}
