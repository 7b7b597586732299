// The reader of the gateway wire format: whole messages whatever the reads, garbage rejected at once.
#include <gtest/gtest.h>

#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"

namespace {

using Values = std::vector<std::string>;
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

}  // namespace
