// The kind registry and the current manager; the module table every manager keeps.
#include <gtest/gtest.h>

#include "worker/ModuleMgtBase.h"
#include "worker/ModuleMgtFactory.h"

namespace {

struct TableMgt : ModuleMgtBase {
    int32_t LoadModule(const ModulePojo& m) override { return AddModule(m); }
    int32_t UnLoadModule(const ModulePojo&) override { return 0; }
    bool Stopped() override { return false; }
    int stops = 0;
    void Stop() override { ++stops; }
} gC, gGo;

ModulePojo Module(const std::string& name, const std::string& type = "C_MODULE", const std::string& version = "1") {
    return ModulePojo(name, version, "/opt/m", type, "");
}

TEST(ModuleMgtFactory, KindPicksAndSwitchesTheCurrentManager) {
    ResetCurrentModuleMgt();
    RegisterModuleMgt("C_MODULE", [] { return static_cast<IModuleMgt*>(&gC); });
    RegisterModuleMgt("GO", [] { return static_cast<IModuleMgt*>(&gGo); });
    // Nothing hosted yet: shutdown has nothing to stop and nothing to wait for.
    EXPECT_EQ(GetModuleMgtByType(Module("a", "c_module")), nullptr);
    StopCurrentModuleMgt();
    EXPECT_TRUE(CurrentModuleMgtStopped());

    EXPECT_EQ(GetModuleMgtByType(Module("a")), &gC);
    EXPECT_EQ(GetModuleMgtByType(Module("b", "c_module")), &gC);  // unknown kinds keep the current one
    EXPECT_EQ(GetModuleMgtByType(Module("c", "GO")), &gGo);
    StopCurrentModuleMgt();
    EXPECT_EQ(gGo.stops + 10 * gC.stops, 1);
    EXPECT_FALSE(CurrentModuleMgtStopped());
    RegisterModuleMgt("C_MODULE", nullptr);  // removed: the current one stays
    EXPECT_EQ(GetModuleMgtByType(Module("a")), &gGo);
    RegisterModuleMgt("GO", nullptr);
    ResetCurrentModuleMgt();
}

TEST(ModuleMgtBase, AddModuleKeepsAnExistingRecordAndSeparatesVersions) {
    EXPECT_EQ(gC.AddModule(Module("calc")), 0);
    gC.SetModuleStatus(Module("calc"), ModuleHandler::STATUS_LOADED);
    EXPECT_EQ(gC.AddModule(ModulePojo("calc", "1", "/elsewhere", "C_MODULE", "")), 0);
    EXPECT_EQ(gC.AddModule(Module("calc", "C_MODULE", "2")), 0);
    gC.SetModuleStatus(Module("other"), ModuleHandler::STATUS_UNLOADED);  // no record appears
    EXPECT_EQ(gC.ModuleCount(), 2u);
    ModuleHandler h;
    ASSERT_TRUE(gC.FindModule(ModuleKey("calc", "1"), h));
    EXPECT_EQ(h.status, ModuleHandler::STATUS_LOADED);
    EXPECT_EQ(h.module.GetLocation(), "/opt/m");
    ASSERT_TRUE(gC.FindModule(ModuleKey("calc", "2"), h));
    EXPECT_EQ(h.status, ModuleHandler::STATUS_REGISTERED);
    EXPECT_EQ(h.refCount, 0);
    gC.ClearModules();
}

}  // namespace
