#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "proto/GatewayProtocol.h"
#include "proto/RespFrame.h"

namespace {

using Values = std::vector<std::string>;

// Every proper prefix of a frame is INCOMPLETE; the whole frame, also with more bytes behind it,
// is COMPLETE with its own length.
void ExpectFrame(const std::string& frame, const std::string& label) {
    for (size_t cut = 0; cut < frame.size(); ++cut) {
        RespFrameResult partial = CheckRespFrame(frame.substr(0, cut));
        ASSERT_EQ(RespFrameStatus::INCOMPLETE, partial.status)
            << label << " cut " << cut << ": " << partial.error;
    }
    EXPECT_EQ(RespFrameStatus::COMPLETE, CheckRespFrame(frame).status) << label;
    EXPECT_EQ(frame.size(), CheckRespFrame(frame).length) << label;
    RespFrameResult followed = CheckRespFrame(frame + "*1\r\n$1\r\nx\r\n");
    EXPECT_EQ(RespFrameStatus::COMPLETE, followed.status) << label;
    EXPECT_EQ(frame.size(), followed.length) << label;
}

TEST(RespFrameTest, CompleteOnlyWhenEveryCountedByteIsThere) {
    ExpectFrame(Serialize({"appcfg", "{\"Modules\":[]}"}), "appcfg");
    ExpectFrame(Serialize({"pullmodloadrsp", "calc||1.0"}), "pullmodloadrsp");
    ExpectFrame(Serialize({"responsereq", "c||1||2", "17", "200", "", ""}), "empty parts");
    ExpectFrame(Serialize({"a\r\nb", "\n\n", "$3\r\n"}), "line ends inside values");
    ExpectFrame(Serialize({}), "no parts");
    ExpectFrame("$5\r\nhello\r\n", "bulk");
    ExpectFrame("$-1\r\n", "null bulk");
    ExpectFrame("*-1\r\n", "null array");
    ExpectFrame("*2\r\n$-1\r\n$1\r\na\r\n", "null element");
    ExpectFrame("*1\n$3\nabc\n", "bare LF");
    ExpectFrame("*2\r\n$4\r\n" + std::string(4, 'x') + "\r\n$20000\r\n" + std::string(20000, 'y') + "\r\n",
                "value over one receive buffer");
}

TEST(RespFrameTest, GivesTheElementsExactly) {
    Values parts{"responsereq", "calc||1.0||4242", "17", "200", "3", ""};
    Values out{"kept"};
    RespFrameResult result = CheckRespFrame(Serialize(parts), &out);
    ASSERT_EQ(RespFrameStatus::COMPLETE, result.status);
    Values expected{"kept"};
    expected.insert(expected.end(), parts.begin(), parts.end());
    EXPECT_EQ(expected, out);

    Values none;
    EXPECT_EQ(RespFrameStatus::INCOMPLETE, CheckRespFrame("*2\r\n$1\r\na\r\n", &none).status);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(RespFrameStatus::COMPLETE, CheckRespFrame("*2\r\n$-1\r\n$0\r\n\r\n", &none).status);
    EXPECT_EQ((Values{"", ""}), none);
}

TEST(RespFrameTest, GarbageIsBadWithoutWaitingForMore) {
    const std::vector<std::string> bad = {
        "hello",      // not RESP
        "+OK",        // simple strings are not spoken here
        "*x",         // count not a number, line not even finished
        "*1\r\n$y",   // length not a number
        "*1\r\n$5x",  // digits followed by garbage
        "*1 \r\n",    // blank before the line end
        "*\r\n",      // no number
        "*-\r\n",
        "*-2\r\n",  // the only negative is the null form
        "$-5\r\n",
        "*1\r\n*1\r\n",         // nested arrays are not spoken here
        "*1\r\n$1\r\nab\r\n",   // value longer than its length
        "*1\r\n$1\r\na\rb",     // CR not followed by LF
        "*1\r\n$99999999\r\n",  // beyond the 10 MiB bound, refused before the bytes arrive
        "*9999999\r\n",         // more elements than 10 MiB can hold
        "$10485760\r\n",        // exactly the bound plus its line end does not fit
    };
    for (const auto& text : bad) {
        RespFrameResult result = CheckRespFrame(text);
        EXPECT_EQ(RespFrameStatus::BAD, result.status) << text;
        EXPECT_EQ(0u, result.error.find("bad frame")) << text;
    }
    // The largest value that fits is still accepted.
    std::string header = "$" + std::to_string(RESP_MAX_FRAME - 20) + "\r\n";
    EXPECT_EQ(RespFrameStatus::INCOMPLETE, CheckRespFrame(header).status);
}

TEST(RespFrameTest, NeverCrashesOnArbitraryBytes) {
    std::mt19937 rng(4711);
    const char alphabet[] = {'*', '$', '-', '0', '1', '9', '\r', '\n', 'a', '\0'};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        size_t len = rng() % 24;
        for (size_t i = 0; i < len; ++i) {
            text.push_back(alphabet[rng() % sizeof(alphabet)]);
        }
        Values parts;
        RespFrameResult result = CheckRespFrame(text, &parts);
        if (result.status == RespFrameStatus::COMPLETE) {
            ASSERT_LE(result.length, text.size());
            // A complete frame re-encodes to a frame with the same elements.
            Values again;
            ASSERT_EQ(RespFrameStatus::COMPLETE, CheckRespFrame(Serialize(parts), &again).status);
            EXPECT_EQ(parts, again);
        } else {
            EXPECT_TRUE(parts.empty());
        }
    }
}

}  // namespace
