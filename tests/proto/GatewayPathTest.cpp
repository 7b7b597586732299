#include <gtest/gtest.h>

#include "proto/GatewayPath.h"
#include "support/TestSupport.h"

using testsupport::ScopedEnv;

TEST(GatewayPathTest, SuffixFollowsAppNameAtEveryCall) {
    {
        ScopedEnv unset("APP_NAME", "", true);
        EXPECT_EQ(GetGatewayPath(), "/tmp/udsgateway");
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner");
    }
    {
        ScopedEnv app("APP_NAME", "OrderSvc");
        EXPECT_EQ(GetGatewayPath(), "/tmp/udsgateway-ordersvc");
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner-ordersvc");
    }
    {
        ScopedEnv app("APP_NAME", "ABC");
        EXPECT_EQ(GetGatewayPath(), "/tmp/udsgateway-abc");
    }
    {
        // Set but empty still adds the dash.
        ScopedEnv app("APP_NAME", "");
        EXPECT_EQ(GetGatewayPath(), "/tmp/udsgateway-");
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner-");
    }
}
