// The connector's command execution against a recording manager: order, failures, results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker/ConnectorToMaster.h"
#include "worker/ModuleMgtFactory.h"

namespace {

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
