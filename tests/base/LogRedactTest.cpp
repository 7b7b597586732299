// Requests are logged without credentials and bodies: the redaction itself, and a request
// frame read by the gateway stream parser as it lands in the log file.
#include <gtest/gtest.h>

#include "base/LogRedactor.h"
#include "proto/RespStreamParser.h"
#include "support/LogReader.h"

namespace {

std::string Redacted(const std::string& text) {
    std::string out;
    LogRedactor::Append(out, text.data(), text.size());
    return out;
}

TEST(LogRedact, ReplacesCredentialValuesAndBodiesOnly) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        // Every credential header, in any case, as the gateway sends them (arrays of values).
        {R"({"Header":{"AUTHORIZATION":["Bearer t1"],"proxy-Authorization":["Basic t2"],"cookie":["a=1","b=2"],"Set-Cookie":["s=3"],"Accept":["*/*"]}})",
         R"({"Header":{"AUTHORIZATION":"<redacted>","proxy-Authorization":"<redacted>","cookie":"<redacted>","Set-Cookie":"<redacted>","Accept":["*/*"]}})"},
        // Blanks around ':', a plain string value, an escaped quote inside the value.
        {R"({"Cookie" : "x=\"]}\"" , "n":1})", R"({"Cookie" : "<redacted>" , "n":1})"},
        // The body by its unescaped size: a\"b\\c = 5 bytes, \u00e9 = 2, \u20ac = 3; empty stays.
        {R"({"ReqBody":"a\"b\\c\u00e9\u20ac","reqBody":""})", R"({"ReqBody":"<10 bytes>","reqBody":""})"},
        // Names only count as member names: values, URLs and longer names stay.
        {R"({"ReqUrl":"/Cookie","X-Cookie":["v"],"q":"Authorization"})",
         R"({"ReqUrl":"/Cookie","X-Cookie":["v"],"q":"Authorization"})"},
        // Text cut off inside a credential value is redacted to its end.
        {R"({"Authorization":["Bearer tok)", R"({"Authorization":"<redacted>")"},
        {"message", "message"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Redacted(c.in), c.out) << c.in;
}

TEST(LogRedact, ReceivedRequestFrameIsLoggedWithoutSecrets) {
    testsupport::RunInChildWithLog([](testsupport::LogReader& reader) {
        reader.Mark();
        const std::string request =
            R"({"ReqUrl":"/calc/add","Method":"POST","ReqBody":"password=hunter2","ReqQuery":{},)"
            R"("Header":{"Authorization":["Bearer SECRET-A"],"Cookie":["sid=SECRET-C"],"Host":["example.org"]}})";
        const std::string frame = "*4\r\n$7\r\nmessage\r\n$4\r\ncalc\r\n$2\r\n17\r\n$" +
                                  std::to_string(request.size()) + "\r\n" + request + "\r\n";
        RespStreamParser parser;
        size_t consumed = 0;
        ASSERT_EQ(parser.FeedBuffer(frame.data(), frame.size(), consumed),
                  RespStreamParser::Result::COMPLETE);
        EXPECT_EQ(parser.TakeValues().at(3), request) << "the request itself is intact";
        std::vector<testsupport::LogLine> lines = reader.NewLinesWith("Receiv:{");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].message,
                  R"(Receiv:{"ReqUrl":"/calc/add","Method":"POST","ReqBody":"<16 bytes>","ReqQuery":{},)"
                  R"("Header":{"Authorization":"<redacted>","Cookie":"<redacted>","Host":["example.org"]}})");
        for (const std::string& raw : reader.RawLines()) {
            EXPECT_EQ(raw.find("SECRET"), std::string::npos) << raw;
            EXPECT_EQ(raw.find("hunter2"), std::string::npos) << raw;
        }
    });
}

}  // namespace
