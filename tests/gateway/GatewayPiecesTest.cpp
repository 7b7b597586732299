// The gateway's pieces without sockets: routing, query decoding, HTTP request to request JSON,
// the configuration (the master's reading of it is in the socket tests) and request ids.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "JsonText.h"
#include "ModuleStats.h"
#include "QueryString.h"
#include "RequestId.h"
#include "RequestTranslator.h"
#include "hosts/c/RequestPojo.h"

namespace http = boost::beast::http;

TEST(GatewayRequest, RoutesByTheFirstSegmentAndDecodesTheQuery) {
    auto route = [](const char* target) -> std::string {  // module, path (as received), query; "" refused
        std::string module;
        boost::beast::string_view path, query;
        if (!RequestTranslator::Route(target, module, path, query)) return "";
        return module + " " + std::string(path) + " " + std::string(query);
    };
    EXPECT_EQ(route("/calc/add?x=1&y=2"), "calc /calc/add x=1&y=2");
    EXPECT_EQ(route("/calc"), "calc /calc ");
    EXPECT_EQ(route("/%63alc/x#frag"), "calc /%63alc/x ");
    EXPECT_EQ(route("http://example.org:80/echo/a?b=1#f"), "echo /echo/a b=1");
    for (const char* refused : {"/", "//x", "*", "http://host"}) EXPECT_EQ(route(refused), "") << refused;
    const std::vector<std::pair<const char*, const char*>> decoded{
        {"a%20b+c%2Bd", "a b c+d"}, {"100%", "100%"}, {"%zz%4", "%zz%4"}, {"%e2%82%AC", "\xe2\x82\xac"}};
    for (const auto& [in, out] : decoded) EXPECT_EQ(QueryString::Decode(in, true), out) << in;
    EXPECT_EQ(QueryString::Decode("a+b", false), "a+b");
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(QueryString::Parse("x=1&&y=&flag&z=a%3Db"),
              (Pairs{{"x", "1"}, {"y", ""}, {"flag", ""}, {"z", "a=b"}}));
}

TEST(GatewayRequest, TheWorkerReadsBackWhatTheHttpRequestSaidAndNeverInvalidUtf8) {
    RequestTranslator::Request req{http::verb::post, "/calc/add?x=1&y=a%20b&x=3&k.j=v", 11};
    req.set("X-Trace", "one");
    req.insert("x-trace", "two");
    req.body() = "line1\nline2 \"quoted\" \\ tab\t ctl\x01 \xc3\xa9t\xc3\xa9";
    std::string json, err;
    ASSERT_TRUE(RequestTranslator::BuildRequestJson(req, "/calc/add", "x=1&y=a%20b&x=3&k.j=v", json));
    RequestPojo pojo;
    ASSERT_TRUE(pojo.ParseGatewayRequest(json, err)) << err << " in " << json;
    EXPECT_EQ(pojo.reqUrl, "/calc/add");
    EXPECT_EQ(pojo.method, "POST");
    EXPECT_EQ(pojo.reqBody, req.body());
    EXPECT_EQ(pojo.reqQuery, (std::map<std::string, std::string>{{"x", "3"}, {"y", "a b"}, {"k.j", "v"}}));
    // Repeated names are grouped under their first spelling; the worker joins them with blanks.
    EXPECT_EQ(pojo.header["X-Trace"], "one two");
    EXPECT_EQ(pojo.header.count("x-trace"), 0u);

    // Invalid UTF-8 is refused rather than sent to a worker that would drop it.
    for (const char* text : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        RequestTranslator::Request req{http::verb::post, "/echo", 11};
        req.body() = text;
        EXPECT_FALSE(RequestTranslator::BuildRequestJson(req, "/echo", "", json)) << text;
    }
    EXPECT_FALSE(
        RequestTranslator::BuildRequestJson({http::verb::get, "/echo?q=%FF", 11}, "/echo", "q=%FF", json));
    EXPECT_TRUE(JsonText::IsValidUtf8("\xf0\x9f\x98\x80 \xe2\x82\xac \xc3\xa9"));
}

TEST(GatewayAppConfig, TheFirstOfTwoEntriesWinsAndWhatVesselWouldReadOnlyPartlyIsRefused) {
    std::string error;
    const std::string entry = "{\"Name\":\"a\",\"Version\":\"1\",\"Location\":\"/x\",\"Type\":\"GO\"}";
    auto config = AppConfig::Parse(
        "{\"Modules\":[" + entry + "," + entry.substr(0, 23) + "9" + entry.substr(24) + "]}", 3, error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->KeyOf("a"), "a||1");  // the first of two wins
    for (const std::string& bad :
         {"{\"Modules\":[" + entry, std::string("{\"Apps\":[]}"),
          "{\"Modules\":[" + entry + ",{\"Name\":\"b\"}]}",  // an entry without the rest
          "{\"Modules\":[" + entry.substr(0, 10) + "||b" + entry.substr(10) + "]}"}) {
        EXPECT_FALSE(AppConfig::Parse(bad, 1, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(GatewayRequestId, UniqueAndNotToBeGuessedFromTheOneBefore) {
    std::set<std::string> ids;
    uint64_t previous = 0,
             rising = 0;  // a counter or a clock rises at every step, random values half the time
    for (int i = 0; i < 10000; ++i) {
        std::string id = RequestId::Next();
        ASSERT_TRUE(ids.insert(id).second && id.find('-') == 16u) << id;
        uint64_t random = std::stoull(id.substr(0, 16), nullptr, 16);
        rising += std::exchange(previous, random) < random;
    }
    EXPECT_TRUE(rising > 4000 && rising < 6000) << rising;
}

TEST(GatewayModuleStats, LatencyOverTheLastMinuteAndTheWholeRun) {
    using namespace std::chrono_literals;
    ModuleStats stats;
    const ModuleStats::Clock::time_point t0{1h};
    for (int i = 0; i < 98; ++i) stats.Record(200, 1ms, t0);
    stats.Record(503, 40ms, t0 + 30s);
    stats.Record(404, 2s, t0 + 59s);
    EXPECT_EQ(stats.Answered(), (std::array<uint64_t, 5>{0, 98, 0, 1, 1}));
    auto near = [](double seconds, double low) { return seconds >= low && seconds <= low * 1.25; };
    EXPECT_PRED2(near, stats.QuantileSeconds(0.5, t0 + 59s), 0.001);
    EXPECT_PRED2(near, stats.QuantileSeconds(0.99, t0 + 59s), 0.040);
    // A minute on, the 98 fast ones have left the window; the second they were in is reused afresh.
    stats.Record(200, 3ms, t0 + 60s);
    EXPECT_PRED2(near, stats.QuantileSeconds(0.5, t0 + 60s), 0.040);
    EXPECT_LT(stats.QuantileSeconds(0.5, t0 + 200s), 0) << "nothing in the last minute";
    ModuleStats::Histogram whole = stats.Lifetime();
    EXPECT_EQ(whole.count, 101u);
    EXPECT_EQ(whole.counts[1], 98u) << "1 ms falls in the le=0.001 bucket";
    EXPECT_EQ(whole.sumMicros, 98 * 1000u + 40000 + 2000000 + 3000);
}
