#include <gtest/gtest.h>

#include <string>

#include "hosts/c/RequestPojo.h"

namespace {

RequestPojo CalcRequest() {
    RequestPojo r;
    r.reqUrl = "/calc/add";
    r.method = "POST";
    r.reqBody = "1+2";
    r.moduleName = "calc";
    r.version = "1.0";
    r.reqQuery = {{"x", "5"}};
    return r;
}

std::string Json(const RequestPojo& r) {
    std::string out;
    EXPECT_TRUE(r.toJson(out));
    return out;
}

const char* const GOOD_REQUEST =
    R"({"ReqUrl":"/add","Method":"POST","ReqBody":"1+2","ReqQuery":{"y":"2","x":"1"},)"
    R"("Header":{"Accept":["a","b","c"]}})";

TEST(ModuleJson, MatchesTheWorkedExampleByteForByte) {
    EXPECT_EQ(Json(CalcRequest()),
              "{\"reqUrl\":\"\\/calc\\/add\",\"method\":\"POST\",\"reqBody\":\"1+2\",\"moduleName\":\"calc\","
              "\"version\":\"1.0\",\"reqQuery\":{\"x\":\"5\"}}\n");
}

TEST(ModuleJson, LeavesOutEmptyBodyAndQueryAndNeverSendsHeadersOrRequestId) {
    RequestPojo r = CalcRequest();
    r.reqBody.clear();
    r.reqQuery.clear();
    r.header = {{"Secret", "h-value"}};
    r.requestId = "req-77";
    r.requestStr = "raw-text";
    EXPECT_EQ(Json(r), "{\"reqUrl\":\"\\/calc\\/add\",\"method\":\"POST\",\"moduleName\":\"calc\",\"version\":\"1.0\"}\n");
}

TEST(ModuleJson, QueryIsSortedAndDottedKeysNest) {
    RequestPojo r = CalcRequest();
    r.reqQuery = {{"b", "2"}, {"a.y", "4"}, {"a.x", "3"}, {"c.d.e", "5"}};
    std::string json = Json(r);
    EXPECT_NE(json.find(",\"reqQuery\":{\"a\":{\"x\":\"3\",\"y\":\"4\"},\"b\":\"2\",\"c\":{\"d\":{\"e\":\"5\"}}}}\n"),
              std::string::npos)
        << json;
}

TEST(ModuleJson, EscapesControlCharactersAndPassesUtf8Through) {
    RequestPojo r = CalcRequest();
    r.reqQuery.clear();
    r.reqBody = std::string("l1\nq\"s/b\\t\tu\x1f") + "\xc3\xa9\xe2\x82\xac";
    std::string json = Json(r);
    EXPECT_NE(json.find("\"reqBody\":\"l1\\nq\\\"s\\/b\\\\t\\tu\\u001F\xc3\xa9\xe2\x82\xac\""), std::string::npos)
        << json;
}

TEST(ModuleJson, UntreeableQueryKeysAreRefusedWithoutTouchingOut) {
    const std::map<std::string, std::string> bad[] = {
        {{"", "v"}},                  // empty key: would land on the reqQuery node itself
        {{"a..b", "1"}},              // empty middle part
        {{".a", "1"}},                // empty first part
        {{"a.", "1"}},                // empty last part (the tree asserts on it)
        {{"a", "1"}, {"a.b", "2"}},   // value and object at once (the writer throws)
        {{"a", ""}, {"a.b", "2"}},    // the value of "a" would vanish silently
        {{"a.b", "1"}, {"a.b.c", "2"}},
    };
    for (const auto& query : bad) {
        RequestPojo r = CalcRequest();
        r.reqQuery = query;
        std::string out = "untouched";
        EXPECT_FALSE(r.QueryKeysTreeable()) << query.begin()->first;
        EXPECT_FALSE(r.toJson(out)) << query.begin()->first;
        EXPECT_EQ(out, "untouched");
    }
    RequestPojo fine = CalcRequest();
    fine.reqQuery = {{"a", "1"}, {"ab.c", "2"}, {"a-b", "3"}};  // shared first letters are no prefix path
    EXPECT_TRUE(fine.QueryKeysTreeable());
    EXPECT_EQ(Json(fine).substr(Json(fine).find("reqQuery")), "reqQuery\":{\"a\":\"1\",\"a-b\":\"3\",\"ab\":{\"c\":\"2\"}}}\n");
}

TEST(GatewayRequest, FillsTheRecordWithSortedMapsAndJoinedHeaders) {
    RequestPojo r;
    std::string err;
    ASSERT_TRUE(r.ParseGatewayRequest(GOOD_REQUEST, err)) << err;
    EXPECT_EQ(r.reqUrl, "/add");
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.reqBody, "1+2");
    EXPECT_EQ(r.reqQuery, (std::map<std::string, std::string>{{"x", "1"}, {"y", "2"}}));
    EXPECT_EQ(r.header, (std::map<std::string, std::string>{{"Accept", "a b c"}}));
}

TEST(GatewayRequest, SkipsHeaderMembersThatAreNoNonEmptyArraysAndKeepsLastDuplicate) {
    RequestPojo r;
    std::string err;
    ASSERT_TRUE(r.ParseGatewayRequest(
                    R"({"ReqUrl":"u","Method":"GET","ReqBody":"","Extra":1,)"
                    R"("ReqQuery":{"k":"first","k":"second","n":7},)"
                    R"("Header":{"Str":"s","Empty":[],"Obj":{"x":"y"},"One":["v"],"One":["w","z"]}})",
                    err))
        << err;
    EXPECT_EQ(r.header, (std::map<std::string, std::string>{{"One", "w z"}}));
    EXPECT_EQ(r.reqQuery, (std::map<std::string, std::string>{{"k", "second"}, {"n", "7"}}));
}

TEST(GatewayRequest, RejectsMissingMembersAndNonJsonWithTheReaderText) {
    RequestPojo r;
    r.reqUrl = "kept";
    std::string err;
    EXPECT_FALSE(r.ParseGatewayRequest(R"({"ReqUrl":"/a","Method":"GET","ReqBody":"","ReqQuery":{}})", err));
    EXPECT_EQ(err, "No such node (Header)");
    EXPECT_EQ(r.reqUrl, "kept");  // a rejected request leaves the record as it was

    err.clear();
    EXPECT_FALSE(r.ParseGatewayRequest(R"({"Method":"GET","ReqBody":"","ReqQuery":{},"Header":{}})", err));
    EXPECT_EQ(err, "No such node (ReqUrl)");

    for (const char* text : {"not json", "", "{\"ReqUrl\":\"u\"", "[1,2]", "{\"ReqUrl\":\"u\"} tail"}) {
        err.clear();
        EXPECT_FALSE(r.ParseGatewayRequest(text, err)) << text;
        EXPECT_FALSE(err.empty()) << text;
    }
}

TEST(GatewayRequest, DeepNestingIsRejectedInsteadOfOverflowingTheStack) {
    // A few hundred thousand levels overflow an 8 MiB thread stack inside the reader.
    std::string deep = "{\"ReqUrl\":" + std::string(300000, '[') + std::string(300000, ']') + "}";
    RequestPojo r;
    std::string err;
    EXPECT_FALSE(r.ParseGatewayRequest(deep, err));
    EXPECT_NE(err.find("nesting"), std::string::npos) << err;
    // Brackets inside strings are text, not nesting.
    std::string body = std::string(1000, '[');
    std::string text = R"({"ReqUrl":"u","Method":"GET","ReqBody":")" + body + R"(\"[","ReqQuery":{},"Header":{}})";
    ASSERT_TRUE(r.ParseGatewayRequest(text, err)) << err;
    EXPECT_EQ(r.reqBody, body + "\"[");
}

TEST(GatewayRequest, RoundTripsIntoTheModuleJson) {
    RequestPojo r;
    std::string err;
    ASSERT_TRUE(r.ParseGatewayRequest(GOOD_REQUEST, err)) << err;
    r.moduleName = "calc";
    r.version = "1.0";
    EXPECT_EQ(Json(r), "{\"reqUrl\":\"\\/add\",\"method\":\"POST\",\"reqBody\":\"1+2\",\"moduleName\":\"calc\","
                       "\"version\":\"1.0\",\"reqQuery\":{\"x\":\"1\",\"y\":\"2\"}}\n");
}

}  // namespace
