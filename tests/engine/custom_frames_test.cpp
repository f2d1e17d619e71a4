#include "engine/control_ids.h"
#include "engine/messages.h"
#include "tests/engine/engine_harness.h"

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

struct CustomCase
{
    const char* name;
    QString text;
    bool exchangeSucceeds;
    const char* destination;
    QString message;  // empty: none expected
    const char* sent; // hex of the datagram, nullptr: nothing sent
};

TEST(CustomFrames, CustomCommandSendsTheTypedBytesOrExplainsWhyNot)
{
    const char* const loop = "127.0.0.1";
    const char* const example = "0B 00 02 00 00 00 0F 41 01 00 5E";
    const QString format = CommandFormatMessage();
    const QString dest = DestinationInvalidMessage();
    // clang-format off
    const CustomCase cases[] = {
        {"format example",   u"0b 00 02 00 00 00 0f 41 01 00 5e"_s, true, loop, {}, example},
        {"sent unchanged",   u"FF 01"_s,  true,  loop,      {},     "FF 01"},
        {"lone digit last",  u"0b 0"_s,   true,  loop,      {},     "0B"},
        {"one digit",        u"5"_s,      true,  loop,      {},     ""},
        {"empty text",       QString(),   true,  loop,      {},     nullptr},
        {"three digits",     u"0b0"_s,    true,  "1.2.3.4", format, nullptr}, // destination not examined
        {"leading space",    u" 0b"_s,    true,  loop,      format, nullptr},
        {"non-Latin-1",      u"0b 中"_s,  true,  loop,      format, nullptr},
        {"bad destination",  u"0b 00"_s,  true,  "1.2.3.4", dest,   nullptr},
        {"failed exchange",  u"0b 00"_s,  false, loop,      {},     nullptr},
    };
    // clang-format on
    for (const CustomCase& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        h.engine.m_commandText = u"01 02"_s; // what an earlier exchange left
        h.console.form.commandText = c.text;
        h.console.form.succeeds = c.exchangeSucceeds;
        h.console.texts[IDC_DEST_IP] = QString::fromLatin1(c.destination);
        h.engine.OnSendCustom();
        EXPECT_EQ(h.console.messages, c.message.isEmpty() ? QStringList{} : QStringList{c.message});
        EXPECT_TRUE(h.console.Lines(IDC_SENT_LIST).empty());
        h.console.texts[IDC_DEST_IP] = u"127.0.0.1"_s;
        if (c.sent != nullptr) {
            const auto datagram = h.peer.Receive();
            ASSERT_TRUE(datagram);
            EXPECT_EQ(datagram->bytes, Bytes(c.sent));
        }
        EXPECT_TRUE(h.NothingSentBefore());
    }
}

// Nothing a custom command left in the shared buffer may show in the debug frame.
TEST(CustomFrames, DebugFrameIsTheSameOnEveryPress)
{
    EngineHarness h;
    h.console.form.commandText = u"FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"_s;
    h.engine.OnSendCustom();
    ASSERT_TRUE(h.peer.Receive());
    EXPECT_TRUE(h.NothingSentBefore());
    EXPECT_TRUE(h.NothingSentBefore());

    h.console.texts[IDC_DEST_PORT] = QString();
    h.engine.OnSendDebug();
    EXPECT_EQ(h.console.messages, QStringList{DestinationInvalidMessage()});
    EXPECT_TRUE(h.console.Lines(IDC_SENT_LIST).empty());
}

} // namespace
