// The kind registry and the current manager, the connector that runs the master's commands on
// them, and the module table every manager keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker/ConnectorToMaster.h"
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
    gC.AddModule(Module("calc"));
    gC.SetModuleStatus(Module("calc"), ModuleHandler::STATUS_LOADED);
    gC.AddModule(ModulePojo("calc", "1", "/elsewhere", "C_MODULE", ""));
    gC.AddModule(Module("calc", "C_MODULE", "2"));
    gC.SetModuleStatus(Module("other"), ModuleHandler::STATUS_UNLOADED);  // no record appears
    ModuleHandler h1, h2;
    ASSERT_TRUE(gC.FindModule(ModuleKey("calc", "1"), h1) && gC.FindModule(ModuleKey("calc", "2"), h2));
    EXPECT_EQ(gC.ModuleCount(), 2u);
    EXPECT_EQ(std::make_pair(h1.status, h1.module.GetLocation()), std::make_pair(ModuleHandler::STATUS_LOADED, std::string("/opt/m")));
    EXPECT_EQ(h2.status, ModuleHandler::STATUS_REGISTERED);
    gC.ClearModules();
}

// Notes what the connector asks of it; modules named "bad" fail to load with 7.
struct RecordingMgt : IModuleMgt {
    int32_t Start() override { return 0; }
    int32_t LoadModule(const ModulePojo& m) override {
        calls.push_back("load " + m.GetName() + ":" + m.GetVersion() + " " + m.GetVmArgs());
        return m.GetName() == "bad" ? 7 : 0;
    }
    int32_t UnLoadModule(const ModulePojo& m) override {
        calls.push_back("unload " + m.GetName());
        return 5;
    }
    void Stop() override { calls.push_back("stop"); }
    bool Stopped() override { return false; }
    std::vector<std::string> calls;
} gMgt;

TEST(ConnectorToMaster, RunsEachMessageInOrderDespiteFailuresAndNothingOfAMessageThatDoesNotParse) {
    ResetCurrentModuleMgt();
    RegisterModuleMgt("K", [] { return static_cast<IModuleMgt*>(&gMgt); });
    ConnectorToMaster connector;
    EXPECT_EQ(connector.DoAsyncRead(3, "addModule#A|1|/m|K|\naddModule#B|1|/m\n"), -1);
    EXPECT_TRUE(gMgt.calls.empty());
    EXPECT_EQ(connector.ExecCmd("addModule", ModulePojo("A", "1", "/m", "NOKIND", "")), -1);  // no manager yet

    EXPECT_EQ(connector.DoAsyncRead(3, "addModule#bad|1|/m|K|\naddModule#B|2|/m|K|-Xmx1g\ndeleteModule#B|2|/m|K|\n"
                                       "bogus#B|2|/m|K|\nageingModule#B|2|/m|K|\n"), 0);
    EXPECT_EQ(gMgt.calls, (std::vector<std::string>{"load bad:1 ", "load B:2 -Xmx1g", "unload B", "stop"}));

    gMgt.calls.clear();
    const ModulePojo m("A", "1", "/m", "K", "");
    EXPECT_EQ(connector.ExecCmd("addModule", ModulePojo("bad", "1", "/m", "K", "")), 7);  // the manager's result
    EXPECT_EQ(connector.ExecCmd("deleteModule", m), 0);                                    // its result dropped
    EXPECT_EQ(connector.ExecCmd("modifyModule", m), 0);
    EXPECT_NE(connector.ExecCmd("AddModule", m), 0);  // names are case-sensitive
    // Once a manager is current, an unknown kind goes to it.
    EXPECT_EQ(connector.ExecCmd("addModule", ModulePojo("A", "1", "/m", "NOKIND", "")), 0);
    EXPECT_EQ(gMgt.calls, (std::vector<std::string>{"load bad:1 ", "unload A", "load A:1 "}));
    RegisterModuleMgt("K", nullptr);
    ResetCurrentModuleMgt();
}

}  // namespace
