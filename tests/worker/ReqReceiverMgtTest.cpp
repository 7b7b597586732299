// The receiver registry with scripted receivers: what it keeps, what it drops and in which order,
// and which receiver operations it forwards.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "worker/ReqReceiverMgt.h"
#include "support/LogReader.h"

namespace {

// Notes every call into a shared journal as "<name>.<operation>".
class ScriptedReceiver : public IRequestReceiver {
public:
    ScriptedReceiver(std::string name, std::vector<std::string>* journal, bool drained = true)
        : name(std::move(name)), journal(journal), drained(drained) {}
    ~ScriptedReceiver() override { journal->push_back(name + ".destroyed"); }

    int32_t start() override { return 0; }
    void stop() override { journal->push_back(name + ".stop"); }
    void SetNotReceive() override { journal->push_back(name + ".SetNotReceive"); }
    bool IsNotReceiving() override { return false; }
    void reconect() override { journal->push_back(name + ".reconect"); }
    bool CheckStopOver() override {
        journal->push_back(name + ".CheckStopOver");
        return drained;
    }
    bool ModuleHealthCheck() override { return true; }

    std::string name;
    std::vector<std::string>* journal;
    bool drained;
};

class ReqReceiverMgtTest : public ::testing::Test {
protected:
    ReqReceiverMgtTest() { registry.Clear(); }
    ~ReqReceiverMgtTest() override { registry.Clear(); }

    std::shared_ptr<ScriptedReceiver> Add(const std::string& name, const std::string& version = "1.0",
                                          bool drained = true) {
        auto r = std::make_shared<ScriptedReceiver>(name, &journal, drained);
        registry.AddRequestReceiver(ModuleKey(name, version), r);
        return r;
    }

    ReqReceiverMgt& registry = ReqReceiverMgt::getInstance();
    std::vector<std::string> journal;
};

TEST_F(ReqReceiverMgtTest, SecondReceiverForAKeyIsRefusedAndTheFirstStays) {
    auto first = Add("calc");
    auto second = std::make_shared<ScriptedReceiver>("calc-new", &journal);
    EXPECT_FALSE(registry.AddRequestReceiver(ModuleKey("calc", "1.0"), second));
    EXPECT_EQ(registry.Size(), 1u);
    EXPECT_EQ(registry.Find(ModuleKey("calc", "1.0")), first);
    // The refused receiver still belongs to the caller alone.
    EXPECT_EQ(second.use_count(), 1);
    // Another version is another key.
    EXPECT_TRUE(registry.AddRequestReceiver(ModuleKey("calc", "2.0"), second));
    EXPECT_EQ(registry.Size(), 2u);
}

TEST_F(ReqReceiverMgtTest, OperationsReachOnlyTheReceiverOfTheirKey) {
    Add("a");
    Add("b");
    registry.StopRequestReceiver(ModuleKey("b", "1.0"));
    registry.ReconnectRequestReceiver(ModuleKey("a", "1.0"));
    registry.SetNotReceiveNewRequest(ModuleKey("b", "1.0"));
    registry.StopRequestReceiver(ModuleKey("b", "9.9"));
    registry.ReconnectRequestReceiver(ModuleKey("zz", "1.0"));
    EXPECT_EQ(journal, (std::vector<std::string>{"b.stop", "a.reconect", "b.SetNotReceive"}));
    // Stopping does not unregister.
    EXPECT_EQ(registry.Size(), 2u);
}

TEST_F(ReqReceiverMgtTest, CheckStopOverDropsDrainedReceiversInKeyOrderUntilABusyOne) {
    Add("c");
    auto busy = Add("b", "1.0", false);
    Add("a");
    EXPECT_FALSE(registry.CheckStopOver());
    EXPECT_EQ(journal, (std::vector<std::string>{"a.CheckStopOver", "a.destroyed", "b.CheckStopOver"}));
    EXPECT_EQ(registry.Size(), 2u);

    // The next poll starts with the busy one.
    journal.clear();
    busy->drained = true;
    busy.reset();
    EXPECT_TRUE(registry.CheckStopOver());
    EXPECT_EQ(journal, (std::vector<std::string>{"b.CheckStopOver", "b.destroyed", "c.CheckStopOver", "c.destroyed"}));
    EXPECT_EQ(registry.Size(), 0u);
    EXPECT_TRUE(registry.CheckStopOver());
}

TEST_F(ReqReceiverMgtTest, ClearDestroysWithoutStoppingAndForEachWalksInKeyOrder) {
    Add("y");
    Add("x");
    registry.ForEach([](IRequestReceiver& r) { r.SetNotReceive(); });
    registry.Clear();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[0], "x.SetNotReceive");
    EXPECT_EQ(journal[1], "y.SetNotReceive");
    // Destroyed, in whatever order; never stopped.
    EXPECT_EQ(std::set<std::string>(journal.begin() + 2, journal.end()),
              (std::set<std::string>{"x.destroyed", "y.destroyed"}));
    EXPECT_EQ(registry.Size(), 0u);
}

TEST(ReqReceiverMgtLog, UnknownKeyOnSetNotReceiveIsLoggedWithNameAndVersion) {
    testsupport::RunInChildWithLog([](testsupport::LogReader& log) {
        std::vector<std::string> journal;
        ReqReceiverMgt& registry = ReqReceiverMgt::getInstance();
        registry.Clear();
        registry.AddRequestReceiver(ModuleKey("calc", "1.0"), std::make_shared<ScriptedReceiver>("calc", &journal));
        registry.SetNotReceiveNewRequest(ModuleKey("calc", "2.0"));
        auto lines = log.NewLinesWith("can't find module,calc:2.0");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].file, "ReqReceiverMgt.cpp");
        EXPECT_EQ(lines[0].func, "SetNotReceiveNewRequest");
        EXPECT_TRUE(journal.empty());
    });
}

}  // namespace
