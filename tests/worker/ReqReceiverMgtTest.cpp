// The receiver registry with scripted receivers: what it keeps, which receiver an operation
// reaches, and what a drain poll drops in which order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "worker/ReqReceiverMgt.h"

namespace {

// Notes every call into a shared journal as "<name>.<operation>".
struct ScriptedReceiver : IRequestReceiver {
    ScriptedReceiver(std::string n, std::vector<std::string>* j, bool d = true)
        : name(std::move(n)), journal(j), drained(d) {}
    ~ScriptedReceiver() override { journal->push_back(name + ".destroyed"); }
    int32_t start() override { return 0; }
    void stop() override { journal->push_back(name + ".stop"); }
    void SetNotReceive() override { journal->push_back(name + ".SetNotReceive"); }
    bool IsNotReceiving() override { return false; }
    void reconect() override { journal->push_back(name + ".reconect"); }
    bool CheckStopOver() override { return journal->push_back(name + ".CheckStopOver"), drained; }
    bool ModuleHealthCheck() override { return true; }
    std::string name;
    std::vector<std::string>* journal;
    bool drained;
};

TEST(ReqReceiverMgt, KeepsTheFirstReceiverOfAKeyAndOperationsReachOnlyTheirKey) {
    std::vector<std::string> journal;
    ReqReceiverMgt& registry = ReqReceiverMgt::getInstance();
    registry.Clear();
    auto first = std::make_shared<ScriptedReceiver>("a", &journal),
         second = std::make_shared<ScriptedReceiver>("a2", &journal);
    EXPECT_TRUE(registry.AddRequestReceiver(ModuleKey("a", "1"), first));
    EXPECT_FALSE(registry.AddRequestReceiver(ModuleKey("a", "1"), second));
    EXPECT_EQ(second.use_count(), 1);  // the refused one still belongs to the caller alone
    EXPECT_TRUE(
        registry.AddRequestReceiver(ModuleKey("b", "1"), std::make_shared<ScriptedReceiver>("b", &journal)));
    EXPECT_EQ(registry.Find(ModuleKey("a", "1")), first);
    registry.StopRequestReceiver(ModuleKey("b", "1"));
    registry.ReconnectRequestReceiver(ModuleKey("a", "1"));
    registry.SetNotReceiveNewRequest(ModuleKey("b", "1"));
    registry.StopRequestReceiver(ModuleKey("b", "2"));
    registry.ReconnectRequestReceiver(ModuleKey("zz", "1"));
    EXPECT_EQ(journal, (std::vector<std::string>{"b.stop", "a.reconect", "b.SetNotReceive"}));
    EXPECT_EQ(registry.Size(), 2u);  // stopping does not unregister
    registry.Clear();
}

TEST(ReqReceiverMgt, CheckStopOverDropsDrainedReceiversInKeyOrderUntilABusyOne) {
    std::vector<std::string> journal;
    ReqReceiverMgt& registry = ReqReceiverMgt::getInstance();
    registry.Clear();
    auto busy = std::make_shared<ScriptedReceiver>("b", &journal, false);
    for (const char* n : {"c", "a"})
        registry.AddRequestReceiver(ModuleKey(n, "1"), std::make_shared<ScriptedReceiver>(n, &journal));
    registry.AddRequestReceiver(ModuleKey("b", "1"), busy);
    EXPECT_FALSE(registry.CheckStopOver());
    EXPECT_EQ(journal, (std::vector<std::string>{"a.CheckStopOver", "a.destroyed", "b.CheckStopOver"}));
    journal.clear();
    busy->drained = true;
    busy.reset();
    EXPECT_TRUE(registry.CheckStopOver());
    EXPECT_EQ(journal,
              (std::vector<std::string>{"b.CheckStopOver", "b.destroyed", "c.CheckStopOver", "c.destroyed"}));
    EXPECT_EQ(registry.Size(), 0u);
}

}  // namespace
