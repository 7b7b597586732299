// The demand list: first demands are placed once, idle limits, forgetting unhosted modules.
#include "master/ModuleNeedLoadMgt.h"

#include <gtest/gtest.h>

#include "base/LogMgr.h"
#include "master/IModuleMgtForMaster.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

struct FakePlacement : IModuleMgtForMaster {
    std::vector<ModuleKey> loaded;
    int GetModuleFrmGateway() override { return 0; }
    int CheckAndAddModule(const ModuleKey&) override { return 0; }
    int UnloadModule(const int*, const std::string&) override { return 0; }
    int ModuleLoaded(const int*, const std::string&) override { return 0; }
    int SpawnByOldProcess(const int*) override { return 0; }
    void CheckModuleAgeing(int) override {}
    std::vector<ModuleKey> GetLoadedModules() override { return loaded; }
};

}  // namespace

TEST(ModuleNeedLoad, RepeatedDemandsOnlyRefreshTheTime) {
    ModuleNeedLoadMgt mgt;
    ModuleKey calc("calc", "1.0");
    EXPECT_TRUE(mgt.RecordDemand(calc, 1000));
    EXPECT_FALSE(mgt.RecordDemand(calc, 2000));
    EXPECT_TRUE(mgt.IsNeedLoad(calc));
    // The second demand's time counts: idle only 61 s after it.
    EXPECT_TRUE(mgt.GetIdleModulesAt(60, 2060).empty());
    EXPECT_EQ(mgt.GetIdleModulesAt(60, 2061), std::vector<ModuleKey>{calc});
    mgt.RemoveNeedLoad(calc);
    EXPECT_FALSE(mgt.IsNeedLoad(calc));
    EXPECT_TRUE(mgt.RecordDemand(calc, 3000));
}

TEST(ModuleNeedLoad, IdleModulesComeInKeyOrder) {
    ModuleNeedLoadMgt mgt;
    mgt.RecordDemand(ModuleKey("b", "1"), 100);
    mgt.RecordDemand(ModuleKey("a", "2"), 100);
    mgt.RecordDemand(ModuleKey("a", "1"), 500);
    auto idle = mgt.GetIdleModulesAt(10, 200);
    EXPECT_EQ(idle, (std::vector<ModuleKey>{ModuleKey("a", "2"), ModuleKey("b", "1")}));
}

TEST(ModuleNeedLoad, DemandsForModulesNoWorkerHostsAreForgotten) {
    TempDir dir{"vessel-needload"};
    ScopedEnv logDir{"_APP_LOG_DIR", dir.path()};
    ScopedEnv home{"VESSEL_HOME", dir.path()};
    WriteImmediateLogConfig(dir.path());
    LogMgr::InitLogFile("Vessel");

    FakePlacement placement;
    ModuleNeedLoadMgt mgt;
    mgt.SetModuleMgt(&placement);
    mgt.RecordDemand(ModuleKey("calc", "1.0"), 100);
    mgt.RecordDemand(ModuleKey("echo", "1.0"), 100);
    placement.loaded = {ModuleKey("echo", "1.0")};
    mgt.ClearNonExistModule();
    EXPECT_FALSE(mgt.IsNeedLoad(ModuleKey("calc", "1.0")));
    EXPECT_TRUE(mgt.IsNeedLoad(ModuleKey("echo", "1.0")));
    EXPECT_EQ(LinesWith(ReadLogs(dir.path(), "Vessel"), "found NonExist module in needLoadModuleMap:calc:1.0").size(), 1u);
    // Forgotten means new again: the next demand places it afresh.
    EXPECT_TRUE(mgt.RecordDemand(ModuleKey("calc", "1.0"), 200));
}
