#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "proto/GatewayProtocol.h"
#include "hosts/c/ResponsePojo.h"

namespace {

ResponsePojo CalcResponse() {
    ResponsePojo r;
    r.moduleName = "calc";
    r.version = "1.0";
    r.requestId = "17";
    r.statusCode = 200;
    r.body = "3";
    return r;
}

TEST(ResponseReq, MatchesTheWorkedExampleOf74Bytes) {
    std::string wire = Serialize(BuildResponseReq(CalcResponse(), 4242));
    EXPECT_EQ(wire,
              "*6\r\n$11\r\nresponsereq\r\n$15\r\ncalc||1.0||4242\r\n$2\r\n17\r\n$3\r\n200\r\n$1\r\n3\r\n$0\r\n\r\n");
    EXPECT_EQ(wire.size(), 74u);
}

TEST(ResponseReq, CarriesThisProcessIdAndEveryFieldInOrder) {
    ResponsePojo r = CalcResponse();
    r.statusCode = 500;
    r.body = "can't find RequestFP";
    std::vector<std::string> parts = BuildResponseReq(r);
    EXPECT_EQ(parts, (std::vector<std::string>{"responsereq", "calc||1.0||" + std::to_string(getpid()), "17", "500",
                                               "can't find RequestFP", ""}));
}

}  // namespace
