#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"

namespace {

using Result = RespStreamParser::Result;
using Values = std::vector<std::string>;

struct Outcome {
    Result result;
    Values values;
    bool operator==(const Outcome& other) const { return result == other.result && values == other.values; }
};

std::ostream& operator<<(std::ostream& os, const Outcome& outcome) {
    os << (outcome.result == Result::COMPLETE ? "COMPLETE" : outcome.result == Result::BAD ? "BAD" : "MORE");
    for (const auto& value : outcome.values) {
        os << " [" << value.size() << "]";
    }
    return os;
}

// Cuts a byte stream the way the pull channel's reader does: each read ends after an LF, or
// after 10240 bytes when no LF comes first.
std::vector<std::string> LineReads(const std::string& stream) {
    std::vector<std::string> reads;
    size_t start = 0;
    while (start < stream.size()) {
        size_t lf = stream.find('\n', start);
        size_t end = lf == std::string::npos ? stream.size() : lf + 1;
        end = std::min(end, start + RespStreamParser::MAX_READ);
        reads.push_back(stream.substr(start, end - start));
        start = end;
    }
    return reads;
}

std::vector<Outcome> FeedByReads(const std::string& stream) {
    RespStreamParser parser;
    std::vector<Outcome> outcomes;
    for (const auto& read : LineReads(stream)) {
        Result result = parser.FeedRead(read);
        if (result != Result::NEED_MORE) {
            outcomes.push_back({result, result == Result::COMPLETE ? parser.TakeValues() : Values()});
        }
    }
    return outcomes;
}

// Feeds the stream in pieces ending at the given offsets (any order, any duplicates).
std::vector<Outcome> FeedByBuffers(const std::string& stream, std::vector<size_t> cuts) {
    cuts.push_back(stream.size());
    std::sort(cuts.begin(), cuts.end());
    RespStreamParser parser;
    std::vector<Outcome> outcomes;
    size_t pos = 0;
    for (size_t cut : cuts) {
        while (pos < cut) {
            size_t consumed = 0;
            Result result = parser.FeedBuffer(stream.data() + pos, cut - pos, consumed);
            EXPECT_GT(consumed, 0u);
            if (consumed == 0) {
                return outcomes;
            }
            pos += consumed;
            if (result != Result::NEED_MORE) {
                outcomes.push_back({result, result == Result::COMPLETE ? parser.TakeValues() : Values()});
            } else {
                EXPECT_EQ(cut, pos);
            }
        }
    }
    return outcomes;
}

const std::string REQUEST = R"({"ReqUrl":"/add","Method":"POST","ReqBody":"1+2","ReqQuery":{},"Header":{}})";

TEST(RespStreamParserTest, ReadsTheWorkedMessageLineByLine) {
    ASSERT_EQ(75u, REQUEST.size());
    std::string stream = "*4\r\n$7\r\nmessage\r\n$4\r\ncalc\r\n$2\r\n17\r\n$75\r\n" + REQUEST + "\r\n";
    EXPECT_EQ(stream, Serialize({"message", "calc", "17", REQUEST}));

    RespStreamParser parser;
    std::vector<std::string> reads = LineReads(stream);
    ASSERT_EQ(9u, reads.size());
    for (size_t i = 0; i + 1 < reads.size(); ++i) {
        EXPECT_EQ(Result::NEED_MORE, parser.FeedRead(reads[i])) << i;
    }
    EXPECT_EQ(Result::COMPLETE, parser.FeedRead(reads.back()));
    EXPECT_EQ((Values{"message", "calc", "17", REQUEST}), parser.TakeValues());
    EXPECT_TRUE(parser.Idle());
}

TEST(RespStreamParserTest, ValuesAreCountedInBytes) {
    // LF, CR LF, and leading "$" or "*" inside values: the sync parser would split or misread them.
    Values parts{"message", "$5", "*3", "a\nb", "x\r\ny\r\n", "\n"};
    EXPECT_EQ((std::vector<Outcome>{{Result::COMPLETE, parts}}), FeedByReads(Serialize(parts)));
}

TEST(RespStreamParserTest, RejectsBadCountsAndLengthsThenRecovers) {
    const std::string good = Serialize({"message", "t", "1", "{}"});
    const std::vector<std::string> badMessages = {
        "*x\r\n",                          // count not a number
        "*0\r\n",                          // no elements
        "*-1\r\n",                         // null array
        "*\r\n",                           // too short
        "*99999999999999999999\r\n",       // overflow
        "*2\r\n$7\r\nmessage\r\n$0\r\n",   // empty element
        "*2\r\n$7\r\nmessage\r\n$-1\r\n",  // null element
        "*2\r\n$y\r\n",                    // length not a number
        "*2\r\n$\r\n",                     // length missing
        "*2\r\n$20000000\r\n",             // longer than any message may be
        "stray\r\n",                       // a value outside a message
    };
    testing::internal::CaptureStdout();  // the short headers print a notice
    for (const auto& bad : badMessages) {
        RespStreamParser parser;
        std::vector<Outcome> outcomes;
        for (const auto& read : LineReads(bad + good)) {
            Result result = parser.FeedRead(read);
            if (result != Result::NEED_MORE) {
                outcomes.push_back({result, result == Result::COMPLETE ? parser.TakeValues() : Values()});
                if (result == Result::BAD) {
                    EXPECT_TRUE(parser.Idle()) << bad;
                }
            }
        }
        ASSERT_EQ(2u, outcomes.size()) << bad;
        EXPECT_EQ(Result::BAD, outcomes[0].result) << bad;
        EXPECT_EQ((Outcome{Result::COMPLETE, {"message", "t", "1", "{}"}}), outcomes[1]) << bad;
    }
    EXPECT_EQ("[ParseInt] b[] < 4\n[ParseInt] b[] < 4\n", testing::internal::GetCapturedStdout());
}

TEST(RespStreamParserTest, LongValuesArriveInMaxReadChunks) {
    const size_t maxRead = RespStreamParser::MAX_READ;
    for (size_t len : {maxRead - 2, maxRead - 1, maxRead, maxRead + 1, size_t{25000}}) {
        std::string value(len, 'v');
        value[len / 2] = '{';
        std::string stream = Serialize({"message", "t", "1", value});
        RespStreamParser parser;
        std::vector<std::string> reads = LineReads(stream);
        size_t chunkReads = 0;
        Result last = Result::NEED_MORE;
        for (const auto& read : reads) {
            chunkReads += read.size() == maxRead && read.back() != '\n' ? 1 : 0;
            last = parser.FeedRead(read);
        }
        EXPECT_EQ((len + 1) / maxRead, chunkReads) << len;  // reads of 10240 bytes without LF
        ASSERT_EQ(Result::COMPLETE, last) << len;
        Values values = parser.TakeValues();
        ASSERT_EQ(4u, values.size());
        EXPECT_EQ(value, values[3]) << len;
    }
}

TEST(RespStreamParserTest, BufferFeedingStopsAfterOneReply) {
    std::string first = Serialize({"message", "a", "1", "{}"});
    std::string second = Serialize({"message", "b", "2", "{}"});
    std::string both = first + second;
    RespStreamParser parser;
    size_t consumed = 0;
    ASSERT_EQ(Result::COMPLETE, parser.FeedBuffer(both.data(), both.size(), consumed));
    EXPECT_EQ(first.size(), consumed);
    EXPECT_EQ("a", parser.TakeValues()[1]);
    size_t more = 0;
    ASSERT_EQ(Result::COMPLETE, parser.FeedBuffer(both.data() + consumed, both.size() - consumed, more));
    EXPECT_EQ(second.size(), more);
    EXPECT_EQ("b", parser.TakeValues()[1]);

    std::string badThenGood = "*x\r\n" + first;
    ASSERT_EQ(Result::BAD, parser.FeedBuffer(badThenGood.data(), badThenGood.size(), consumed));
    EXPECT_EQ(4u, consumed);
}

TEST(RespStreamParserTest, MessagesAreBounded) {
    RespStreamParser parser;
    std::string chunk(RespStreamParser::MAX_READ, 'z');
    std::string header = "*1\r\n$10485760\r\n";
    ASSERT_EQ(Result::NEED_MORE, parser.FeedRead(header.substr(0, 4)));
    ASSERT_EQ(Result::NEED_MORE, parser.FeedRead(header.substr(4)));
    size_t fed = header.size();
    Result result = Result::NEED_MORE;
    while (result == Result::NEED_MORE && fed <= RespStreamParser::MAX_MESSAGE + chunk.size()) {
        result = parser.FeedRead(chunk);
        fed += chunk.size();
    }
    EXPECT_EQ(Result::BAD, result);
    EXPECT_GT(fed, RespStreamParser::MAX_MESSAGE);
    EXPECT_TRUE(parser.Idle());
}

std::string RandomBytes(std::mt19937& rng, size_t len) {
    static const char alphabet[] = {'a', 'b', '{', '}', '1', '$', '*', '-', '\r', '\n', '\0', 'Z'};
    std::string out;
    for (size_t i = 0; i < len; ++i) {
        out.push_back(alphabet[rng() % sizeof(alphabet)]);
    }
    return out;
}

// One part in longOdds is longer than a read (each value is also logged, so keep them rare).
Values RandomParts(std::mt19937& rng, unsigned longOdds = 10) {
    Values parts;
    size_t count = 1 + rng() % 5;
    for (size_t i = 0; i < count; ++i) {
        size_t len = rng() % longOdds == 0 ? 10000 + rng() % 15000 : 1 + rng() % 30;
        parts.push_back(RandomBytes(rng, len));
    }
    return parts;
}

std::vector<size_t> RandomCuts(std::mt19937& rng, size_t size) {
    std::vector<size_t> cuts;
    size_t n = rng() % 12;
    for (size_t i = 0; i < n && size > 0; ++i) {
        cuts.push_back(rng() % size);
    }
    if (rng() % 20 == 0) {
        for (size_t i = 0; i < size && i < 300; ++i) {
            cuts.push_back(i);  // byte by byte through the start
        }
    }
    return cuts;
}

TEST(RespStreamParserTest, ValidStreamsDecodeTheSameWhateverTheReads) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        std::string stream;
        std::vector<Outcome> expected;
        size_t messages = 1 + rng() % 4;
        for (size_t m = 0; m < messages; ++m) {
            Values parts = RandomParts(rng);
            stream += Serialize(parts);
            expected.push_back({Result::COMPLETE, parts});
        }
        ASSERT_EQ(expected, FeedByReads(stream)) << "round " << round;
        ASSERT_EQ(expected, FeedByBuffers(stream, RandomCuts(rng, stream.size()))) << "round " << round;
    }
}

TEST(RespStreamParserTest, AnyBytesGiveTheSameOutcomesBothWays) {
    std::mt19937 rng(77);
    testing::internal::CaptureStdout();
    for (int round = 0; round < 600; ++round) {
        std::string stream;
        size_t pieces = 1 + rng() % 5;
        for (size_t i = 0; i < pieces; ++i) {
            switch (rng() % 4) {
                case 0:
                    stream += Serialize(RandomParts(rng, 60));
                    break;
                case 1: {
                    Values parts = RandomParts(rng, 60);
                    parts[rng() % parts.size()].clear();  // an empty element makes it bad
                    stream += Serialize(parts);
                    break;
                }
                case 2: {
                    std::string message = Serialize(RandomParts(rng, 60));
                    stream += message.substr(0, rng() % message.size());  // cut short
                    break;
                }
                default:
                    stream += RandomBytes(rng, rng() % 64);
                    break;
            }
        }
        std::vector<Outcome> byReads = FeedByReads(stream);
        ASSERT_EQ(byReads, FeedByBuffers(stream, RandomCuts(rng, stream.size()))) << "round " << round;
    }
    testing::internal::GetCapturedStdout();
}

}  // namespace
