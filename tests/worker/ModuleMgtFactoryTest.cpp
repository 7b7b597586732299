#include <gtest/gtest.h>

#include "worker/ModuleMgtBase.h"
#include "worker/ModuleMgtFactory.h"

namespace {

class TableMgt : public ModuleMgtBase {
public:
    int32_t LoadModule(const ModulePojo& m) override { return AddModule(m); }
    int32_t UnLoadModule(const ModulePojo&) override { return 0; }
    bool Stopped() override { return stopped; }
    bool stopped = false;
};

class CountingMgt : public IModuleMgt {
public:
    int32_t Start() override { return 0; }
    int32_t LoadModule(const ModulePojo&) override { return 0; }
    int32_t UnLoadModule(const ModulePojo&) override { return 0; }
    void Stop() override { ++stops; }
    bool Stopped() override { return false; }
    int stops = 0;
};

CountingMgt gCModule;
CountingMgt gGo;
IModuleMgt* GetCModule() { return &gCModule; }
IModuleMgt* GetGo() { return &gGo; }

ModulePojo Module(const std::string& name, const std::string& version, const std::string& type = "C_MODULE") {
    return ModulePojo(name, version, "/opt/m", type, "");
}

}  // namespace

TEST(ModuleMgtBaseTest, AddModuleKeepsExistingRecordAndSeparatesVersions) {
    TableMgt mgt;
    EXPECT_EQ(mgt.AddModule(Module("calc", "1.0")), 0);
    mgt.SetModuleStatus(Module("calc", "1.0"), ModuleHandler::STATUS_LOADED);

    // A second registration leaves the record, loaded status and all, as it was.
    ModulePojo again("calc", "1.0", "/elsewhere", "C_MODULE", "");
    EXPECT_EQ(mgt.AddModule(again), 0);
    EXPECT_EQ(mgt.ModuleCount(), 1u);
    ModuleHandler h;
    ASSERT_TRUE(mgt.FindModule(ModuleKey("calc", "1.0"), h));
    EXPECT_EQ(h.status, ModuleHandler::STATUS_LOADED);
    EXPECT_EQ(h.module.GetLocation(), "/opt/m");

    EXPECT_EQ(mgt.AddModule(Module("calc", "1.1")), 0);
    EXPECT_EQ(mgt.ModuleCount(), 2u);
    ASSERT_TRUE(mgt.FindModule(ModuleKey("calc", "1.1"), h));
    EXPECT_EQ(h.status, ModuleHandler::STATUS_REGISTERED);
    EXPECT_EQ(h.dllHandle, nullptr);
    EXPECT_EQ(h.taskEntry, nullptr);
    EXPECT_EQ(h.refCount, 0);
    EXPECT_NE(h.lastUseTime, 0);

    // Status of an unknown module: no record appears.
    mgt.SetModuleStatus(Module("other", "1.0"), ModuleHandler::STATUS_UNLOADED);
    EXPECT_FALSE(mgt.FindModule(ModuleKey("other", "1.0"), h));
    mgt.ClearModules();
    EXPECT_EQ(mgt.ModuleCount(), 0u);
}

TEST(ModuleMgtBaseTest, LibFilePathIsNotNormalised) {
    ModulePojo m("calc", "1.0", "/opt/m/", "C_MODULE", "");
    EXPECT_EQ(m.LibFilePath(), "/opt/m//libcalc.so");
}

TEST(ModuleMgtFactoryTest, KindPicksAndSwitchesTheCurrentManager) {
    ResetCurrentModuleMgt();
    RegisterModuleMgt("C_MODULE", &GetCModule);
    RegisterModuleMgt("GO", &GetGo);

    // Nothing hosted yet: shutdown has nothing to stop and nothing to wait for.
    EXPECT_EQ(GetModuleMgtByType(Module("a", "1", "c_module")), nullptr);
    EXPECT_EQ(GetCurrentModuleMgt(), nullptr);
    StopCurrentModuleMgt();
    EXPECT_TRUE(CurrentModuleMgtStopped());

    EXPECT_EQ(GetModuleMgtByType(Module("a", "1", "C_MODULE")), &gCModule);
    // Unknown kinds, lower case included, keep the current manager.
    EXPECT_EQ(GetModuleMgtByType(Module("b", "1", "c_module")), &gCModule);
    EXPECT_EQ(GetModuleMgtByType(Module("b", "1", "")), &gCModule);
    EXPECT_EQ(GetModuleMgtByType(Module("c", "1", "GO")), &gGo);
    EXPECT_EQ(GetCurrentModuleMgt(), &gGo);

    StopCurrentModuleMgt();
    EXPECT_EQ(gGo.stops, 1);
    EXPECT_EQ(gCModule.stops, 0);
    EXPECT_FALSE(CurrentModuleMgtStopped());

    RegisterModuleMgt("C_MODULE", nullptr);
    RegisterModuleMgt("GO", nullptr);
    EXPECT_EQ(GetModuleMgtByType(Module("a", "1", "C_MODULE")), &gGo);
    ResetCurrentModuleMgt();
}
