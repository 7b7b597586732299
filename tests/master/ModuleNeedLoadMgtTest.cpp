// The demand list: the time of the latest demand decides idleness; unhosted modules are forgotten.
#include <gtest/gtest.h>

#include "master/FakePlacement.h"
#include "master/ModuleNeedLoadMgt.h"
#include "support/ChannelTestUtil.h"

TEST(ModuleNeedLoad, IdleCountsFromTheLatestDemandInKeyOrder) {
    ModuleNeedLoadMgt mgt;
    const ModuleKey calc("calc", "1.0"), a1("a", "1"), a2("a", "2");
    EXPECT_TRUE(mgt.RecordDemand(calc, 1000));
    EXPECT_FALSE(mgt.RecordDemand(calc, 2000));
    EXPECT_TRUE(mgt.RecordDemand(a2, 1000));
    EXPECT_TRUE(mgt.RecordDemand(a1, 2050));
    EXPECT_EQ(mgt.GetIdleModulesAt(60, 2060), std::vector<ModuleKey>{a2});  // idle only past 60 s
    EXPECT_EQ(mgt.GetIdleModulesAt(60, 2061), (std::vector<ModuleKey>{a2, calc}));
    mgt.RemoveNeedLoad(calc);
    EXPECT_FALSE(mgt.IsNeedLoad(calc));
    EXPECT_TRUE(mgt.RecordDemand(calc, 3000));
}

TEST(ModuleNeedLoad, DemandsForModulesNoWorkerHostsAreForgotten) {
    channeltest::UseChannelLog();
    FakePlacement placement;
    ModuleNeedLoadMgt mgt;
    mgt.SetModuleMgt(&placement);
    mgt.RecordDemand(ModuleKey("calc", "1.0"), 100);
    mgt.RecordDemand(ModuleKey("echo", "1.0"), 100);
    placement.loaded = {ModuleKey("echo", "1.0")};
    mgt.ClearNonExistModule();
    EXPECT_TRUE(mgt.IsNeedLoad(ModuleKey("echo", "1.0")));
    EXPECT_TRUE(mgt.RecordDemand(ModuleKey("calc", "1.0"), 200));  // new again: placed afresh
}
