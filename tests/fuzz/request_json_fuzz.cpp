// The request JSON of a C module: any text from the gateway is safe to parse, and what toJson
// renders is JSON that reads back to the same request.
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "hosts/c/RequestPojo.h"

namespace pt = boost::property_tree;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    RequestPojo req;
    std::string err;
    if (!req.ParseGatewayRequest(text, err)) {
        FUZZ_CHECK(!err.empty());
        return 0;
    }
    req.moduleName = "mod";
    req.version = "1.0";

    std::string json = "untouched";
    bool rendered = req.toJson(json);
    FUZZ_CHECK(rendered == req.QueryKeysTreeable());
    if (!rendered) {
        FUZZ_CHECK(json == "untouched");
        return 0;
    }
    pt::ptree back;
    try {
        std::istringstream in(json);
        pt::read_json(in, back);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "toJson wrote unreadable JSON: %s\n", e.what());
        std::abort();
    }
    FUZZ_CHECK(back.get<std::string>("reqUrl") == req.reqUrl);
    FUZZ_CHECK(back.get<std::string>("method") == req.method);
    FUZZ_CHECK(back.get<std::string>("reqBody", "") == req.reqBody);
    FUZZ_CHECK(back.get<std::string>("moduleName") == "mod");
    for (const auto& entry : req.reqQuery) {
        FUZZ_CHECK(back.get_child("reqQuery").get<std::string>(entry.first) == entry.second);
    }
    return 0;
}
