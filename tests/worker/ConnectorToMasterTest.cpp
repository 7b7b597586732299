#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker/ConnectorToMaster.h"
#include "worker/ModuleMgtFactory.h"

namespace {

// Records what the connector asks of it; modules named "bad" fail to load.
class RecordingMgt : public IModuleMgt {
public:
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
};

RecordingMgt gMgt;
IModuleMgt* GetRecordingMgt() { return &gMgt; }

class ConnectorToMasterTest : public ::testing::Test {
protected:
    void SetUp() override {
        gMgt.calls.clear();
        ResetCurrentModuleMgt();
        RegisterModuleMgt("TESTKIND", &GetRecordingMgt);
    }
    void TearDown() override {
        RegisterModuleMgt("TESTKIND", nullptr);
        ResetCurrentModuleMgt();
    }
    ConnectorToMaster connector;
};

}  // namespace

TEST_F(ConnectorToMasterTest, CommandsOfOneMessageRunInOrderDespiteFailures) {
    std::string msg =
        "addModule#bad|1|/m|TESTKIND|\n"
        "addModule#B|2|/m|TESTKIND|-Xmx1g\n"
        "deleteModule#B|2|/m|TESTKIND|\n"
        "bogus#B|2|/m|TESTKIND|\n"
        "ageingModule#B|2|/m|TESTKIND|\n";
    EXPECT_EQ(connector.DoAsyncRead(3, msg), 0);
    std::vector<std::string> expected = {"load bad:1 ", "load B:2 -Xmx1g", "unload B", "stop"};
    EXPECT_EQ(gMgt.calls, expected);
}

TEST_F(ConnectorToMasterTest, ShortLineFailsWholeMessage) {
    std::string msg =
        "addModule#A|1|/m|TESTKIND|\n"
        "addModule#B|1|/m\n";
    EXPECT_EQ(connector.DoAsyncRead(3, msg), -1);
    EXPECT_TRUE(gMgt.calls.empty());
    EXPECT_EQ(GetCurrentModuleMgt(), nullptr);
}

TEST_F(ConnectorToMasterTest, CommandResults) {
    ModulePojo m("A", "1", "/m", "TESTKIND", "");
    ModulePojo bad("bad", "1", "/m", "TESTKIND", "");
    ModulePojo unknown("A", "1", "/m", "NOKIND", "");

    // No manager yet and a kind without one: nothing can run it.
    EXPECT_EQ(connector.ExecCmd("addModule", unknown), -1);
    EXPECT_TRUE(gMgt.calls.empty());

    EXPECT_EQ(connector.ExecCmd("addModule", bad), 7);  // the manager's result
    EXPECT_EQ(connector.ExecCmd("deleteModule", m), 0);  // the manager's result is dropped
    EXPECT_EQ(connector.ExecCmd("modifyModule", m), 0);
    EXPECT_NE(connector.ExecCmd("AddModule", m), 0);     // names are case-sensitive
    // Once a manager is current, an unknown kind goes to it.
    EXPECT_EQ(connector.ExecCmd("addModule", unknown), 0);
    std::vector<std::string> expected = {"load bad:1 ", "unload A", "load A:1 "};
    EXPECT_EQ(gMgt.calls, expected);
}
