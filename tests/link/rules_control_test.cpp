#include "link/rules_control.h"

#include <gtest/gtest.h>

#include <string>

using namespace veltrano;

namespace {

TEST(RulesControl, ReadsOneBoundedRequest)
{
    struct Case
    {
        const char* name;
        std::string received;
        int refusal; // 0: none
        bool whole;
        const char* body;
    };
    const std::string head = "POST /rules HTTP/1.1\r\nContent-Length: 7\r\n\r\n";
    // clang-format off
    const Case cases[] = {
        {"whole",                 head + "up drop",                                   0,   true,  "up drop"},
        {"its body still coming", head + "up d",                                      0,   false, ""},
        {"its head still coming", "GET /rules HTTP/1.1\r\nHost:",                     0,   false, ""},
        {"no body",               "GET /rules HTTP/1.1\r\n\r\n",                       0,   true,  ""},
        {"case of the header",    "POST /rules HTTP/1.0\r\ncontent-length:  2\r\n\r\nup", 0, true, "up"},
        {"no version",            "GET /rules\r\n\r\n",                                400, false, ""},
        {"another protocol",      "GET /rules SPDY/3\r\n\r\n",                         505, false, ""},
        {"a bad length",          "POST /rules HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400, false, ""},
        {"two lengths",           "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx", 400, false, ""},
        {"chunked",               "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 411, false, ""},
        {"a body too long",       "POST / HTTP/1.1\r\nContent-Length: 9000\r\n\r\n",   413, false, ""},
        {"a head too long",       "GET /" + std::string(MAX_CONTROL_REQUEST, 'a'),     413, false, ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ControlReading reading = ReadControlRequest(c.received);
        EXPECT_EQ(reading.refusal ? reading.refusal->status : 0, c.refusal) << c.name;
        EXPECT_EQ(reading.request.has_value(), c.whole) << c.name;
        EXPECT_EQ(reading.request ? reading.request->body : "", c.body) << c.name;
    }
}

TEST(RulesControl, AnswersTheRulesApi)
{
    FaultEngine engine;
    engine.Add(*ParseFaultRule("up drop"));
    struct Case
    {
        const char* method;
        const char* path;
        const char* body;
        int status;
        const char* answer; // its start
    };
    // clang-format off
    const Case cases[] = {
        {"POST",   "/rules",     "down delay=5~2\n", 201, "{\"id\":2,\"rule\":\"down delay=5~2\"}"},
        {"POST",   "/rules",     "down shout",       400, "{\"error\":\"column 6: unknown action 'shout'"},
        {"GET",    "/rules",     "",                 200, "{\"rules\":[{\"id\":1,\"rule\":\"up drop\",\"matched\":0,\"acted\":0},{\"id\":2,"},
        {"DELETE", "/rules/1",   "",                 204, ""},
        {"DELETE", "/rules/1",   "",                 404, "{\"error\":\"no rule 1\"}"},
        {"DELETE", "/rules/x",   "",                 404, ""},
        {"PUT",    "/rules",     "",                 405, ""},
        {"GET",    "/rules/2",   "",                 405, ""},
        {"GET",    "/metrics",   "",                 404, ""},
        {"DELETE", "/rules",     "",                 204, ""},
        {"GET",    "/rules",     "",                 200, "{\"rules\":[]}"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ControlAnswer answer = AnswerControlRequest(engine, {c.method, c.path, c.body}, 2);
        EXPECT_EQ(answer.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(answer.body.rfind(c.answer, 0), 0U) << c.method << " " << c.path << ": " << answer.body;
    }
    EXPECT_EQ(FormatControlAnswer({204, {}}), "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
}

} // namespace
