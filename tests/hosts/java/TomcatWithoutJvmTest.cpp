// The Tomcat receiver and manager in a worker whose Java VM does not exist (never created or
// failed): every Java call is reported, nothing hangs, drains count as done.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "JavaTestLog.h"
#include "worker/ReqReceiverMgt.h"
#include "hosts/java/TomcatRequestReceiver.h"
#include "hosts/java/TomcatSvcMgt.h"
#include "support/ContainerConfig.h"
#include "model/ModuleKey.h"

namespace {

TEST(TomcatRequestReceiverNoJvmTest, CallsReportTomcatNotReadyAndStopsAreOneWay)
{
    javatest::Home();
    auto r = TomcatRequestReceiver::create("/tmp/udsgateway-x", ModuleKey("orders", "1.0"));
    EXPECT_EQ(r->State(), 2);
    EXPECT_FALSE(r->IsNotReceiving());
    EXPECT_EQ(r->KeyText(), "orders||1.0");
    EXPECT_GE(javatest::CountInLogs("create /tmp/udsgateway-x,orders,1.0"), 1u);

    size_t notReady = javatest::CountInLogs("tomcat not ready");
    EXPECT_EQ(r->start(), -1);
    EXPECT_FALSE(r->ModuleHealthCheck());
    EXPECT_TRUE(r->CheckStopOver());
    EXPECT_GE(javatest::CountInLogs("tomcat not ready,so it's stopped"), 1u);
    EXPECT_GE(javatest::CountInLogs("tomcat not ready"), notReady + 3);

    r->SetNotReceive();
    EXPECT_EQ(r->State(), 1);
    EXPECT_TRUE(r->IsNotReceiving());
    r->stop();
    EXPECT_EQ(r->State(), 0);
    size_t setNot = javatest::CountInLogs("begin invoke SetNotReceive Tomcat clearRequestReceiver...");
    size_t stops = javatest::CountInLogs("begin invoke stop Tomcat clearRequestReceiver...");
    r->SetNotReceive();
    r->stop();
    EXPECT_EQ(r->State(), 0);
    EXPECT_EQ(javatest::CountInLogs("begin invoke SetNotReceive Tomcat clearRequestReceiver..."), setNot);
    EXPECT_EQ(javatest::CountInLogs("begin invoke stop Tomcat clearRequestReceiver..."), stops);
}

TEST(TomcatRequestReceiverNoJvmTest, MethodTablesCarryTheJavaSignatures)
{
    javatest::Home();
    EXPECT_EQ(TomcatRequestReceiver::SignatureOf("insertRequestReceiver"),
              "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V");
    EXPECT_EQ(TomcatRequestReceiver::SignatureOf("queryModuleLoad"),
              "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)Z");
    EXPECT_EQ(TomcatRequestReceiver::SignatureOf("checkWhetherStopOver"), "()Z");
    EXPECT_EQ(TomcatRequestReceiver::ClassOf("queryModuleLoad"), "com/quorla/brv/tomcatuds/business/HealthChecker");
    EXPECT_EQ(TomcatRequestReceiver::ClassOf("reconnect"), "com/quorla/brv/tomcatuds/business/ReqReceiverMgt");
    EXPECT_EQ(TomcatRequestReceiver::SignatureOf("nosuch"), "");
}

TEST(TomcatSvcMgtNoJvmTest, OperateWithoutEnvironmentAndHealthWaitGivesUp)
{
    javatest::Home();
    EXPECT_EQ(TomcatSvcMgt::OperateTomcat(nullptr, "start"), TomcatSvcMgt::RESULT_NO_JVM);
    EXPECT_GE(javatest::CountInLogs("jvm env is NULL"), 1u);

    testsupport::WriteContainerConfig(javatest::Home(), R"({"moduleHealthCheckInterval": 1})");
    auto r = TomcatRequestReceiver::create("/tmp/udsgateway-x", ModuleKey("slowpoke", "2"));
    size_t at11 = javatest::CountInLogs("WaitForModuleLoad 11");
    size_t at1 = javatest::CountInLogs("WaitForModuleLoad 1[");
    EXPECT_EQ(TomcatSvcMgt::WaitForModuleLoad(r), 1);
    EXPECT_EQ(javatest::CountInLogs("WaitForModuleLoad 11"), at11 + 1);
    EXPECT_EQ(javatest::CountInLogs("WaitForModuleLoad 1["), at1 + 1);
    EXPECT_EQ(javatest::CountInLogs("WaitForModuleLoad 2"), 0u);
}

TEST(TomcatSvcMgtNoJvmTest, StartDoesNothingAndStoppedBeforeAnyStartSaysSo)
{
    javatest::Home();
    TomcatSvcMgt* mgt = TomcatSvcMgt::getInstance();
    EXPECT_EQ(mgt, TomcatSvcMgt::getInstance());
    EXPECT_EQ(mgt->Start(), 0);
    ReqReceiverMgt::getInstance().Clear();
    size_t notStarted = javatest::CountInLogs("tomcat not started yet");
    EXPECT_TRUE(mgt->Stopped());
    EXPECT_EQ(javatest::CountInLogs("tomcat not started yet"), notStarted + 1);
    EXPECT_GE(javatest::CountInLogs("TomcatSvcMgt CheckStopOver  success"), 1u);
    EXPECT_FALSE(mgt->IsStarted());
}

}  // namespace
