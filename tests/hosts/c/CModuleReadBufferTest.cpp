// The request receiver reads whatever the socket holds and cuts it into lines itself: bytes that
// follow a reply must wait for the next pull and then be parsed, and a line that arrives in
// pieces must be put together across reads.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "CModuleHarness.h"
#include "proto/GatewayProtocol.h"
#include "support/LogReader.h"
#include "support/TestSupport.h"

namespace {

using cmodtest::ClientIdOf;
using cmodtest::Harness;
using cmodtest::Message;
using cmodtest::Module;
using cmodtest::RequestText;
using cmodtest::WaitLog;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;
using Parts = testsupport::ScriptableGateway::Parts;

std::string AddMessage(const std::string& id, const std::string& x, const std::string& y) {
    return Serialize(Message(id, RequestText("/calc/add", "GET", "", {{"x", x}, {"y", y}})));
}

TEST(CModuleReadBuffer, TwoRepliesInOneWriteAreBothHandledEachAfterItsOwnPull) {
    RunInChildWithLog([](LogReader&) {
        Harness h("CmodTwoInOne");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        ASSERT_TRUE(h.AnswerRaw(AddMessage("first", "1", "2") + AddMessage("second", "30", "4")));
        // Two handler threads run them: the answers may come in either order.
        std::set<Parts> answers{h.NextResponse(), h.NextResponse()};
        EXPECT_EQ(answers, (std::set<Parts>{{"responsereq", ClientIdOf("calc"), "first", "200", "3", ""},
                                            {"responsereq", ClientIdOf("calc"), "second", "200", "34", ""}}));
        // The pull after the first reply, then the one after the second, which the cycle answers.
        ASSERT_TRUE(h.NextPull());
        ASSERT_TRUE(h.Answer(Message("third", RequestText("/calc/add", "GET", "", {{"x", "5"}, {"y", "5"}}))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "third", "200", "10", ""}));
    });
}

TEST(CModuleReadBuffer, ALineSplitAcrossReadsIsJoined) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodSplit");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        const std::string whole = AddMessage("split", "20", "22");
        // Up to the middle of the command word: the count line is parsed, the rest waits.
        const size_t cut = whole.find("message") + 3;
        auto pull = h.NextPull();
        ASSERT_TRUE(pull);
        ASSERT_TRUE(h.Gateway().SendRaw(pull->conn, whole.substr(0, cut)));
        ASSERT_TRUE(WaitLog(log, "ArrayReply:*4:4"));
        ASSERT_TRUE(h.Gateway().SendRaw(pull->conn, whole.substr(cut)));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "split", "200", "42", ""}));
        EXPECT_EQ(log.CountNew("parseOneMsg fail"), 0u);
    });
}

}  // namespace
