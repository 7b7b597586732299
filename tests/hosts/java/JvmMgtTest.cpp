// The Java VM manager: the option list built from a module's VM argument string, and a real VM on
// the JVM thread (in a child process: a process creates one VM only) carrying the Tomcat
// receiver's calls to stand-in receiver classes (fixture/).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/CommonUtil.h"
#include "hosts/java/JniEnvGuard.h"
#include "hosts/java/JvmMgt.h"
#include "hosts/java/TomcatRequestReceiver.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Options = std::vector<std::string>;

namespace {

// The stand-in receiver's transcript of the calls that reached Java.
std::string Transcript(JNIEnv* env) {
    jclass cls = env->FindClass("com/quorla/brv/tomcatuds/business/ReqReceiverMgt");
    jmethodID calls = env->GetStaticMethodID(cls, "calls", "()Ljava/lang/String;");
    auto text = static_cast<jstring>(env->CallStaticObjectMethod(cls, calls));
    const char* chars = env->GetStringUTFChars(text, nullptr);
    std::string out(chars);
    env->ReleaseStringUTFChars(text, chars);
    return out;
}

}  // namespace

TEST(JvmMgtTest, OptionsArePiecesInOrderThenTheHomesJarsThenXrs) {
    testsupport::TempDir dir("vessel-jvmopt");
    // One jar each, so directory order does not matter: "xjar" has the suffix, "a.jar.txt" has not.
    const std::string tc = dir / "tc", uds = dir / "uds";
    MakeDirs((tc + "/lib").c_str(), 0755);
    MakeDirs((uds + "/lib").c_str(), 0755);
    for (const std::string& jar : {tc + "/lib/a.jar", tc + "/lib/a.jar.txt", uds + "/lib/xjar"})
        testsupport::WriteFile(jar, "");
    for (const auto& c : std::vector<std::pair<std::string, Options>>{
             {"  ", {"-Xrs"}},
             {" -Xmx512m  -Da=1 ", {"-Xmx512m", "-Da=1", "-Xrs"}},
             {"-Dcatalina.home=" + tc,
              {"-Dcatalina.home=" + tc, "-Djava.class.path=" + tc + "/lib/a.jar:", "-Xrs"}},
             {"-Dtomcatuds.home=" + uds,
              {"-Dtomcatuds.home=" + uds, "-Djava.class.path=:" + uds + "/lib/xjar", "-Xrs"}},
             {"-Djava.class.path=/x -Dcatalina.home=" + tc + " -Dtomcatuds.home=" + uds,
              {"-Djava.class.path=/x:" + tc + "/lib/a.jar:" + uds + "/lib/xjar", "-Dcatalina.home=" + tc,
               "-Dtomcatuds.home=" + uds, "-Xrs"}},
             {"-Dcatalina.home=/nonexistent", {"-Dcatalina.home=/nonexistent", "-Xrs"}}}) {
        EXPECT_EQ(JvmMgt::BuildJvmOptions(c.first), c.second) << c.first;
    }
}

TEST(JvmMgtTest, VmOnItsOwnThreadCarriesReceiverCallsAndThrowingJavaLeavesNothingPending) {
    testsupport::RunInChildWithLog([](testsupport::LogReader&) {
        JvmMgt& jvm = JvmMgt::getInstance();
        // Before a VM exists, a receiver reports failure and a drain counts as done.
        auto ready = TomcatRequestReceiver::create("/tmp/gw", ModuleKey("ready", "2"));
        EXPECT_EQ(ready->start(), -1);
        EXPECT_TRUE(ready->CheckStopOver());

        std::thread jvmThread(&JvmMgt::Run, &jvm);
        jvm.PushCommand("createJvm",
                        "-Xmx64m -Djava.class.path=" VESSEL_BINARY_DIR "/tests/java-fixture/classes");
        EXPECT_EQ(jvm.WaitForJvmStart(), 0);
        JavaVM* vm = jvm.GetJvmPojo().GetVm();
        ASSERT_NE(vm, nullptr);
        // Created on the JVM thread: this thread is attached only within a guard's scope.
        JNIEnv* env = nullptr;
        auto attached = [&] { return vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) == JNI_OK; };
        EXPECT_FALSE(attached());
        EXPECT_TRUE(JniEnvGuard().Attached() && attached());
        EXPECT_FALSE(attached());

        // Attached from here on, so an exception a call left pending would stay visible here.
        ASSERT_EQ(vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr), JNI_OK);
        auto bad = TomcatRequestReceiver::create("/tmp/gw", ModuleKey("throw", "1"));
        auto clean = [&] { return env->ExceptionCheck() == JNI_FALSE; };
        EXPECT_TRUE(bad->start() == -1 && clean());
        EXPECT_TRUE(!bad->CheckStopOver() && clean());
        EXPECT_TRUE(!bad->ModuleHealthCheck() && clean());
        EXPECT_TRUE(bad->InvokeMethod("reconnect") == -1 && clean());
        EXPECT_TRUE(bad->InvokeMethod("nosuchMethod") == -1 && clean());
        EXPECT_EQ(ready->start(), 0);
        EXPECT_TRUE(ready->ModuleHealthCheck());
        EXPECT_TRUE(ready->CheckStopOver());
        ready->SetNotReceive();
        EXPECT_EQ(ready->State(), 1);
        ready->stop();
        ready->stop();  // once stopped, nothing more reaches Java
        ready->SetNotReceive();
        const std::string pid = std::to_string(getpid());
        EXPECT_EQ(Transcript(env), "insert throw||1 " + pid +
                                       " /tmp/gw;stopover;health /rest/vude/throw/healthcheck "
                                       "32018 throw||1 /tmp/gw;reconnect throw||1;insert ready||2 " +
                                       pid +
                                       " /tmp/gw;"
                                       "health /rest/vude/ready/healthcheck 32018 ready||2 /tmp/gw;stopover;"
                                       "clear ready||2;clear ready||2;");
        vm->DetachCurrentThread();

        // A second create keeps the VM: the option the VM would refuse is never tried.
        jvm.PushCommand("createJvm", "-Xthis-option-does-not-exist");
        jvm.PushCommand("stopJvm", "");
        int32_t polls = 20;
        jvm.WaitForJvmQuit(&polls);
        EXPECT_EQ(jvm.GetJvmPojo().GetVm(), nullptr);
        EXPECT_EQ(jvm.GetStatus(), JvmMgt::STATUS_OK);
        jvm.StopQueue();  // wakes the idle thread, which leaves
        jvmThread.join();
        // Nobody would create a VM now: a later load must not wait for one forever.
        jvm.PushCommand("createJvm", "-Xmx64m");
        EXPECT_EQ(jvm.WaitForJvmStart(), JvmMgt::STATUS_CREATE_FAIL);
    });
}
