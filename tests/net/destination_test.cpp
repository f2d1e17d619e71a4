#include "net/destination.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(ResolveDestinationText, AppliesTheLengthZeroAndPortRules)
{
    const QString nul(QChar(u'\0'));
    const struct
    {
        QString address;
        QString port;
        bool accepted;
        std::uint32_t hostAddress; // expected, host byte order; 0 when refused
        std::uint16_t hostPort;
    } cases[] = {
        // The address text: at least 8 bytes as GBK counts them, then inet_addr, refused when 0.
        {u"1.2.3.4"_s, u"8015"_s, false, 0, 0},
        {u"1.2.3.45"_s, u"8015"_s, true, 0x0102032D, 8015},
        {QString(), u"8015"_s, false, 0, 0},
        {u"测试地址"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        {u"测试地"_s, u"8015"_s, false, 0, 0},
        {u"éééé"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        {u"😀😀😀"_s, u"8015"_s, false, 0, 0}, // a surrogate pair is one character
        // A lone surrogate counts as one character too.
        {QString(QChar(0xD800)) + u"aaaaaa"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        {u"0.0.0.0"_s, u"8015"_s, false, 0, 0},
        {u"0.0.0.00"_s, u"8015"_s, false, 0, 0},
        {u"abcdefgh"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        {u"255.255.255.255"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        {u"1.2.3.4"_s + nul, u"1"_s, true, 0xFFFFFFFF, 1}, // a NUL never cuts the text into an address
        {u"0.0.0.0"_s + nul + u"1"_s, u"1"_s, true, 0xFFFFFFFF, 1},
        // The port text: not empty, then atoi saturating at the int range, then its low 16 bits.
        {u"1.2.3.45"_s, QString(), false, 0, 0},
        {u"1.2.3.45"_s, u" "_s, true, 0x0102032D, 0},
        {u"1.2.3.45"_s, u"abc"_s, true, 0x0102032D, 0},
        {u"1.2.3.45"_s, u"70000"_s, true, 0x0102032D, 70000 & 0xFFFF},
        {u"1.2.3.45"_s, u"-1"_s, true, 0x0102032D, 65535},
        {u"1.2.3.45"_s, u"++1"_s, true, 0x0102032D, 0},
        {u"1.2.3.45"_s, u"- 5"_s, true, 0x0102032D, 0},
        {u"1.2.3.45"_s, u"\t\n\v\f\r 42x"_s, true, 0x0102032D, 42},
        {u"1.2.3.45"_s, u"  -0012abc"_s, true, 0x0102032D, 0x10000 - 12},
        {u"1.2.3.45"_s, u"\u00A042"_s, true, 0x0102032D, 0}, // no-break space is not a C blank
        {u"1.2.3.45"_s, u"１２"_s, true, 0x0102032D, 0},     // fullwidth digits are not digits
        {u"1.2.3.45"_s, u"12"_s + nul + u"3"_s, true, 0x0102032D, 12},
        {u"1.2.3.45"_s, u"000000000000000000000000000007"_s, true, 0x0102032D, 7},
        {u"1.2.3.45"_s, u"2147483647"_s, true, 0x0102032D, 0xFFFF},
        {u"1.2.3.45"_s, u"2147483648"_s, true, 0x0102032D, 0xFFFF}, // INT_MAX
        {u"1.2.3.45"_s, u"-2147483649"_s, true, 0x0102032D, 0},     // INT_MIN
        {u"1.2.3.45"_s, u"99999999999999999999"_s, true, 0x0102032D, 0xFFFF},
        {u"1.2.3.45"_s, u"-99999999999999999999"_s, true, 0x0102032D, 0},
    };
    for (const auto& c : cases) {
        const auto result = ResolveDestinationText(c.address, c.port);
        const auto trace = (c.address + u" : "_s + c.port).toStdString();
        EXPECT_EQ(result.has_value(), c.accepted) << trace;
        EXPECT_EQ(result.value_or(Endpoint{}).address, c.hostAddress) << trace;
        EXPECT_EQ(result.value_or(Endpoint{}).port, c.hostPort) << trace;
    }
}

} // namespace
