#include "ui/core_translations.h"

#include "sim/event_catalogue.h"

#include <QCoreApplication>

using namespace veltrano;

namespace {

// Sources for lupdate: the catalogue's names and every fixed piece the decoder writes.
[[maybe_unused]] constexpr const char* EVENT_NAMES[] = {
    QT_TRANSLATE_NOOP("EventCatalogue", "设备在线命令"), QT_TRANSLATE_NOOP("EventCatalogue", "防区布防"),
    QT_TRANSLATE_NOOP("EventCatalogue", "防区撤防"),     QT_TRANSLATE_NOOP("EventCatalogue", "防区报警"),
    QT_TRANSLATE_NOOP("EventCatalogue", "防区报警恢复"), QT_TRANSLATE_NOOP("EventCatalogue", "设备布防"),
    QT_TRANSLATE_NOOP("EventCatalogue", "设备撤防"),     QT_TRANSLATE_NOOP("EventCatalogue", "设备故障"),
    QT_TRANSLATE_NOOP("EventCatalogue", "设备故障恢复"), QT_TRANSLATE_NOOP("EventCatalogue", "紧急求助"),
    QT_TRANSLATE_NOOP("EventCatalogue", "紧急求助恢复"), QT_TRANSLATE_NOOP("EventCatalogue", "被撬"),
    QT_TRANSLATE_NOOP("EventCatalogue", "被撬恢复"),     QT_TRANSLATE_NOOP("EventCatalogue", "欠压"),
    QT_TRANSLATE_NOOP("EventCatalogue", "欠压恢复"),     QT_TRANSLATE_NOOP("EventCatalogue", "电池异常"),
    QT_TRANSLATE_NOOP("EventCatalogue", "电池异常恢复"), QT_TRANSLATE_NOOP("EventCatalogue", "有ac"),
    QT_TRANSLATE_NOOP("EventCatalogue", "无ac"),         QT_TRANSLATE_NOOP("EventCatalogue", "测试模式"),
    QT_TRANSLATE_NOOP("EventCatalogue", "工作模式"),     QT_TRANSLATE_NOOP("EventCatalogue", "触发"),
    QT_TRANSLATE_NOOP("EventCatalogue", "触发恢复"),
};
[[maybe_unused]] constexpr const char* DECODING_PIECES[] = {
    QT_TRANSLATE_NOOP("FrameDecoding", "："),
    QT_TRANSLATE_NOOP("FrameDecoding", "、"),
    QT_TRANSLATE_NOOP("FrameDecoding", "字节"),
    QT_TRANSLATE_NOOP("FrameDecoding", "确认"),
    QT_TRANSLATE_NOOP("FrameDecoding", "命令"),
    QT_TRANSLATE_NOOP("FrameDecoding", "长度字节"),
    QT_TRANSLATE_NOOP("FrameDecoding", "数据报"),
    QT_TRANSLATE_NOOP("FrameDecoding", "通讯机号"),
    QT_TRANSLATE_NOOP("FrameDecoding", "设备编号"),
    QT_TRANSLATE_NOOP("FrameDecoding", "保留字节"),
    QT_TRANSLATE_NOOP("FrameDecoding", "无"),
    QT_TRANSLATE_NOOP("FrameDecoding", "防区报警"),
    QT_TRANSLATE_NOOP("FrameDecoding", "设备标志"),
    QT_TRANSLATE_NOOP("FrameDecoding", "防区撤防"),
    QT_TRANSLATE_NOOP("FrameDecoding", "校验和"),
    QT_TRANSLATE_NOOP("FrameDecoding", "正确"),
    QT_TRANSLATE_NOOP("FrameDecoding", "错误，应为"),
    QT_TRANSLATE_NOOP("FrameDecoding", "，实为"),
    QT_TRANSLATE_NOOP("FrameDecoding", "无校验和"),
    QT_TRANSLATE_NOOP("FrameDecoding", "缺失"),
    QT_TRANSLATE_NOOP("FrameDecoding", "问题"),
    QT_TRANSLATE_NOOP("FrameDecoding", "设备在线"),
    QT_TRANSLATE_NOOP("FrameDecoding", "状态"),
    QT_TRANSLATE_NOOP("FrameDecoding", "故障"),
    QT_TRANSLATE_NOOP("FrameDecoding", "故障恢复"),
    QT_TRANSLATE_NOOP("FrameDecoding", "调试"),
    QT_TRANSLATE_NOOP("FrameDecoding", "未知命令"),
    QT_TRANSLATE_NOOP("FrameDecoding", "长度字节与数据报长度不符"),
    QT_TRANSLATE_NOOP("FrameDecoding", "校验和错误"),
    QT_TRANSLATE_NOOP("FrameDecoding", "保留字节不为零"),
    QT_TRANSLATE_NOOP("FrameDecoding", "通讯机号超出范围"),
    QT_TRANSLATE_NOOP("FrameDecoding", "设备编号超出范围"),
    QT_TRANSLATE_NOOP("FrameDecoding", "帧不完整"),
    QT_TRANSLATE_NOOP("FrameDecoding", "撤防"),
    QT_TRANSLATE_NOOP("FrameDecoding", "紧急求助"),
    QT_TRANSLATE_NOOP("FrameDecoding", "被撬"),
    QT_TRANSLATE_NOOP("FrameDecoding", "电池异常"),
    QT_TRANSLATE_NOOP("FrameDecoding", "无交流电"),
    QT_TRANSLATE_NOOP("FrameDecoding", "测试模式"),
    QT_TRANSLATE_NOOP("FrameDecoding", "欠压"),
};

} // namespace

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
