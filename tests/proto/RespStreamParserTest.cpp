// The one reader of the gateway wire format: whole messages whatever the reads, exact values,
// garbage rejected at once, and never a byte taken twice or lost between reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"

namespace {

using Values = std::vector<std::string>;
using Mode = RespStreamParser::Mode;
using Result = RespStreamParser::Result;

// Feeds stream in reads of at most step bytes and records "ok:<values joined by |>" or
// "bad:<error>" per message, then "more" when a message was left unfinished.
std::vector<std::string> Outcomes(Mode mode, const std::string& stream, size_t step) {
    RespStreamParser reader(mode);
    std::vector<std::string> out;
    for (size_t pos = 0; pos < stream.size();) {
        size_t len = std::min(step, stream.size() - pos);
        size_t consumed = 0;
        Result r = reader.FeedBuffer(stream.data() + pos, len, consumed);
        EXPECT_LE(consumed, len);
        pos += consumed;
        if (r == Result::BAD) {
            out.push_back("bad:" + reader.Error());
        } else if (r == Result::COMPLETE) {
            std::string joined = "ok:";
            for (const std::string& v : reader.TakeValues()) joined += v + "|";
            out.push_back(joined);
        } else {
            EXPECT_EQ(consumed, len) << "NEED_MORE takes everything";
        }
    }
    if (!reader.Idle()) out.push_back("more");
    return out;
}

TEST(RespStreamParserTest, MessagesAreTheSameWhateverTheReads) {
    const std::string big(25000, 'y');
    struct Case {
        Mode mode;
        std::string stream;
        std::vector<std::string> expected;
    } cases[] = {
        {Mode::PULLED, Serialize({"message", "t", "17", "{}"}), {"ok:message|t|17|{}|"}},
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
        {Mode::ANY, "*1\r\n$2\r\nabc\r\n", {"bad:bad frame, value longer than its length at byte 10"}},
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
        {Mode::PULLED, "*3\r\n$1\r\na\r\n", {"more"}},
    };
    for (const Case& c : cases) {
        for (size_t step : {c.stream.size(), size_t{1}, size_t{2}, size_t{7}, size_t{10240}}) {
            EXPECT_EQ(Outcomes(c.mode, c.stream, step), c.expected)
                << c.stream.substr(0, 60) << " step " << step;
        }
    }
}

TEST(RespStreamParserTest, StopsAfterOneMessageAndResetForgetsAPartialOne) {
    RespStreamParser reader;
    const std::string two = Serialize({"first"}) + Serialize({"second"});
    size_t consumed = 0;
    ASSERT_EQ(reader.FeedBuffer(two.data(), two.size(), consumed), Result::COMPLETE);
    EXPECT_EQ(consumed, Serialize({"first"}).size());
    EXPECT_EQ(reader.TakeValues(), Values{"first"});
    EXPECT_TRUE(reader.TakeValues().empty()) << "values are moved out once";

    const std::string half = "*2\r\n$3\r\nab";
    ASSERT_EQ(reader.FeedBuffer(half.data(), half.size(), consumed), Result::NEED_MORE);
    EXPECT_FALSE(reader.Idle());
    reader.Reset();
    EXPECT_TRUE(reader.Idle());
    const std::string rest = Serialize({"second"});
    ASSERT_EQ(reader.FeedBuffer(rest.data(), rest.size(), consumed), Result::COMPLETE);
    EXPECT_EQ(reader.TakeValues(), Values{"second"});
}

TEST(RespStreamParserTest, MessagesAreBounded) {
    // Leading zeros keep the number small but not the header: the message bound still holds.
    std::string zeros = "*" + std::string(RespStreamParser::MAX_MESSAGE + 10, '0');
    EXPECT_EQ(Outcomes(Mode::ANY, zeros, 1 << 20),
              (std::vector<std::string>{"bad:bad frame, frame too large at byte " +
                                        std::to_string(RespStreamParser::MAX_MESSAGE)}));
    // The largest value that fits is read whole.
    size_t fits = RespStreamParser::MAX_MESSAGE - 20;
    std::string wire = Serialize({std::string(fits, 'v')});
    ASSERT_LE(wire.size(), RespStreamParser::MAX_MESSAGE);
    std::vector<std::string> got = Outcomes(Mode::ANY, wire, 65536);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), fits + 4);
}

}  // namespace
