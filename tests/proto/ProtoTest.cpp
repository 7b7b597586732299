// The wire formats. The gateway's: writers, the reader (whole messages whatever the reads, garbage
// rejected at once), key texts, socket paths. The master channel's command lines: built exactly,
// parsed back; bad lines skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include "proto/GatewayPath.h"
#include "proto/GatewayProtocol.h"
#include "proto/PipeCmdPojo.h"
#include "proto/RespStreamParser.h"
#include "support/ChannelTestUtil.h"

namespace {

using Values = std::vector<std::string>;

TEST(GatewayProtocolTest, WorkerMessagesAreByteExact) {
    EXPECT_EQ(Serialize(BuildPullReq(ModuleKey("calc", "1.0"), 4242)),
              "*2\r\n$7\r\npullreq\r\n$15\r\ncalc||1.0||4242\r\n");
    EXPECT_EQ(Serialize(BuildResponseReqParts(ClientId("calc", "1.0", 4242), "17", 200, "3")),
              "*6\r\n$11\r\nresponsereq\r\n$15\r\ncalc||1.0||4242\r\n$2\r\n17\r\n$3\r\n200\r\n$1\r\n3\r\n$"
              "0\r\n\r\n");
    EXPECT_EQ(Serialize({}), "*0\r\n");  // (values with line ends inside: read back below)
}

TEST(GatewayProtocolTest, KeyTextsRoundTripAndSplitAtFirstSeparator) {
    EXPECT_EQ(ModuleKeyToString(ModuleKey("calc", "1.0")), "calc||1.0");
    const std::pair<std::string, ModuleKey> cases[] = {
        {"calc||1.0", {"calc", "1.0"}}, {"a||b||c", {"a", "b||c"}}, {"||1.0", {"", "1.0"}},
        {"calc||", {"calc", ""}},       {"calc|1.0", {}},           {"", {}},
    };
    for (const auto& [text, key] : cases) EXPECT_EQ(SplitModuleKey(text), key) << text;
}

TEST(GatewayPathTest, SuffixFollowsAppNameAtEveryCall) {
    const std::pair<const char*, std::string> cases[] = {{nullptr, ""}, {"OrderSvc", "-ordersvc"}, {"", "-"}};
    for (const auto& [app, suffix] : cases) {  // set but empty still adds the dash
        testsupport::ScopedEnv env("APP_NAME", app ? app : "", app == nullptr);
        EXPECT_EQ(GetGatewayPath(), "/tmp/udsgateway" + suffix);
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner" + suffix);
    }
}

using Mode = RespStreamParser::Mode;
using Result = RespStreamParser::Result;

// Feeds stream in reads of at most step bytes and records "ok:<values joined by |>" or
// "bad:<error>" per message, then "more" when a message was left unfinished.
Values Outcomes(Mode mode, const std::string& stream, size_t step) {
    RespStreamParser reader(mode);
    Values out;
    for (size_t pos = 0; pos < stream.size();) {
        size_t len = std::min(step, stream.size() - pos), consumed = 0;
        Result r = reader.FeedBuffer(stream.data() + pos, len, consumed);
        EXPECT_LE(consumed, len);
        pos += consumed;
        if (r == Result::BAD) out.push_back("bad:" + reader.Error());
        EXPECT_TRUE(r != Result::NEED_MORE || consumed == len) << "NEED_MORE takes everything";
        if (r == Result::COMPLETE) {
            out.push_back("ok:");
            for (const std::string& v : reader.TakeValues()) out.back() += v + "|";
        }
    }
    if (!reader.Idle()) out.push_back("more");
    return out;
}

TEST(RespStreamParserTest, MessagesAreTheSameWhateverTheReads) {
    const std::string big(25000, 'y');
    const std::tuple<Mode, std::string, Values> cases[] = {
        // Lengths count bytes: line ends and header-like text inside values are data.
        {Mode::PULLED, Serialize({"a\r\nb", "\n", "$3\r\n", "*9"}), {"ok:a\r\nb|\n|$3\r\n|*9|"}},
        {Mode::PULLED, Serialize({"x", big}) + Serialize({"next"}), {"ok:x|" + big + "|", "ok:next|"}},
        {Mode::ANY,
         Serialize({"responsereq", "c||1||2", "17", "200", "", ""}),
         {"ok:responsereq|c||1||2|17|200|||"}},
        {Mode::ANY,
         "*2\r\n$-1\r\n$0\r\n\r\n$5\r\nhello\r\n*0\r\n*-1\r\n*1\n$1\nz\n",
         {"ok:||", "ok:hello|", "ok:", "ok:", "ok:z|"}},
        // A value shorter than its length: its line end is counted in and the next line with it,
        // so the bytes where the line end must be are not one.
        {Mode::PULLED,
         "*1\r\n$5\r\nab\r\nZZ\r\n" + Serialize({"x"}),
         {"bad:bad frame, value longer than its length at byte 13", "ok:x|"}},
        // Rejected as soon as the bytes cannot begin a message; the rest of the line is skipped.
        {Mode::ANY, "hello world\r\n$1\r\nq\r\n", {"bad:bad frame, not a RESP reply at byte 0", "ok:q|"}},
        {Mode::ANY,
         "*x\r\n*2\r\n$1\r\n%\r\n%\r\n",
         {"bad:bad frame, header without a number at byte 0", "bad:bad frame, expected '$' at byte 11"}},
        {Mode::ANY,
         "*-2\r\n*1\r\n$1x\r\n",
         {"bad:bad frame, negative length at byte 0",
          "bad:bad frame, header not a decimal number at byte 4"}},
        {Mode::ANY, "$99999999999\r\n", {"bad:bad frame, number too large at byte 0"}},
        {Mode::ANY, "*9999999\r\n", {"bad:bad frame, too many elements at byte 10"}},
        {Mode::ANY, "*1\r\n$10485760\r\n", {"bad:bad frame, frame too large at byte 15"}},
        // A pulled message is an array of non-empty values.
        {Mode::PULLED,
         "$1\r\n*0\r\n*1\r\n$0\r\n*2\r\n$-1\r\n",
         {"bad:bad frame, not a RESP reply at byte 0", "bad:bad frame, empty message at byte 0",
          "bad:bad frame, empty value at byte 4", "bad:bad frame, empty value at byte 4"}},
    };
    for (const auto& [mode, stream, expected] : cases) {
        for (size_t step : {stream.size(), size_t{1}, size_t{2}, size_t{7}, size_t{10240}})
            EXPECT_EQ(Outcomes(mode, stream, step), expected) << stream.substr(0, 60) << " step " << step;
    }
}

TEST(RespStreamParserTest, StopsAfterOneMessageResetForgetsAPartialOneAndMessagesAreBounded) {
    RespStreamParser reader;
    const std::string first = Serialize({"first"}), half = "*2\r\n$3\r\nab", rest = Serialize({"second"}),
                      both = first + rest;
    size_t consumed = 0;
    ASSERT_EQ(reader.FeedBuffer(both.data(), both.size(), consumed), Result::COMPLETE);
    EXPECT_EQ(consumed, first.size());
    EXPECT_EQ(reader.TakeValues(), Values{"first"});
    EXPECT_TRUE(reader.TakeValues().empty()) << "values are moved out once";
    ASSERT_EQ(reader.FeedBuffer(half.data(), half.size(), consumed), Result::NEED_MORE);
    reader.Reset();
    EXPECT_TRUE(reader.Idle());
    ASSERT_EQ(reader.FeedBuffer(rest.data(), rest.size(), consumed), Result::COMPLETE);
    EXPECT_EQ(reader.TakeValues(), Values{"second"});

    // Leading zeros keep the number small but not the header: the message bound still holds.
    const size_t max = RespStreamParser::MAX_MESSAGE, fits = max - 20;
    EXPECT_EQ(Outcomes(Mode::ANY, "*" + std::string(max + 10, '0'), 1 << 20),
              Values{"bad:bad frame, frame too large at byte " + std::to_string(max)});
    // The largest value that fits is read whole.
    const Values got = Outcomes(Mode::ANY, Serialize({std::string(fits, 'v')}), 65536);
    EXPECT_TRUE(got.size() == 1 && got[0].size() == fits + 4);
}

// "rc:" then "command=name,version,location,type,vmArgs;" per parsed command.
std::string Parsed(const std::string& text) {
    std::vector<PipeCmdPojo> cmds;
    std::string out = std::to_string(PipeCmdPojo::parse(text, cmds)) + ":";
    for (const auto& c : cmds) {
        const ModulePojo& m = c.GetModule();
        out += c.GetCommand() + "=" + m.GetName() + "," + m.GetVersion() + "," + m.GetLocation() + "," +
               m.GetType() + "," + m.GetVmArgs() + ";";
    }
    return out;
}

TEST(PipeCmdPojoTest, LinesAreBuiltExactlyAndParseBackInOrder) {
    channeltest::UseChannelLog();
    const ModulePojo demo("demo", "1.0", "/opt/m", "C_MODULE", ""),
        web("web", "2", "/srv/web", "TOMCAT", "-Xmx64m -Dx=1");
    EXPECT_EQ(PipeCmdPojo::BuildAddModule(demo), "addModule#demo|1.0|/opt/m|C_MODULE|\n");
    EXPECT_EQ(PipeCmdPojo::BuildAgeingModule(web), "ageingModule#web|2|/srv/web|TOMCAT|-Xmx64m -Dx=1\n");
    const std::string w = "web,2,/srv/web,TOMCAT,-Xmx64m -Dx=1;";
    EXPECT_EQ(Parsed(PipeCmdPojo::BuildAddModule(demo) + PipeCmdPojo::BuildDeleteModule(web) +
                     PipeCmdPojo::BuildModifyModule(web) + PipeCmdPojo::BuildAgeingModule(web)),
              "0:addModule=demo,1.0,/opt/m,C_MODULE,;deleteModule=" + w + "modifyModule=" + w +
                  "ageingModule=" + w);
    // A '|' in the arguments cuts them.
    EXPECT_EQ(Parsed(PipeCmdPojo::BuildAddModule(ModulePojo("w", "2", "/w", "TOMCAT", "-Da=1|-Db=2"))),
              "0:addModule=w,2,/w,TOMCAT,-Da=1;");
    // The worker's own lines (handshake, load reports) are checked as the worker sends them.
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("ageing"), "ageing#" + std::to_string(getpid()) + "\n");
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("hello"), "");
}

TEST(PipeCmdPojoTest, TooFewFieldsFailTheMessageAndAnExtraHashSkipsItsLine) {
    channeltest::UseChannelLog();
    const std::string a = "addModule#a|1|/a|C_MODULE|\n", b = "addModule#b|1|/b|C_MODULE|\n",
                      bad = "addModule#web|2|/srv/web|TOMCAT|-Dcolor=#fff";
    EXPECT_EQ(Parsed(a + "addModule#demo|1.0|/opt/m\n" + b), "-1:");
    EXPECT_EQ(Parsed(a + bad + "\n\n" + b), "0:addModule=a,1,/a,C_MODULE,;addModule=b,1,/b,C_MODULE,;");
}

}  // namespace
