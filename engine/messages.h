#pragma once

#include <QString>

// The messages the system shows to the operator.
QString SourcePortEmptyMessage();    // 源端口不能为空
QString DeviceAddressRangeMessage(); // 所填写的设备地址范围不正确
QString DestinationInvalidMessage(); // 目的ip或目的端口为空，或错误！
QString CommandFormatMessage();      // 输入的命令格式不正确
// Start whose socket could not be opened or bound.
QString SourcePortOpenFailedMessage(); // 源端口打开失败，可能已被占用
