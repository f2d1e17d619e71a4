#include "engine/messages.h"

using namespace Qt::Literals::StringLiterals;

QString SourcePortEmptyMessage()
{
    return u"源端口不能为空"_s;
}

QString DeviceAddressRangeMessage()
{
    return u"所填写的设备地址范围不正确"_s;
}

QString DestinationInvalidMessage()
{
    return u"目的ip或目的端口为空，或错误！"_s;
}

QString CommandFormatMessage()
{
    return u"输入的命令格式不正确"_s;
}

QString SourcePortOpenFailedMessage()
{
    return u"源端口打开失败，可能已被占用"_s;
}
