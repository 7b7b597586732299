// The Go module manager against stand-in loaders (fakeloader.c) that record every call: loaded
// first by full path, a stand-in is what the manager's dlopen("libgoloader.so") finds by soname.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "app/HostKinds.h"
#include "hosts/go/GoModuleMgt.h"
#include "proto/GatewayPath.h"
#include "support/TestSupport.h"
#include "worker/ModuleMgtFactory.h"

namespace {

const std::string kStandIns = std::string(VESSEL_BINARY_DIR) + "/tests/hosts/go/";

// A Go string as the stand-in records it: " <length>:<hex bytes>".
std::string Go(const std::string& bytes) {
    std::string out = " " + std::to_string(bytes.size()) + ":";
    for (unsigned char c : bytes)
        out += "0123456789abcdef"[c >> 4] + std::string(1, "0123456789abcdef"[c & 15]);
    return out;
}

// One test's record file, gateway name and stand-in; the manager and the library go at the end.
struct StandIn {
    void Load(const std::string& variant) {
        handle = dlopen((kStandIns + variant + "/libgoloader.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }
    ~StandIn() {
        ResetCurrentModuleMgt();
        GoModuleMgt::ResetForTest();
        if (handle != nullptr) dlclose(handle);
        unsetenv("FAKELOADER_RESULT");
    }
    std::vector<std::string> Calls() { return testsupport::SplitLines(testsupport::ReadFile(dir / "calls")); }
    testsupport::TempDir dir{"gomodule"};
    testsupport::ScopedEnv record{"FAKELOADER_RECORD", dir / "calls"};
    testsupport::ScopedEnv app{"APP_NAME", testsupport::UniqueName("GoMgt")};
    void* handle = nullptr;
};

}  // namespace

TEST(GoModuleMgtTest, ForwardsEveryCallInOrderAsExactGoStringsWithSignalsBlocked) {
    StandIn loader;
    loader.Load("full");
    // Worker threads run with the handled signals blocked already; the manager must not rely on it.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    GoModuleMgt* mgt = GoModuleMgt::getInstance();
    ASSERT_NE(mgt, nullptr);
    // Five bytes, one of them NUL, go as length 5; blanks and UTF-8 stay whole.
    const std::string name("he\0lo", 5);
    EXPECT_EQ(mgt->LoadModule(ModulePojo(name, "1.0", "/opt/go mods/h\xC3\xA9", "GO", "")), 0);
    ModulePojo hello("hello", "2.10", "/m", "GO", "");
    setenv("FAKELOADER_RESULT", "7", 1);
    EXPECT_EQ(mgt->LoadModule(hello), 7);
    setenv("FAKELOADER_RESULT", "4294967296", 1);  // beyond int32: must not wrap to 0 (success)
    EXPECT_EQ(mgt->LoadModule(hello), -1);
    setenv("FAKELOADER_RESULT", "-3", 1);  // the loader's verdict on an unload is only logged
    EXPECT_EQ(mgt->UnLoadModule(hello), 0);
    mgt->Stop();
    for (const char* count : {"2", "-1", "4294967296", "0"}) {  // stopped at exactly 0
        setenv("FAKELOADER_RESULT", count, 1);
        EXPECT_EQ(mgt->Stopped(), std::string(count) == "0") << count;
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &none);
    EXPECT_FALSE(sigismember(&none, SIGQUIT)) << "the caller's signal mask must come back";

    std::vector<std::string> expected{"Start" + Go(GetGatewayPath()),
                                      "LoadModule" + Go(name) + Go("1.0") + Go("/opt/go mods/h\xC3\xA9"),
                                      "LoadModule" + Go("hello") + Go("2.10") + Go("/m"),
                                      "LoadModule" + Go("hello") + Go("2.10") + Go("/m"),
                                      "UnloadModule" + Go("hello"),
                                      "Stop"};
    expected.insert(expected.end(), 4, "GetLoadedModuleNum");
    for (auto& call : expected) call += " blocked";
    EXPECT_EQ(loader.Calls(), expected);
}

// A library lacking an export, then none at all: no manager, and the next Go module tries again.
TEST(GoModuleMgtTest, IncompleteOrMissingLibraryGivesNoManagerUntilOneIsThere) {
    StandIn loader;
    RegisterHostKinds();
    ResetCurrentModuleMgt();
    ModulePojo module("hello", "1.0", "/m", "GO", "");
    loader.Load("nostop");
    EXPECT_EQ(GetModuleMgtByType(module), nullptr);
    EXPECT_EQ(GoModuleMgt::getInstance(), nullptr);
    // The manager let go of its handle: once the test lets go of its own, the library is gone.
    ASSERT_EQ(dlclose(std::exchange(loader.handle, nullptr)), 0);
    EXPECT_EQ(dlopen((kStandIns + "nostop/libgoloader.so").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(GetModuleMgtByType(module), nullptr);
    EXPECT_TRUE(loader.Calls().empty());

    loader.Load("full");
    IModuleMgt* mgt = GetModuleMgtByType(module);
    ASSERT_NE(mgt, nullptr);
    EXPECT_EQ(mgt, GoModuleMgt::getInstance());
    EXPECT_EQ(GetCurrentModuleMgt(), mgt);
    EXPECT_EQ(loader.Calls(), std::vector<std::string>{"Start" + Go(GetGatewayPath()) + " blocked"});
}
