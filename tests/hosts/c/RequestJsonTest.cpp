// The request record: the gateway's request text in, the module's JSON out.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hosts/c/RequestPojo.h"
#include "hosts/c/RequestTextReader.h"
#include "support/TreeRequestReader.h"

namespace {

// Headers and the request id never reach the module.
RequestPojo CalcRequest(std::map<std::string, std::string> query = {{"x", "5"}}, std::string body = "1+2") {
    RequestPojo r;
    r.reqUrl = "/calc/add", r.method = "POST", r.moduleName = "calc", r.version = "1.0";
    r.header = {{"S", "h"}}, r.requestId = "7", r.reqBody = std::move(body), r.reqQuery = std::move(query);
    return r;
}

TEST(RequestJson, ModuleJsonIsExactOmitsEmptyMembersNestsDottedKeysAndEscapes) {
    const std::string head = "{\"reqUrl\":\"\\/calc\\/add\",\"method\":\"POST\",",
                      body = "\"reqBody\":\"1+2\",", tail = "\"moduleName\":\"calc\",\"version\":\"1.0\"";
    const std::pair<RequestPojo, std::string> cases[] = {
        {CalcRequest(), head + body + tail + ",\"reqQuery\":{\"x\":\"5\"}}\n"},
        {CalcRequest({}, ""), head + tail + "}\n"},
        {CalcRequest({{"b", "2"}, {"a.y", "4"}, {"a.x", "3"}, {"c.d.e", "5"}}),
         head + body + tail +
             ",\"reqQuery\":{\"a\":{\"x\":\"3\",\"y\":\"4\"},\"b\":\"2\",\"c\":{\"d\":{\"e\":\"5\"}}}}\n"},
        {CalcRequest({}, "l1\nq\"s/b\\t\tu\x1f\xc3\xa9"),
         head + "\"reqBody\":\"l1\\nq\\\"s\\/b\\\\t\\tu\\u001F\xc3\xa9\"," + tail + "}\n"},
    };
    for (const auto& [request, json] : cases) {
        std::string out;
        EXPECT_TRUE(request.toJson(out));
        EXPECT_EQ(out, json);
    }
}

// What modules have always received: the request as a property tree, written by its JSON writer.
std::string TreeWritten(const RequestPojo& r) {
    namespace pt = boost::property_tree;
    pt::ptree root, query;
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"reqUrl", r.reqUrl},
                                      {"method", r.method},
                                      {"reqBody", r.reqBody},
                                      {"moduleName", r.moduleName},
                                      {"version", r.version}})
        if (name != "reqBody" || !value.empty()) root.push_back({name, pt::ptree(value)});
    for (const auto& [key, value] : r.reqQuery) query.put(key, value);
    if (!query.empty()) root.push_back({"reqQuery", query});
    std::ostringstream text;
    pt::write_json(text, root, false);
    return text.str();
}

TEST(RequestJson, ModuleJsonIsWhatTheTreeWriterWrote) {
    // Names and values from pieces that need every kind of escape, dots for nesting, and names
    // that share a start without sharing a path.
    const std::string pieces[] = {"a",  "b",          "ab",           "a-b",      "x y",  "/", "\"",
                                  "\\", "\n\t\b\f\r", "\x01\x1f\x7f", "\xc3\xa9", "\xff", ""};
    std::mt19937 random(17);
    auto piece = [&] { return pieces[random() % std::size(pieces)]; };
    int compared = 0;
    for (int i = 0; i < 3000; ++i) {
        RequestPojo r = CalcRequest({}, piece() + piece());
        r.reqUrl = "/" + piece() + "/" + piece(), r.method = piece(), r.moduleName = piece(),
        r.version = piece();
        for (size_t n = random() % 5; n > 0; --n) {
            std::string key = piece();
            for (size_t parts = random() % 3; parts > 0; --parts) key += "." + piece();
            r.reqQuery[key] = piece() + piece();
        }
        std::string out;
        if (!r.toJson(out)) continue;
        ++compared;
        ASSERT_EQ(out, TreeWritten(r)) << i;
    }
    EXPECT_GT(compared, 1000);
}

TEST(RequestJson, QueryKeysThatCannotFormATreeAreRefusedWithoutTouchingOut) {
    using Query = std::map<std::string, std::string>;
    for (const Query& query : {Query{{"", "v"}}, Query{{"a..b", "1"}}, Query{{".a", "1"}}, Query{{"a.", "1"}},
                               Query{{"a", "1"}, {"a.b", "2"}}, Query{{"a", ""}, {"a.b", "2"}},
                               Query{{"a.b", "1"}, {"a.b.c", "2"}}}) {
        std::string out = "untouched";
        EXPECT_FALSE(CalcRequest(query).toJson(out)) << query.begin()->first;
        EXPECT_EQ(out, "untouched");
    }
    std::string out;  // shared first letters are no path
    ASSERT_TRUE(CalcRequest({{"a", "1"}, {"ab.c", "2"}, {"a-b", "3"}}).toJson(out));
    EXPECT_NE(out.find("\"reqQuery\":{\"a\":\"1\",\"a-b\":\"3\",\"ab\":{\"c\":\"2\"}}}"), std::string::npos)
        << out;
}

TEST(RequestJson, GatewayTextFillsTheRecordOrIsRejectedLeavingItAlone) {
    RequestPojo r;
    std::string err;
    ASSERT_TRUE(r.ParseGatewayRequest(R"({"ReqUrl":"/add","Method":"GET","ReqBody":"1+2","Extra":1,)"
                                      R"("ReqQuery":{"k":"first","k":"second","n":7},)"
                                      R"("Header":{"Str":"s","Empty":[],"One":["v"],"One":["w","z"]}})",
                                      err))
        << err;
    EXPECT_EQ(r.reqUrl + "|" + r.method + "|" + r.reqBody, "/add|GET|1+2");
    EXPECT_EQ(r.reqQuery, (std::map<std::string, std::string>{{"k", "second"}, {"n", "7"}}));
    EXPECT_EQ(r.header, (std::map<std::string, std::string>{{"One", "w z"}}));

    const std::pair<std::string, std::string> rejected[] = {
        {R"({"ReqUrl":"/a","Method":"GET","ReqBody":"","ReqQuery":{}})", "No such node (Header)"},
        {R"({"Method":"GET","ReqBody":"","ReqQuery":{},"Header":{}})", "No such node (ReqUrl)"},
        {"not json", ""},
        {"[1,2]", ""},
        {"{\"ReqUrl\":\"u\"} tail", ""},
        // Deep enough to overflow a thread stack inside the reader.
        {"{\"ReqUrl\":" + std::string(300000, '[') + std::string(300000, ']') + "}", "nesting"},
    };
    for (const auto& [text, why] : rejected) {
        err.clear();
        EXPECT_FALSE(r.ParseGatewayRequest(text, err)) << text.substr(0, 60);
        EXPECT_TRUE(!err.empty() && err.find(why) != std::string::npos) << err;
        EXPECT_EQ(r.reqUrl, "/add");
    }
    // Brackets inside strings are text, not nesting.
    const std::string brackets(1000, '[');
    ASSERT_TRUE(r.ParseGatewayRequest(
        R"({"ReqUrl":"u","Method":"G","ReqBody":")" + brackets + R"(","ReqQuery":{},"Header":{}})", err))
        << err;
    EXPECT_EQ(r.reqBody, brackets);
}

// Random request texts, some of them broken on purpose: what the one-pass reader takes, it must
// read as the tree does; what it leaves, the tree decides.
TEST(RequestJson, TheOnePassReaderReadsWhatItTakesAsTheTreeDoes) {
    std::mt19937 random(23);
    auto pick = [&](std::initializer_list<const char*> options) {
        return std::string(options.begin()[random() % options.size()]);
    };
    auto space = [&] { return pick({"", "", "", " ", "\n\t", "\r "}); };
    std::function<std::string(int)> value = [&](int depth) -> std::string {
        switch (random() % (depth > 2 ? 3 : 6)) {
            case 5:
            case 0:
                if (random() % 8 == 0)  // what the one-pass reader leaves to the tree
                    return "\"" + pick({"\\u00e9", "\xc3\xa9", "\x01", "\\ud83d\\ude00", "\\x"}) + "\"";
                return "\"" +
                       pick({"", "a", "/calc/add", "GET", "\\\"q\\\"", "\\/\\\\", "\\n\\t\\b\\f\\r", "\x7f",
                             "[{", " sp "}) +
                       "\"";
            case 1:
                return random() % 8 == 0 ? pick({"01", "1.", "-", "+1", ".5"})
                                         : pick({"0", "-1", "12.50", "1e5", "-0.0E+3", "7", "1E-2"});
            case 2:
                return random() % 8 == 0 ? pick({"tru", "nul", "True"}) : pick({"true", "false", "null"});
            case 3: {
                std::string o = "{";
                for (size_t n = random() % 3; n > 0; --n)
                    o += space() + "\"" + (random() % 8 == 0 ? "" : pick({"k", "n", "k.x"})) + "\"" +
                         space() + ":" + value(depth + 1) + (n > 1 ? "," : "");
                return o + space() + "}";
            }
            default: {
                std::string a = "[";
                for (size_t n = random() % 3; n > 0; --n)
                    a += space() + value(depth + 1) + (n > 1 ? "," : "");
                return a + space() + "]";
            }
        }
    };
    int taken = 0, agreed = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::string> names = {"ReqUrl", "Method", "ReqBody", "ReqQuery", "Header"};
        for (size_t n = random() % 3; n > 0; --n)
            names.push_back(pick({"ReqUrl", "ReqBody", "ReqQuery", "Header", "Extra"}));
        std::shuffle(names.begin(), names.end(), random);
        if (random() % 10 == 0) names.pop_back();
        std::string text = "{";
        for (size_t n = 0; n < names.size(); ++n) {
            const std::string& name = names[n];
            std::string v = value(1);
            if (name == "ReqQuery" && random() % 5 != 0)
                v = "{\"x\":" + value(2) + ",\"y\":\"2\"," + space() + "\"" + pick({"x", "z", "a.b"}) +
                    "\":" + value(2) + "}";
            if (name == "Header" && random() % 5 != 0)
                v = "{\"H\":[" + value(2) + "],\"Host\":[\"a\"," + value(2) + "],\"" + pick({"X", "H"}) +
                    "\":" + value(2) + "}";
            text += space() + "\"" + name + "\":" + space() + v + (n + 1 < names.size() ? "," : "");
        }
        text += "}" + space();
        if (random() % 4 == 0) text.insert(random() % text.size(), pick({",", "}", "\"", "\\", "]", "x"}));
        if (random() % 4 == 0) text.erase(random() % text.size(), 1);
        RequestTextReader::Fields fast, tree;
        const bool treeRead = testsupport::TreeReadRequest(text, tree);
        if (!RequestTextReader::Read(text, fast)) continue;
        ++taken;
        ASSERT_TRUE(treeRead) << "taken, but the tree refuses it: " << text;
        EXPECT_EQ(fast.reqUrl + "|" + fast.method + "|" + fast.reqBody,
                  tree.reqUrl + "|" + tree.method + "|" + tree.reqBody)
            << text;
        EXPECT_EQ(fast.reqQuery, tree.reqQuery) << text;
        ASSERT_EQ(fast.header, tree.header) << text;
        ++agreed;
    }
    EXPECT_GT(taken, 1000);
    EXPECT_EQ(agreed, taken);
}

}  // namespace
