// The kind registry and the current manager, the connector that runs the master's commands on
// them, and the module table every manager keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker/ConnectorToMaster.h"
#include "worker/ModuleMgtBase.h"
#include "worker/ModuleMgtFactory.h"

namespace {

// Notes what it is asked; modules named "bad" fail to load with 7, unloading answers 5.
struct RecordingMgt : ModuleMgtBase {
    int32_t LoadModule(const ModulePojo& m) override {
        calls.push_back("load " + m.GetName() + ":" + m.GetVersion() + " " + m.GetVmArgs());
        return m.GetName() == "bad" ? 7 : 0;
    }
    int32_t UnLoadModule(const ModulePojo& m) override { return calls.push_back("unload " + m.GetName()), 5; }
    void Stop() override { calls.push_back("stop"); }
    bool Stopped() override { return false; }
    std::vector<std::string> calls;
} gC, gGo;

ModulePojo Module(const std::string& name, const std::string& type = "C_MODULE",
                  const std::string& version = "1") {
    return ModulePojo(name, version, "/opt/m", type, "");
}

class ModuleMgtFactory : public ::testing::Test {
protected:
    ModuleMgtFactory() {
        ResetCurrentModuleMgt();
        RegisterModuleMgt("C_MODULE", [] { return static_cast<IModuleMgt*>(&gC); });
        RegisterModuleMgt("GO", [] { return static_cast<IModuleMgt*>(&gGo); });
        gC.calls.clear(), gGo.calls.clear();
    }
    ~ModuleMgtFactory() override {
        RegisterModuleMgt("C_MODULE", nullptr), RegisterModuleMgt("GO", nullptr);
        ResetCurrentModuleMgt();
    }
};

TEST_F(ModuleMgtFactory, KindPicksAndSwitchesTheCurrentManager) {
    // Nothing hosted yet: shutdown has nothing to stop and nothing to wait for.
    EXPECT_EQ(GetModuleMgtByType(Module("a", "c_module")), nullptr);
    StopCurrentModuleMgt();
    EXPECT_TRUE(CurrentModuleMgtStopped());
    EXPECT_EQ(GetModuleMgtByType(Module("a")), &gC);
    EXPECT_EQ(GetModuleMgtByType(Module("b", "c_module")), &gC);  // unknown kinds keep the current one
    EXPECT_EQ(GetModuleMgtByType(Module("c", "GO")), &gGo);
    StopCurrentModuleMgt();
    EXPECT_EQ(gGo.calls, std::vector<std::string>{"stop"});
    EXPECT_TRUE(gC.calls.empty());
    EXPECT_FALSE(CurrentModuleMgtStopped());
    RegisterModuleMgt("C_MODULE", nullptr);  // removed: the current one stays
    EXPECT_EQ(GetModuleMgtByType(Module("a")), &gGo);
}

TEST_F(ModuleMgtFactory, ConnectorRunsAMessageInOrderDespiteFailuresAndNothingOfOneThatDoesNotParse) {
    ConnectorToMaster connector;
    EXPECT_EQ(connector.DoAsyncRead(3, "addModule#A|1|/m|C_MODULE|\naddModule#B|1|/m\n"), -1);
    EXPECT_EQ(connector.ExecCmd("addModule", Module("A", "NOKIND")), -1);  // no manager yet
    EXPECT_EQ(connector.DoAsyncRead(
                  3,
                  "addModule#bad|1|/m|C_MODULE|\naddModule#B|2|/m|C_MODULE|-Xmx1g\n"
                  "deleteModule#B|2|/m|C_MODULE|\nbogus#B|2|/m|C_MODULE|\nageingModule#B|2|/m|C_MODULE|\n"),
              0);
    EXPECT_EQ(gC.calls, (std::vector<std::string>{"load bad:1 ", "load B:2 -Xmx1g", "unload B", "stop"}));
    EXPECT_EQ(connector.ExecCmd("addModule", Module("bad")), 7);          // the manager's result
    EXPECT_EQ(connector.ExecCmd("deleteModule", Module("A")), 0);         // its result dropped
    EXPECT_NE(connector.ExecCmd("AddModule", Module("A")), 0);            // names are case-sensitive
    EXPECT_EQ(connector.ExecCmd("addModule", Module("A", "NOKIND")), 0);  // to the current manager
    EXPECT_EQ(gC.calls.back(), "load A:1 ");
}

TEST(ModuleMgtBase, AddModuleKeepsAnExistingRecordAndSeparatesVersions) {
    gC.AddModule(Module("calc"));
    gC.SetModuleStatus(Module("calc"), ModuleHandler::STATUS_LOADED);
    gC.AddModule(ModulePojo("calc", "1", "/elsewhere", "C_MODULE", ""));
    gC.AddModule(Module("calc", "C_MODULE", "2"));
    gC.SetModuleStatus(Module("other"), ModuleHandler::STATUS_UNLOADED);  // no record appears
    ModuleHandler h1, h2;
    ASSERT_TRUE(gC.FindModule(ModuleKey("calc", "1"), h1) && gC.FindModule(ModuleKey("calc", "2"), h2));
    EXPECT_EQ(gC.ModuleCount(), 2u);
    EXPECT_EQ(h1.status, ModuleHandler::STATUS_LOADED);
    EXPECT_EQ(h1.module.GetLocation(), "/opt/m");
    EXPECT_EQ(h2.status, ModuleHandler::STATUS_REGISTERED);
    gC.ClearModules();
}

}  // namespace
