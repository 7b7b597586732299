// The demand list placement consults.
#include <gtest/gtest.h>

#include "master/ModuleMgt.h"
#include "master/ModuleNeedLoadMgt.h"
#include "support/ChannelTestUtil.h"

TEST(ModuleNeedLoad, IdleCountsFromTheLatestDemandAndUnhostedDemandsAreForgotten) {
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

    // Demands for modules no worker hosts (its worker died) are forgotten: placed afresh next time.
    channeltest::UseChannelLog();
    ModuleMgt placement;
    placement.SetNeedLoad(&mgt);
    placement.SetSpawnFn([] { return 100001; });
    mgt.SetModuleMgt(&placement);
    mgt.RecordDemand(ModuleKey("echo", "1.0"), 3000);
    placement.UpdateModule(ModulePojo("echo", "1.0", "/opt/echo", "C_MODULE", ""));
    mgt.ClearNonExistModule();
    EXPECT_TRUE(mgt.IsNeedLoad(ModuleKey("echo", "1.0")));
    EXPECT_TRUE(mgt.RecordDemand(calc, 200));  // new again: placed afresh
}
