// The protocol's log lines: operators grep for their texts and the file names they carry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LogCfg.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"
#include "support/LogReader.h"

namespace {

using testsupport::LogLine;
using testsupport::LogReader;

// The logging settings are read before any test runs: reading them prints a notice on standard
// output when no log directory is set, which must not land in a test that captures that stream.
class LoggingEnvironment : public testing::Environment {
public:
    void SetUp() override { LogCfg::GetInstance(); }
};

const testing::Environment* const kLogging = testing::AddGlobalTestEnvironment(new LoggingEnvironment);

std::vector<std::string> Messages(const std::vector<LogLine>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines) {
        out.push_back(line.message);
    }
    return out;
}

TEST(ProtocolLogTest, UnknownReplyIsLoggedByTheProtocolFile) {
    testsupport::RunInChildWithLog([](LogReader& reader) {
        reader.Mark();
        std::vector<std::string> out;
        parseSchema("+OK\r\n", out);
        std::vector<LogLine> lines = reader.NewLinesWith("unknow schema,");
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("unknow schema,+OK", lines[0].message);
        EXPECT_EQ("Info", lines[0].level);
        EXPECT_EQ(0u, lines[0].file.find("GatewayProtocol"));
    });
}

TEST(ProtocolLogTest, StreamParserLogsHeadersValuesAndBadMessages) {
    testsupport::RunInChildWithLog([](LogReader& reader) {
        reader.Mark();
        RespStreamParser parser;
        for (const char* read : {"*2\r\n", "$7\r\n", "message\r\n", "$3\r\n", "abc\r\n"}) {
            parser.FeedRead(read);
        }
        parser.FeedRead("*x\r\n");
        parser.FeedRead("stray\r\n");

        std::vector<LogLine> lines = reader.NewLines();
        std::vector<std::string> expected{"ArrayReply:*2:2", "Receiv:message", "Receiv:abc",
                                          "parseCmdLen fails, bytes:4", "parseCmdLen fails, bytes:7"};
        std::vector<std::string> seen;
        for (const auto& line : lines) {
            if (line.file.find("RespStreamParser") == 0) {
                seen.push_back(line.message);
            }
        }
        EXPECT_EQ(expected, seen) << testing::PrintToString(Messages(lines));
    });
}

}  // namespace
