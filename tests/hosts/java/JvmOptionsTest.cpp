// The VM option list built from a module's VM argument string, and the JVM thread's queue
// handling, without creating a VM.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "JavaTestLog.h"
#include "base/CommonUtil.h"
#include "hosts/java/JvmMgt.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::WriteFile;

namespace {

using Options = std::vector<std::string>;

// dir/lib/<names> as the class path would list them, in the directory's own order.
std::string Jars(const std::string& home)
{
    std::string cp;
    for (const auto& name : GetFiles(home + "/lib/", "jar", true)) {
        cp += (cp.empty() ? "" : ":") + home + "/lib/" + name;
    }
    return cp;
}

void MakeLib(const std::string& home, const std::vector<std::string>& files)
{
    MakeDirs((home + "/lib").c_str(), 0755);
    for (const auto& f : files) {
        WriteFile(home + "/lib/" + f, "x");
    }
}

TEST(JvmOptionsTest, PiecesKeepTheirOrderWithoutEmptyOnesAndXrsComesLast)
{
    javatest::Home();
    EXPECT_EQ(JvmMgt::BuildJvmOptions(""), Options{"-Xrs"});
    EXPECT_EQ(JvmMgt::BuildJvmOptions("   "), Options{"-Xrs"});
    EXPECT_EQ(JvmMgt::BuildJvmOptions(" -Xmx512m  -Da=1   -Db=2 "), (Options{"-Xmx512m", "-Da=1", "-Db=2", "-Xrs"}));
}

TEST(JvmOptionsTest, CatalinaHomeJarsBecomeANewClassPathOption)
{
    javatest::Home();
    TempDir tc("vessel-tc");
    MakeLib(tc.path(), {"a.jar", "b.jar", "notajar.jar.txt", "xjar"});
    Options opts = JvmMgt::BuildJvmOptions("-Xmx512m -Dcatalina.home=" + tc.path());
    ASSERT_EQ(opts.size(), 4u);
    EXPECT_EQ(opts[0], "-Xmx512m");
    EXPECT_EQ(opts[1], "-Dcatalina.home=" + tc.path());
    EXPECT_EQ(opts[2], "-Djava.class.path=" + Jars(tc.path()) + ":");
    EXPECT_EQ(opts[3], "-Xrs");
    // The pattern is a suffix without a dot: xjar counts, a .jar in the middle does not.
    EXPECT_NE(opts[2].find(tc.path() + "/lib/xjar"), std::string::npos);
    EXPECT_NE(opts[2].find(tc.path() + "/lib/a.jar"), std::string::npos);
    EXPECT_NE(opts[2].find(tc.path() + "/lib/b.jar"), std::string::npos);
    EXPECT_EQ(opts[2].find("notajar"), std::string::npos);
}

TEST(JvmOptionsTest, ExistingClassPathIsExtendedNotDuplicated)
{
    javatest::Home();
    TempDir tc("vessel-tc");
    TempDir uds("vessel-uds");
    MakeLib(tc.path(), {"a.jar"});
    MakeLib(uds.path(), {"c.jar"});
    Options opts = JvmMgt::BuildJvmOptions("-Djava.class.path=/x -Dcatalina.home=" + tc.path() +
                                           " -Dtomcatuds.home=" + uds.path());
    ASSERT_EQ(opts.size(), 4u);
    EXPECT_EQ(opts[0], "-Djava.class.path=/x:" + tc.path() + "/lib/a.jar:" + uds.path() + "/lib/c.jar");
    EXPECT_EQ(std::count_if(opts.begin(), opts.end(),
                            [](const std::string& o) { return o.find("-Djava.class.path") != std::string::npos; }),
              1);
    EXPECT_EQ(opts.back(), "-Xrs");
}

TEST(JvmOptionsTest, OnlyReceiverHomeGivesALeadingSeparatorAndMissingLibAddsNothing)
{
    javatest::Home();
    TempDir uds("vessel-uds");
    MakeLib(uds.path(), {"c.jar"});
    EXPECT_EQ(JvmMgt::BuildJvmOptions("-Dtomcatuds.home=" + uds.path()),
              (Options{"-Dtomcatuds.home=" + uds.path(), "-Djava.class.path=:" + uds.path() + "/lib/c.jar", "-Xrs"}));

    TempDir empty("vessel-nolib");
    EXPECT_EQ(JvmMgt::BuildJvmOptions("-Dcatalina.home=" + empty.path()),
              (Options{"-Dcatalina.home=" + empty.path(), "-Xrs"}));
}

TEST(JvmMgtQueueTest, StopWakesTheIdleThreadWhichLeavesAndNoLaterStartWaitsForever)
{
    javatest::Home();
    JvmMgt jvm;
    std::thread runner(&JvmMgt::Run, &jvm);
    size_t before = javatest::CountInLogs("JvmMgt::Run leave");
    // No VM: stopJvm is a no-op that writes nothing about the VM.
    jvm.PushCommand("stopJvm", "");
    jvm.PushCommand("unknown", "x");
    ASSERT_TRUE(WaitFor([&] { return jvm.QueueSize() == 0; }, 5s));
    jvm.StopQueue();
    ASSERT_TRUE(WaitFor([&] { return jvm.ThreadLeft(); }, 5s));
    runner.join();
    EXPECT_EQ(javatest::CountInLogs("JvmMgt::Run leave"), before + 1);
    // The thread may have been inside its wait (then it says why it woke) or just before it.
    for (const auto& line : testsupport::SplitLines(javatest::Logs())) {
        if (line.find("force wake up") != std::string::npos) {
            EXPECT_NE(line.find("force wake up 0,1,0"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(javatest::CountInLogs("DestroyJavaVM"), 0u);

    // A module loaded after the stop must not hang its loader on a VM that nobody creates.
    jvm.PushCommand("createJvm", "-Xmx64m");
    EXPECT_EQ(jvm.WaitForJvmStart(), JvmMgt::STATUS_CREATE_FAIL);
}

TEST(JvmMgtQueueTest, WaitForJvmQuitWithoutVmReturnsAtOnce)
{
    javatest::Home();
    JvmMgt jvm;
    int32_t unlimited = -1;
    jvm.WaitForJvmQuit(&unlimited);
    EXPECT_NE(javatest::Logs().find("wait for JvmQuit end,0,0"), std::string::npos);
}

}  // namespace
