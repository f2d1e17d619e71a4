#include "engine/messages.h"

#include <QCoreApplication>

// Each text is the source of its translation: Chinese unless the window installs another language.

QString SourcePortEmptyMessage()
{
    return QCoreApplication::translate("Messages", "源端口不能为空");
}

QString DeviceAddressRangeMessage()
{
    return QCoreApplication::translate("Messages", "所填写的设备地址范围不正确");
}

QString DestinationInvalidMessage()
{
    return QCoreApplication::translate("Messages", "目的ip或目的端口为空，或错误！");
}

QString CommandFormatMessage()
{
    return QCoreApplication::translate("Messages", "输入的命令格式不正确");
}

QString SourcePortOpenFailedMessage()
{
    return QCoreApplication::translate("Messages", "源端口打开失败，可能已被占用");
}
