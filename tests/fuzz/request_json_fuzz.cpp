// The request JSON of a C module: any text from the gateway is safe to parse, what the one-pass
// reader takes it reads as the property tree does, and what toJson renders is JSON that reads
// back to the same request (an exception reading it is a crash).
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

#include "../support/TreeRequestReader.h"
#include "FuzzSupport.h"
#include "base/JsonNesting.h"
#include "hosts/c/RequestPojo.h"
#include "hosts/c/RequestTextReader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallFuzzLogHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    RequestTextReader::Fields fast, tree;
    if (JsonNestingWithin(text, 256) && RequestTextReader::Read(text, fast)) {
        FUZZ_CHECK(testsupport::TreeReadRequest(text, tree));
        FUZZ_CHECK(fast.reqUrl == tree.reqUrl && fast.method == tree.method && fast.reqBody == tree.reqBody);
        FUZZ_CHECK(fast.reqQuery == tree.reqQuery && fast.header == tree.header);
    }
    RequestPojo req;
    std::string err, json = "untouched";
    if (!req.ParseGatewayRequest(text, err)) {
        FUZZ_CHECK(!err.empty());
        return 0;
    }
    req.moduleName = "mod";
    req.version = "1.0";
    const bool rendered = req.toJson(json);
    FUZZ_CHECK(rendered == req.QueryKeysTreeable() && (rendered || json == "untouched"));
    if (!rendered) return 0;
    boost::property_tree::ptree back;
    std::istringstream in(json);
    boost::property_tree::read_json(in, back);
    FUZZ_CHECK(back.get<std::string>("reqUrl") == req.reqUrl &&
               back.get<std::string>("method") == req.method);
    FUZZ_CHECK(back.get<std::string>("reqBody", "") == req.reqBody &&
               back.get<std::string>("moduleName") == "mod");
    for (const auto& [key, value] : req.reqQuery)
        FUZZ_CHECK(back.get_child("reqQuery").get<std::string>(key) == value);
    return 0;
}
