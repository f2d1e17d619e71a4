#include "net/destination.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <climits>
#include <cstdint>
#include <ostream>

using namespace Qt::Literals::StringLiterals;

namespace {

struct ResolveCase
{
    const char* name;
    QString address;
    QString port;
    bool accepted;
    std::uint32_t hostAddress; // expected, host byte order
    std::uint16_t hostPort;    // expected, host byte order
};

void PrintTo(const ResolveCase& c, std::ostream* os)
{
    *os << c.name;
}

class ResolveDestinationTextTest : public testing::TestWithParam<ResolveCase>
{
};

TEST_P(ResolveDestinationTextTest, AppliesTheRule)
{
    const ResolveCase& c = GetParam();
    const auto result = ResolveDestinationText(c.address, c.port);
    ASSERT_EQ(result.has_value(), c.accepted);
    if (!result)
        return;
    EXPECT_EQ(result->address, htonl(c.hostAddress));
    EXPECT_EQ(result->port, htons(c.hostPort));
}

const QString kNul(QChar(u'\0'));

INSTANTIATE_TEST_SUITE_P(
    Texts, ResolveDestinationTextTest,
    testing::Values(
        // Address length counts GBK bytes.
        ResolveCase{"SevenCharactersRefused", u"1.2.3.4"_s, u"8015"_s, false, 0, 0},
        ResolveCase{"EightCharactersAccepted", u"1.2.3.45"_s, u"8015"_s, true, 0x0102032D, 8015},
        ResolveCase{"EmptyAddressRefused", QString(), u"8015"_s, false, 0, 0},
        ResolveCase{"FourChineseCountEight", u"测试地址"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        ResolveCase{"ThreeChineseCountSix", u"测试地"_s, u"8015"_s, false, 0, 0},
        // Zero address refused, all-ones passes.
        ResolveCase{"ZeroRefusedByLength", u"0.0.0.0"_s, u"8015"_s, false, 0, 0},
        ResolveCase{"ZeroRefusedByValue", u"0.0.0.00"_s, u"8015"_s, false, 0, 0},
        ResolveCase{"NotAnAddressIsAllOnes", u"abcdefgh"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        ResolveCase{"BroadcastPasses", u"255.255.255.255"_s, u"8015"_s, true, 0xFFFFFFFF, 8015},
        ResolveCase{"Loopback", u"127.0.0.1"_s, u"7015"_s, true, 0x7F000001, 7015},
        ResolveCase{"FullwidthDigitIsNoAddress", u"１.2.3.45"_s, u"1"_s, true, 0xFFFFFFFF, 1},
        // A NUL must not cut the text into a valid address.
        ResolveCase{"NulAfterValidAddress", u"1.2.3.4"_s + kNul, u"1"_s, true, 0xFFFFFFFF, 1},
        ResolveCase{"NulInsideAddress", u"1.2.3.45"_s + kNul + u"zz"_s, u"1"_s, true, 0xFFFFFFFF, 1},
        ResolveCase{"NulCutToZero", u"0.0.0.0"_s + kNul + u"1"_s, u"1"_s, true, 0xFFFFFFFF, 1},
        // Port: atoi, low 16 bits.
        ResolveCase{"EmptyPortRefused", u"1.2.3.45"_s, QString(), false, 0, 0},
        ResolveCase{"PortWithoutDigitsIsZero", u"1.2.3.45"_s, u"abc"_s, true, 0x0102032D, 0},
        ResolveCase{"BlankPortIsZero", u"1.2.3.45"_s, u" "_s, true, 0x0102032D, 0},
        ResolveCase{"PortLow16Bits", u"1.2.3.45"_s, u"70000"_s, true, 0x0102032D, 70000 & 0xFFFF},
        ResolveCase{"PortBlanksSignTail", u"1.2.3.45"_s, u"  +12x"_s, true, 0x0102032D, 12},
        ResolveCase{"NegativePortWraps", u"1.2.3.45"_s, u"-1"_s, true, 0x0102032D, 65535},
        ResolveCase{"HugePortSaturates", u"1.2.3.45"_s, u"99999999999999999999"_s, true, 0x0102032D, 0xFFFF},
        ResolveCase{"HugeNegativeSaturates", u"1.2.3.45"_s, u"-99999999999999999999"_s, true, 0x0102032D, 0}),
    [](const testing::TestParamInfo<ResolveCase>& info) { return std::string(info.param.name); });

TEST(AtoiSaturatingTest, FollowsTheCRuntimeWithoutOverflow)
{
    const struct
    {
        QString text;
        int expected;
    } cases[] = {
        {QString(), 0},
        {u"+"_s, 0},
        {u"++1"_s, 0},
        {u"- 5"_s, 0},
        {u"  -0012abc"_s, -12},
        {u"\t\n\v\f\r 42"_s, 42},
        {u"\u00A042"_s, 0}, // no-break space is not a C blank
        {u"１２"_s, 0},     // fullwidth digits are not digits
        {u"12"_s + QChar(u'\0') + u"3"_s, 12},
        {u"2147483647"_s, INT_MAX},
        {u"2147483648"_s, INT_MAX},
        {u"-2147483648"_s, INT_MIN},
        {u"-2147483649"_s, INT_MIN},
        {u"000000000000000000000000000007"_s, 7},
        {u"184467440737095516161"_s, INT_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AtoiSaturating(c.text), c.expected) << c.text.toStdString();
}

TEST(GbkByteLengthTest, AsciiOneOtherCharactersTwo)
{
    const struct
    {
        QString text;
        int expected;
    } cases[] = {
        {QString(), 0},
        {u"1.2.3.45"_s, 8},
        {u"测试"_s, 4},
        {u"a测b"_s, 4},
        {u"é"_s, 2},
        {u"😀"_s, 2},                          // a surrogate pair is one character
        {QString(QChar(0xD800)) + u"a"_s, 3}, // a lone surrogate still counts
    };
    for (const auto& c : cases)
        EXPECT_EQ(GbkByteLength(c.text), c.expected) << c.text.toStdString();
}

} // namespace
