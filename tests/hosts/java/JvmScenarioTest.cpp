// The Java VM manager and the Tomcat receiver against a real Java VM, each scenario in a child
// process of its own, with stand-in Java classes in place of the receiver side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "JvmChild.h"
#include "hosts/java/JniEnvGuard.h"
#include "hosts/java/JvmMgt.h"
#include "hosts/java/TomcatRequestReceiver.h"
#include "support/LogLines.h"
#include "model/ModuleKey.h"

using namespace std::chrono_literals;
using javavmtest::Checks;
using javavmtest::RunInChild;

namespace {

constexpr const char* kReceiverClass = "com/quorla/brv/tomcatuds/business/ReqReceiverMgt";
constexpr const char* kHealthClass = "com/quorla/brv/tomcatuds/business/HealthChecker";
constexpr const char* kCountSig = "(Ljava/lang/String;)I";

std::string FixtureVmArgs()
{
    return "-Xmx64m -Djava.class.path=" + javavmtest::FixtureClassPath();
}

void ExpectPassed(const javavmtest::ChildOutcome& out)
{
    EXPECT_TRUE(out.Passed()) << "wait status " << out.waitStatus << "\n"
                              << out.notes << "\n--- child log ---\n"
                              << out.logs;
}

TEST(JvmScenarioTest, VmIsCreatedOnTheJvmThreadAndASecondCreateKeepsIt)
{
    auto out = RunInChild(
        [](Checks& c) {
            JvmMgt& jvm = JvmMgt::getInstance();
            std::thread jvmThread = javavmtest::StartJvmThread();
            jvm.PushCommand("createJvm", FixtureVmArgs());
            CHILD_EXPECT(c, jvm.WaitForJvmStart() == 0);
            JvmPojo record = jvm.GetJvmPojo();
            JavaVM* vm = record.GetVm();
            if (!CHILD_EXPECT(c, vm != nullptr)) {
                return;
            }
            CHILD_EXPECT(c, record.GetEnv() != nullptr);
            // The creation's timing line carries the thread that wrote it: the JVM thread.
            std::string tid = ":" + std::to_string(static_cast<unsigned long>(jvmThread.native_handle())) + "]";
            auto lines = testsupport::LinesWith(testsupport::ReadLogs(getenv("_APP_LOG_DIR"), "jvmtest"),
                                                "JvmMgt::CreateJvm cost ms:");
            CHILD_EXPECT(c, lines.size() == 1 && lines[0].find(tid) != std::string::npos);
            // The creating thread was the JVM thread: this one is not attached.
            JNIEnv* env = nullptr;
            CHILD_EXPECT(c, vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) == JNI_EDETACHED);
            {
                JniEnvGuard guard;
                CHILD_EXPECT(c, guard.GetJniEnv() != nullptr);
                CHILD_EXPECT(c, guard.Attached());
            }
            // The guard detached again.
            CHILD_EXPECT(c, vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) == JNI_EDETACHED);

            // An option the VM would refuse shows that no second creation is attempted.
            jvm.PushCommand("createJvm", "-Xthis-option-does-not-exist");
            CHILD_EXPECT(c, testsupport::WaitFor([&] { return jvm.QueueSize() == 0; }, 10s));
            CHILD_EXPECT(c, jvm.WaitForJvmStart() == 0);
            CHILD_EXPECT(c, jvm.GetJvmPojo().GetVm() == vm);

            jvm.PushCommand("stopJvm", "");
            int32_t polls = 20;
            jvm.WaitForJvmQuit(&polls);
            CHILD_EXPECT(c, jvm.GetJvmPojo().GetVm() == nullptr);
            jvm.StopQueue();
            jvmThread.join();
        },
        60s);
    ExpectPassed(out);
    auto created = testsupport::LinesWith(out.logs, "JvmMgt::CreateJvm cost ms:");
    ASSERT_EQ(created.size(), 2u) << out.logs;
    EXPECT_EQ(testsupport::LinesWith(out.logs, "jvm exists").size(), 1u);
    EXPECT_TRUE(testsupport::LinesWith(out.logs, "JNI_CreateJavaVM fail").empty());
    EXPECT_EQ(testsupport::LinesWith(out.logs, "DestroyJavaVM end,0").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "wait for JvmQuit end,0,").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "JvmMgt::Run leave").size(), 1u);
}

TEST(JvmScenarioTest, ThrowingJavaMethodsLeaveNoPendingExceptionAndReportFailure)
{
    auto out = RunInChild(
        [](Checks& c) {
            JvmMgt& jvm = JvmMgt::getInstance();
            std::thread jvmThread = javavmtest::StartJvmThread();
            jvmThread.detach();
            jvm.PushCommand("createJvm", FixtureVmArgs());
            if (!CHILD_EXPECT(c, jvm.WaitForJvmStart() == 0)) {
                return;
            }
            // Attached before the calls, so their guards leave this thread attached and any
            // exception they left pending would still be visible here.
            JavaVM* vm = jvm.GetJvmPojo().GetVm();
            JNIEnv* env = nullptr;
            CHILD_EXPECT(c, vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) == JNI_OK);

            auto r = TomcatRequestReceiver::create("/tmp/udsgateway-none", ModuleKey("throw", "1"));
            CHILD_EXPECT(c, r->start() == -1);
            CHILD_EXPECT(c, env->ExceptionCheck() == JNI_FALSE);
            CHILD_EXPECT(c, !r->ModuleHealthCheck());
            CHILD_EXPECT(c, env->ExceptionCheck() == JNI_FALSE);
            CHILD_EXPECT(c, r->InvokeMethod("reconnect") == -1);
            CHILD_EXPECT(c, env->ExceptionCheck() == JNI_FALSE);
            r->SetNotReceive();
            CHILD_EXPECT(c, env->ExceptionCheck() == JNI_FALSE);
            CHILD_EXPECT(c, r->State() == 1);

            jclass cls = env->FindClass(kReceiverClass);
            jmethodID setThrow = env->GetStaticMethodID(cls, "setThrowOnStopOver", "(Z)V");
            env->CallStaticVoidMethod(cls, setThrow, JNI_TRUE);
            CHILD_EXPECT(c, !r->CheckStopOver());
            CHILD_EXPECT(c, env->ExceptionCheck() == JNI_FALSE);
            env->CallStaticVoidMethod(cls, setThrow, JNI_FALSE);
            CHILD_EXPECT(c, r->CheckStopOver());

            // A method the tables do not know never reaches Java.
            CHILD_EXPECT(c, r->InvokeMethod("nosuchMethod") == -1);
            CHILD_EXPECT(c, env->ExceptionCheck() == JNI_FALSE);
            // Every throwing call did reach the Java side.
            CHILD_EXPECT(c, javavmtest::CallStaticInt(env, kReceiverClass, "calls", kCountSig, "insert:throw||1") == 1);
            CHILD_EXPECT(c, javavmtest::CallStaticInt(env, kReceiverClass, "calls", kCountSig, "health:throw||1") == 1);
            CHILD_EXPECT(c, javavmtest::CallStaticInt(env, kReceiverClass, "calls", kCountSig, "clear:throw||1") == 1);
            vm->DetachCurrentThread();
        },
        60s);
    ExpectPassed(out);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "call insertRequestReceiver method fail").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "invoke InsertRequestReceiver fail").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "call queryModuleLoad method fail, healthCheckUrl:/rest/vude/throw/healthcheck port:32018 moduleKey:throw||1 udsAddr:/tmp/udsgateway-none").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "call method fail clearRequestReceiver").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "invoke clearRequestReceiver fail").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "call checkWhetherStopOver method fail, moduleKey:throw||1").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "find class fail").size(), 1u);
}

TEST(JvmScenarioTest, StopCallsJavaOnceAndNothingAfterIt)
{
    auto out = RunInChild(
        [](Checks& c) {
            JvmMgt& jvm = JvmMgt::getInstance();
            std::thread jvmThread = javavmtest::StartJvmThread();
            jvmThread.detach();
            jvm.PushCommand("createJvm", FixtureVmArgs());
            if (!CHILD_EXPECT(c, jvm.WaitForJvmStart() == 0)) {
                return;
            }
            auto orders = TomcatRequestReceiver::create("/tmp/udsgateway-t", ModuleKey("orders", "1.0"));
            auto ready = TomcatRequestReceiver::create("/tmp/udsgateway-t", ModuleKey("ready", "2"));
            CHILD_EXPECT(c, orders->start() == 0);
            CHILD_EXPECT(c, !orders->ModuleHealthCheck());
            CHILD_EXPECT(c, ready->ModuleHealthCheck());

            orders->stop();
            orders->stop();
            CHILD_EXPECT(c, orders->State() == 0);
            orders->SetNotReceive();
            CHILD_EXPECT(c, orders->State() == 0);

            ready->SetNotReceive();
            CHILD_EXPECT(c, ready->State() == 1 && ready->IsNotReceiving());
            ready->stop();
            CHILD_EXPECT(c, ready->State() == 0);

            JniEnvGuard guard;
            JNIEnv* env = guard.GetJniEnv();
            if (!CHILD_EXPECT(c, env != nullptr)) {
                return;
            }
            CHILD_EXPECT(c, javavmtest::CallStaticInt(env, kReceiverClass, "calls", kCountSig, "clear:orders||1.0") == 1);
            CHILD_EXPECT(c, javavmtest::CallStaticInt(env, kReceiverClass, "calls", kCountSig, "clear:ready||2") == 2);
            std::string pid = std::to_string(getpid());
            CHILD_EXPECT(c, javavmtest::CallStaticString(env, kReceiverClass, "lastInsert") ==
                                "orders||1.0|" + pid + "|/tmp/udsgateway-t");
            CHILD_EXPECT(c, javavmtest::CallStaticString(env, kHealthClass, "lastQuery") ==
                                "/rest/vude/ready/healthcheck|32018|ready||2|/tmp/udsgateway-t");
        },
        60s);
    ExpectPassed(out);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "begin invoke stop Tomcat clearRequestReceiver...").size(), 2u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "begin invoke SetNotReceive Tomcat clearRequestReceiver...").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "invoke method:clearRequestReceiver,modulKeyStr:orders||1.0").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "queryModuleLoad,ready||2, load:1,/rest/vude/ready/healthcheck").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "queryModuleLoad,orders||1.0, load:0,/rest/vude/orders/healthcheck").size(), 1u);
}

TEST(JvmScenarioTest, AnOptionTheVmRefusesFailsCreationWithStatusThree)
{
    auto out = RunInChild(
        [](Checks& c) {
            JvmMgt& jvm = JvmMgt::getInstance();
            std::thread jvmThread = javavmtest::StartJvmThread();
            jvmThread.detach();
            jvm.PushCommand("createJvm", "-Xthis-option-does-not-exist");
            CHILD_EXPECT(c, jvm.WaitForJvmStart() == JvmMgt::STATUS_CREATE_FAIL);
            CHILD_EXPECT(c, jvm.GetJvmPojo().GetVm() == nullptr);
            // Without a VM the receiver reports, and a drain counts as done.
            auto r = TomcatRequestReceiver::create("/tmp/udsgateway-t", ModuleKey("orders", "1.0"));
            CHILD_EXPECT(c, r->start() == -1);
            CHILD_EXPECT(c, r->CheckStopOver());
        },
        60s);
    ExpectPassed(out);
    EXPECT_EQ(testsupport::LinesWith(out.logs, "JNI_CreateJavaVM fail,").size(), 1u);
    EXPECT_GE(testsupport::LinesWith(out.logs, "tomcat not ready").size(), 2u);
}

}  // namespace
