// What the C host tests share: the sample modules, gateway request texts, and a scripted gateway
// beside the worker's real C module manager, a process singleton with threads: build a Harness
// only inside a forked test child.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>

#include "hosts/c/CModuleMgt.h"
#include "model/ModulePojo.h"
#include "proto/GatewayPath.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

namespace cmodtest {

using Parts = testsupport::ScriptableGateway::Parts;
constexpr std::chrono::milliseconds WAIT{10000};

inline std::string ModuleDir(const std::string& name) {
    return std::string(VESSEL_BINARY_DIR) + "/examples/c-modules/" + name;
}
inline ModulePojo Module(const std::string& name, const std::string& location = "") {
    return ModulePojo(name, "1.0", location.empty() ? ModuleDir(name) : location, "C_MODULE", "");
}
inline std::string RequestText(const std::string& url, const std::string& body,
                               const std::map<std::string, std::string>& query = {}) {
    std::string q;
    for (const auto& [k, v] : query) q += (q.empty() ? "\"" : ",\"") + k + "\":\"" + v + "\"";
    return "{\"ReqUrl\":\"" + url + "\",\"Method\":\"POST\",\"ReqBody\":\"" + body + "\",\"ReqQuery\":{" + q +
           "},\"Header\":{\"Accept\":[\"*/*\"]}}";
}
inline Parts Message(const std::string& id, const std::string& text) {
    return {"message", "tag-" + id, id, text};
}
inline std::string ClientIdOf(const std::string& name, pid_t pid = getpid()) {
    return name + "||1.0||" + std::to_string(pid);
}
inline Parts Response(const std::string& name, const std::string& id, const std::string& status,
                      const std::string& body) {
    return {"responsereq", ClientIdOf(name), id, status, body, ""};
}

// One pull connection per module unless a test asks for more, so a test follows one receiver.
struct Harness {
    explicit Harness(const std::string& tag, int pulls = 1)
        : app("APP_NAME", testsupport::UniqueName(tag)),
          vesselHome("VESSEL_HOME", home.path()),
          gw(GetGatewayPath()) {
        testsupport::WriteContainerConfig(home.path(),
                                          "{\"modulePullConnections\":" + std::to_string(pulls) + "}");
        EXPECT_EQ(gw.Start(), 0);
    }
    CModuleMgt* Mgt() { return CModuleMgt::getInstance(); }
    // Sends bytes in answer to the next pull; false when no pull came.
    bool Answer(const std::string& bytes) {
        auto pull = gw.WaitForFrame("pullreq", WAIT);
        return pull && gw.SendRaw(pull->conn, bytes);
    }
    Parts NextResponse() {
        auto f = gw.WaitForFrame("responsereq", WAIT);
        return f ? f->parts : Parts{};
    }
    bool Closed(int conn) {
        return testsupport::WaitFor([&] { return !gw.IsOpen(conn); }, WAIT);
    }

    testsupport::ScopedEnv app;
    testsupport::TempDir home{"cmod-home"};
    testsupport::ScopedEnv vesselHome;
    testsupport::ScriptableGateway gw;
};

}  // namespace cmodtest
