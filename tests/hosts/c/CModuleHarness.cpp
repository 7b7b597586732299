#include "CModuleHarness.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "proto/GatewayPath.h"

namespace cmodtest {

using testsupport::ScriptableGateway;

std::string ModuleDir(const std::string& name) { return std::string(VESSEL_BINARY_DIR) + "/examples/c-modules/" + name; }

ModulePojo Module(const std::string& name, const std::string& location) {
    return ModulePojo(name, "1.0", location, "C_MODULE", "");
}

ModulePojo Module(const std::string& name) { return Module(name, ModuleDir(name)); }

std::string RequestText(const std::string& url, const std::string& method, const std::string& body,
                        const std::map<std::string, std::string>& query) {
    std::string q;
    for (const auto& entry : query) {
        q += (q.empty() ? "\"" : ",\"") + entry.first + "\":\"" + entry.second + "\"";
    }
    return "{\"ReqUrl\":\"" + url + "\",\"Method\":\"" + method + "\",\"ReqBody\":\"" + body + "\",\"ReqQuery\":{" + q +
           "},\"Header\":{\"Accept\":[\"*/*\"]}}";
}

ScriptableGateway::Parts Message(const std::string& requestId, const std::string& text) {
    return {"message", "tag-" + requestId, requestId, text};
}

std::string ClientIdOf(const std::string& name, const std::string& version) {
    return name + "||" + version + "||" + std::to_string(getpid());
}

bool WaitLog(const testsupport::LogReader& log, const std::string& text, size_t count) {
    return testsupport::WaitFor([&] { return log.CountNew(text) >= count; }, WAIT);
}

Harness::Harness(const std::string& tag)
    : app("APP_NAME", testsupport::UniqueName(tag)), gw(GetGatewayPath()) {
    EXPECT_EQ(gw.Start(), 0);
}

std::optional<ScriptableGateway::Frame> Harness::NextPull() { return gw.WaitForFrame("pullreq", WAIT); }

ScriptableGateway::Parts Harness::NextResponse() {
    auto frame = gw.WaitForFrame("responsereq", WAIT);
    return frame ? frame->parts : ScriptableGateway::Parts{};
}

bool Harness::Answer(const ScriptableGateway::Parts& message) {
    auto pull = NextPull();
    return pull && gw.Reply(pull->conn, message);
}

bool Harness::AnswerRaw(const std::string& bytes) {
    auto pull = NextPull();
    return pull && gw.SendRaw(pull->conn, bytes);
}

}  // namespace cmodtest
