// The gateway's pieces without sockets: HTTP request to request JSON, query decoding, routing,
// the configuration and its reload, and the command line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "AppConfigWatcher.h"
#include "GatewayOptions.h"
#include "JsonText.h"
#include "QueryString.h"
#include "RequestId.h"
#include "RequestTranslator.h"
#include "master/AppConfigLoader.h"
#include "proto/GatewayProtocol.h"
#include "hosts/c/RequestPojo.h"
#include "support/TestSupport.h"

namespace http = boost::beast::http;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Builds the JSON the gateway sends for target and reads it back the way a worker does.
RequestPojo Translate(RequestTranslator::Request& req) {
    std::string module;
    boost::beast::string_view path, query;
    EXPECT_TRUE(RequestTranslator::Route(req.target(), module, path, query));
    std::string json;
    EXPECT_TRUE(RequestTranslator::BuildRequestJson(req, path, query, json));
    RequestPojo pojo;
    std::string err;
    EXPECT_TRUE(pojo.ParseGatewayRequest(json, err)) << err << " in " << json;
    return pojo;
}

}  // namespace

TEST(GatewayQueryString, DecodesPercentPlusAndKeepsBrokenEscapes) {
    EXPECT_EQ(QueryString::Decode("a%20b+c%2Bd", true), "a b c+d");
    EXPECT_EQ(QueryString::Decode("a+b", false), "a+b");
    EXPECT_EQ(QueryString::Decode("100%", true), "100%");
    EXPECT_EQ(QueryString::Decode("%zz%4", true), "%zz%4");
    EXPECT_EQ(QueryString::Decode("%e2%82%AC", true), "\xe2\x82\xac");

    auto pairs = QueryString::Parse("x=1&&y=&flag&z=a%3Db");
    ASSERT_EQ(pairs.size(), 4u);
    EXPECT_EQ(pairs[0], std::make_pair(std::string("x"), std::string("1")));
    EXPECT_EQ(pairs[1], std::make_pair(std::string("y"), std::string()));
    EXPECT_EQ(pairs[2], std::make_pair(std::string("flag"), std::string()));
    EXPECT_EQ(pairs[3], std::make_pair(std::string("z"), std::string("a=b")));
    EXPECT_TRUE(QueryString::Parse("").empty());
}

TEST(GatewayRoute, FirstSegmentIsTheModule) {
    std::string module;
    boost::beast::string_view path, query;
    ASSERT_TRUE(RequestTranslator::Route("/calc/add?x=1&y=2", module, path, query));
    EXPECT_EQ(module, "calc");
    EXPECT_EQ(path, "/calc/add");
    EXPECT_EQ(query, "x=1&y=2");

    ASSERT_TRUE(RequestTranslator::Route("/calc", module, path, query));
    EXPECT_EQ(module, "calc");
    EXPECT_EQ(query, "");
    ASSERT_TRUE(RequestTranslator::Route("/%63alc/x#frag", module, path, query));
    EXPECT_EQ(module, "calc");
    EXPECT_EQ(path, "/%63alc/x");  // the path goes on as received
    ASSERT_TRUE(RequestTranslator::Route("http://example.org:80/echo/a?b=1#f", module, path, query));
    EXPECT_EQ(module, "echo");
    EXPECT_EQ(path, "/echo/a");
    EXPECT_EQ(query, "b=1");

    EXPECT_FALSE(RequestTranslator::Route("/", module, path, query));
    EXPECT_FALSE(RequestTranslator::Route("//x", module, path, query));
    EXPECT_FALSE(RequestTranslator::Route("*", module, path, query));
    EXPECT_FALSE(RequestTranslator::Route("http://host", module, path, query));
}

TEST(GatewayRequestJson, WorkerReadsBackWhatTheHttpRequestSaid) {
    RequestTranslator::Request req{http::verb::post, "/calc/add?x=1&y=a%20b&x=3&k.j=v", 11};
    req.set("X-Trace", "one");
    req.insert("x-trace", "two");
    req.set(http::field::host, "localhost");
    req.body() = "line1\nline2 \"quoted\" \\ tab\t ctl\x01 \xc3\xa9t\xc3\xa9";

    RequestPojo pojo = Translate(req);
    EXPECT_EQ(pojo.reqUrl, "/calc/add");
    EXPECT_EQ(pojo.method, "POST");
    EXPECT_EQ(pojo.reqBody, req.body());
    std::map<std::string, std::string> query{{"x", "3"}, {"y", "a b"}, {"k.j", "v"}};
    EXPECT_EQ(pojo.reqQuery, query);
    // Repeated names are grouped under their first spelling; the worker joins them with blanks.
    EXPECT_EQ(pojo.header["X-Trace"], "one two");
    EXPECT_EQ(pojo.header["Host"], "localhost");
    EXPECT_EQ(pojo.header.count("x-trace"), 0u);
}

TEST(GatewayRequestJson, EmptyPartsAreStillPresentAndOddMethodsPassThrough) {
    RequestTranslator::Request req{http::verb::get, "/echo", 11};
    RequestPojo pojo = Translate(req);
    EXPECT_EQ(pojo.reqUrl, "/echo");
    EXPECT_EQ(pojo.method, "GET");
    EXPECT_EQ(pojo.reqBody, "");
    EXPECT_TRUE(pojo.reqQuery.empty());

    RequestTranslator::Request custom;
    custom.method_string("PURGE");
    custom.target("/echo/x");
    EXPECT_EQ(Translate(custom).method, "PURGE");
}

TEST(GatewayRequestJson, InvalidUtf8IsRefusedRatherThanSentToAWorkerThatWouldDropIt) {
    const char* bad[] = {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
    for (const char* text : bad) {
        EXPECT_FALSE(JsonText::IsValidUtf8(text)) << text;
        RequestTranslator::Request req{http::verb::post, "/echo", 11};
        req.body() = text;
        std::string json;
        EXPECT_FALSE(RequestTranslator::BuildRequestJson(req, "/echo", "", json));
    }
    RequestTranslator::Request req{http::verb::get, "/echo?q=%FF", 11};
    std::string json;
    EXPECT_FALSE(RequestTranslator::BuildRequestJson(req, "/echo", "q=%FF", json));
    EXPECT_TRUE(JsonText::IsValidUtf8("\xf0\x9f\x98\x80 \xe2\x82\xac \xc3\xa9"));
}

TEST(GatewayRequestJson, MessageFrameIsTheProtocolEncoding) {
    std::string json = "{\"ReqUrl\":\"/a\"}\r\n";
    EXPECT_EQ(RequestTranslator::BuildMessageFrame("calc", "17", json),
              Serialize({"message", "calc", "17", json}));
}

TEST(GatewayJsonText, CompactRemovesLayoutOutsideStringsOnly) {
    EXPECT_EQ(JsonText::Compact("{\n  \"a b\" : [ 1, \"x\\\" y\" ],\r\n\t\"c\":\"\\\\\" }\n"),
              "{\"a b\":[1,\"x\\\" y\"],\"c\":\"\\\\\"}");
}

TEST(GatewayAppConfig, ParsesBothFormsAndGivesTheMasterOneLine) {
    std::string error;
    const std::string text =
        "{\n \"Modules\": [\n  {\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m/calc\",\"Type\":\"C_MODULE\"},\n"
        "  {\"Name\":\"echo\",\"Version\":\"2\",\"Location\":\"/m/echo\",\"Type\":\"C_MODULE\",\"VmArgs\":\"-a b\"},\n"
        "  {\"Name\":\"calc\",\"Version\":\"9\",\"Location\":\"/m/c9\",\"Type\":\"C_MODULE\"}\n ]\n}\n";
    auto config = AppConfig::Parse(text, 3, error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->Generation(), 3u);
    EXPECT_EQ(config->KeyOf("calc"), "calc||1.0");  // the first of two wins
    EXPECT_EQ(config->KeyOf("echo"), "echo||2");
    EXPECT_EQ(config->KeyOf("nope"), "");

    // The master reads the reply with its line-splitting parser: the JSON must survive it whole.
    std::vector<std::string> values;
    ASSERT_EQ(parseSchema(config->AppcfgFrame(), values), 0);
    auto modules = AppConfigLoader::parseAppCfgCmd(values);
    ASSERT_EQ(modules.size(), 3u);
    EXPECT_EQ(modules[1].GetName(), "echo");
    EXPECT_EQ(modules[1].GetVmArgs(), "-a b");

    auto lower = AppConfig::Parse(
        "{\"modules\":[{\"name\":\"go1\",\"version\":\"1\",\"location\":\"/g\",\"type\":\"GO\"}]}", 1, error);
    ASSERT_TRUE(lower) << error;
    EXPECT_EQ(lower->KeyOf("go1"), "go1||1");
}

TEST(GatewayAppConfig, RefusesWhatVesselWouldReadOnlyPartly) {
    std::string error;
    EXPECT_FALSE(AppConfig::Parse("{\"Modules\":[", 1, error));
    EXPECT_NE(error.find("not JSON"), std::string::npos);
    EXPECT_FALSE(AppConfig::Parse("{\"Apps\":[]}", 1, error));
    EXPECT_FALSE(AppConfig::Parse(
        "{\"Modules\":[{\"Name\":\"a\",\"Version\":\"1\",\"Location\":\"/x\",\"Type\":\"GO\"},{\"Name\":\"b\"}]}", 1,
        error));
    EXPECT_NE(error.find("module 1"), std::string::npos) << error;
    EXPECT_FALSE(AppConfig::Parse(
        "{\"Modules\":[{\"Name\":\"a||b\",\"Version\":\"1\",\"Location\":\"/x\",\"Type\":\"GO\"}]}", 1, error));
    EXPECT_TRUE(AppConfig::Parse("{\"Modules\":[]}", 1, error));
}

TEST(GatewayAppConfigWatcher, ReloadsOnChangeAndKeepsTheLastGoodConfiguration) {
    TempDir dir("gwcfg");
    const std::string path = dir / "gateway.json";
    WriteFile(path, "{\"Modules\":[{\"Name\":\"a\",\"Version\":\"1\",\"Location\":\"/x\",\"Type\":\"C_MODULE\"}]}");
    AppConfigWatcher watcher(path);
    std::shared_ptr<const AppConfig> config;
    std::string error;
    ASSERT_TRUE(watcher.Load(config, error)) << error;
    EXPECT_EQ(config->KeyOf("a"), "a||1");
    EXPECT_EQ(watcher.Poll(), nullptr);
    EXPECT_EQ(watcher.Poll(true), nullptr);  // same content: nothing new for Vessel

    WriteFile(path, "{\"Modules\":[{\"Name\":\"a\",\"Version\":\"2\",\"Location\":\"/x\",\"Type\":\"C_MODULE\"}]}");
    auto second = watcher.Poll(true);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->KeyOf("a"), "a||2");
    EXPECT_GT(second->Generation(), config->Generation());

    WriteFile(path, "{\"Modules\":[{\"Name\":");
    EXPECT_EQ(watcher.Poll(true), nullptr);
    unlink(path.c_str());
    EXPECT_EQ(watcher.Poll(), nullptr);
    WriteFile(path, "{\"Modules\":[]}");
    auto third = watcher.Poll();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->ModuleCount(), 0u);

    AppConfigWatcher missing(dir / "absent.json");
    EXPECT_FALSE(missing.Load(config, error));
}

TEST(GatewayOptions, ParsesFlagsAndRefusesNonsense) {
    GatewayOptions options;
    std::string error;
    ASSERT_TRUE(options.Parse({"--listen", "0.0.0.0:9000", "--threads=2", "--request-timeout", "0.25",
                               "--max-body", "10", "--socket-mode", "0660", "--app-name", "Demo",
                               "--max-connections", "500", "--trusted-user=www-data"},
                              error))
        << error;
    EXPECT_EQ(options.listenHost, "0.0.0.0");
    EXPECT_EQ(options.listenPort, 9000);
    EXPECT_EQ(options.threads, 2u);
    EXPECT_EQ(options.requestTimeout.count(), 250);
    EXPECT_EQ(options.maxBody, 10u);
    EXPECT_EQ(options.socketMode, 0660u);
    EXPECT_EQ(options.GatewaySocketPath(), "/tmp/udsgateway-demo");
    EXPECT_EQ(options.maxConnections, 500u);
    EXPECT_EQ(options.trustedUser, "www-data");

    GatewayOptions v6;
    ASSERT_TRUE(v6.Parse({"--listen", "[::1]:81"}, error));
    EXPECT_EQ(v6.listenHost, "::1");
    EXPECT_EQ(v6.listenPort, 81);

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--listen", "host:99999"}, {"--threads", "0"}, {"--request-timeout", "-1"},
             {"--socket-mode", "999"}, {"--bogus", "1"}, {"--config"}, {"--max-body", "1k"},
             {"--max-connections", "0"}, {"--trusted-user="}}) {
        GatewayOptions o;
        EXPECT_FALSE(o.Parse(bad, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(GatewayRequestId, UniqueAndNotToBeGuessedFromTheOneBefore) {
    std::set<std::string> ids;
    std::vector<uint64_t> random;
    for (int i = 0; i < 10000; ++i) {
        std::string id = RequestId::Next();
        ASSERT_TRUE(ids.insert(id).second) << id;
        ASSERT_EQ(id.find('-'), 16u) << id;
        random.push_back(std::stoull(id.substr(0, 16), nullptr, 16));
    }
    // A counter or a clock rises at every step; random values rise about half the time.
    size_t rising = 0;
    for (size_t i = 1; i < random.size(); ++i) {
        rising += random[i] > random[i - 1] ? 1 : 0;
    }
    EXPECT_GT(rising, 4000u);
    EXPECT_LT(rising, 6000u);
}
