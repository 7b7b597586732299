// The Go module manager against stand-in loader libraries (fakeloader.c) that record every call.
// The manager opens "libgoloader.so" through the dynamic loader's search; each test first loads
// a stand-in by its full path, and since the stand-in carries that soname the manager's dlopen
// finds it. Each test runs in a child process: the manager is a process-wide singleton.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/HostKinds.h"
#include "proto/GatewayPath.h"
#include "hosts/go/GoModuleMgt.h"
#include "support/LogReader.h"
#include "support/TestSupport.h"
#include "worker/ModuleMgtFactory.h"
#include "model/ModulePojo.h"

using testsupport::LogLine;
using testsupport::LogReader;
using testsupport::ReadFile;
using testsupport::RunInChildWithLog;
using testsupport::SplitLines;
using testsupport::TempDir;

namespace {

std::string StandInPath(const std::string& variant) {
    return std::string(VESSEL_BINARY_DIR) + "/tests/hosts/go/" + variant + "/libgoloader.so";
}

// Makes the stand-in the library that dlopen("libgoloader.so") answers with.
void* LoadStandIn(const std::string& variant) {
    void* handle = dlopen(StandInPath(variant).c_str(), RTLD_NOW | RTLD_GLOBAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    return handle;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A recorded Go string: "<length>:<hex bytes>".
std::string Go(const std::string& bytes) { return std::to_string(bytes.size()) + ":" + Hex(bytes); }

// Per child: where the stand-in records, and the gateway path it must be started with.
struct Recorder {
    Recorder() : dir("gomodule") {
        setenv("FAKELOADER_RECORD", (dir / "calls").c_str(), 1);
        setenv("APP_NAME", testsupport::UniqueName("GoMgt").c_str(), 1);
    }
    std::vector<std::string> Calls() const { return SplitLines(ReadFile(dir / "calls")); }
    TempDir dir;
};

// Lines the manager wrote with exactly this message.
std::vector<LogLine> Lines(const LogReader& log, const std::string& message) {
    std::vector<LogLine> out;
    for (const LogLine& line : log.NewLinesWith(message)) {
        if (line.message == message && line.file == "GoModuleMgt.cpp") out.push_back(line);
    }
    return out;
}

void UnblockAllSignals() {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

bool QuitBlockedHere() {
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, nullptr, &cur);
    return sigismember(&cur, SIGQUIT) != 0;
}

}  // namespace

TEST(GoModuleMgtTest, ForwardsCallsAsExactGoStringsWithSignalsBlocked) {
    RunInChildWithLog([](LogReader& log) {
        Recorder rec;
        LoadStandIn("full");
        // The worker's threads run with the handled signals blocked; the manager must not rely on it.
        UnblockAllSignals();
        const std::string gw = GetGatewayPath();

        GoModuleMgt* mgt = GoModuleMgt::getInstance();
        ASSERT_NE(mgt, nullptr);
        EXPECT_EQ(GoModuleMgt::getInstance(), mgt);
        EXPECT_FALSE(QuitBlockedHere()) << "the caller's signal mask must come back";

        // Five bytes, one of them NUL, go as length 5; names with blanks and UTF-8 stay whole.
        const std::string name("he\0lo", 5);
        ModulePojo odd(name, "1.0", "/opt/go mods/h\xC3\xA9", "GO", "");
        EXPECT_EQ(mgt->LoadModule(odd), 0);
        setenv("FAKELOADER_LOAD_RESULT", "7", 1);
        EXPECT_EQ(mgt->LoadModule(ModulePojo("hello", "2.10", "/m", "GO", "")), 7);
        // A failure code beyond int32 would wrap to 0 and read as success.
        setenv("FAKELOADER_LOAD_RESULT", "4294967296", 1);
        EXPECT_NE(mgt->LoadModule(ModulePojo("hello", "2.10", "/m", "GO", "")), 0);

        std::vector<std::string> calls = rec.Calls();
        ASSERT_EQ(calls.size(), 4u) << ReadFile(rec.dir / "calls");
        EXPECT_EQ(calls[0], "Start " + Go(gw) + " blocked");
        EXPECT_EQ(calls[1], "LoadModule " + Go(name) + " " + Go("1.0") + " " + Go("/opt/go mods/h\xC3\xA9") +
                                " blocked");
        EXPECT_EQ(calls[2], "LoadModule " + Go("hello") + " " + Go("2.10") + " " + Go("/m") + " blocked");

        EXPECT_EQ(Lines(log, "[GoModuleMgt::Start]: begin, udsAddress " + gw).size(), 1u);
        EXPECT_EQ(Lines(log, "[GoModuleMgt::Start]: begin, udsAddress.n: udsAddress.p " +
                                 std::to_string(gw.size()) + ":" + gw).size(), 1u);
        std::vector<LogLine> started = Lines(log, "[GoModuleMgt::Start]: result0");
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].level, "Info");
        EXPECT_EQ(started[0].func, "Start");
        EXPECT_EQ(Lines(log, "LoadModule hello:2.10").size(), 2u);
        EXPECT_EQ(Lines(log, "LoadModule, name.n:5, name.p:hello").size(), 2u);
        EXPECT_EQ(Lines(log, "LoadModule, version.n\xEF\xBC\x9A" "4, version.p:2.10").size(), 2u);
        EXPECT_EQ(Lines(log, "LoadModule, loaction.n:2, loaction.p:/m").size(), 2u);
        EXPECT_EQ(Lines(log, "[GoModuleMgt::LoadModule]: result7").size(), 1u);
        EXPECT_EQ(Lines(log, "[GoModuleMgt::LoadModule]: result4294967296").size(), 1u);
    });
}

TEST(GoModuleMgtTest, UnloadStopAndStoppedFollowTheLoader) {
    RunInChildWithLog([](LogReader& log) {
        Recorder rec;
        LoadStandIn("full");
        GoModuleMgt* mgt = GoModuleMgt::getInstance();
        ASSERT_NE(mgt, nullptr);

        // The loader's verdict on an unload is only logged.
        setenv("FAKELOADER_UNLOAD_RESULT", "-3", 1);
        EXPECT_EQ(mgt->UnLoadModule(ModulePojo("hello", "1.0", "/ignored", "GO", "")), 0);
        EXPECT_EQ(Lines(log, "[GoModuleMgt::UnLoadModule]: begin hello:1.0").size(), 1u);
        EXPECT_EQ(Lines(log, "[GoModuleMgt::UnLoadModule]: result -3").size(), 1u);

        setenv("FAKELOADER_STOP_RESULT", "9", 1);
        mgt->Stop();
        EXPECT_EQ(Lines(log, "[GoModuleMgt::Stop]: result 9").size(), 1u);

        // Stopped exactly at 0; a negative count or one that would wrap to 0 is not 0.
        struct Case {
            const char* count;
            bool stopped;
        };
        for (const Case& c : {Case{"2", false}, Case{"-1", false}, Case{"4294967296", false}, Case{"0", true}}) {
            setenv("FAKELOADER_COUNT", c.count, 1);
            EXPECT_EQ(mgt->Stopped(), c.stopped) << "count " << c.count;
            EXPECT_EQ(Lines(log, std::string("module not stopped num:") + c.count).size(), 1u) << c.count;
        }

        std::vector<std::string> calls = rec.Calls();
        std::vector<std::string> expected{"Start " + Go(GetGatewayPath()) + " blocked",
                                          "UnloadModule " + Go("hello") + " blocked", "Stop blocked"};
        for (int i = 0; i < 4; ++i) expected.push_back("GetLoadedModuleNum blocked");
        EXPECT_EQ(calls, expected);
    });
}

TEST(GoModuleMgtTest, LibraryWithoutStopGivesNoManagerAndIsNeverCalled) {
    RunInChildWithLog([](LogReader& log) {
        Recorder rec;
        void* standIn = LoadStandIn("nostop");
        EXPECT_EQ(GoModuleMgt::getInstance(), nullptr);
        // Asked again, it tries again, with the same outcome.
        EXPECT_EQ(GoModuleMgt::getInstance(), nullptr);

        EXPECT_TRUE(rec.Calls().empty()) << ReadFile(rec.dir / "calls");
        std::vector<LogLine> warned = log.NewLinesWith("get function symbol failed, dlerror:Stop:");
        ASSERT_EQ(warned.size(), 2u);
        EXPECT_EQ(warned[0].level, "Warn");
        EXPECT_EQ(warned[0].file, "GoModuleMgt.cpp");
        EXPECT_EQ(log.CountNew("get function symbol failed, dlerror:Start:"), 0u);

        // The manager closed its handle: once the test lets go of its own, the library is gone.
        ASSERT_EQ(dlclose(standIn), 0);
        EXPECT_EQ(dlopen(StandInPath("nostop").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    });
}

TEST(GoModuleMgtTest, MissingLibraryIsLoggedAndTheNextGoModuleTriesAgain) {
    RunInChildWithLog([](LogReader& log) {
        Recorder rec;
        RegisterHostKinds();
        ResetCurrentModuleMgt();
        ModulePojo module("hello", "1.0", "/m", "GO", "");
        EXPECT_EQ(GetModuleMgtByType(module), nullptr);
        std::vector<LogLine> warned = log.NewLinesWith("open goloader failed, dlerror:");
        ASSERT_EQ(warned.size(), 1u);
        EXPECT_EQ(warned[0].level, "Warn");
        EXPECT_EQ(warned[0].func, "getInstance");
        EXPECT_NE(warned[0].message.find("libgoloader.so"), std::string::npos) << warned[0].message;

        // Once the library can be found, the next module of the kind gets a started manager.
        LoadStandIn("full");
        IModuleMgt* mgt = GetModuleMgtByType(module);
        ASSERT_NE(mgt, nullptr);
        EXPECT_EQ(mgt, GoModuleMgt::getInstance());
        EXPECT_EQ(GetCurrentModuleMgt(), mgt);
        std::vector<std::string> calls = rec.Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].rfind("Start ", 0), 0u);
    });
}
