// What the C module tests share: the sample modules' locations, request texts, and a test child's
// own gateway with the worker's real C module manager beside it. Build a Harness only inside a
// forked test child: the manager is a process singleton with threads.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/LogReader.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"
#include "hosts/c/CModuleMgt.h"
#include "model/ModulePojo.h"

namespace cmodtest {

constexpr std::chrono::milliseconds WAIT{10000};

// Where CMake puts lib<name>.so of a sample module.
std::string ModuleDir(const std::string& name);
ModulePojo Module(const std::string& name, const std::string& location);
ModulePojo Module(const std::string& name);

// A gateway request text with every required member.
std::string RequestText(const std::string& url, const std::string& method, const std::string& body,
                        const std::map<std::string, std::string>& query = {});

// "message", tag, request id, request text.
testsupport::ScriptableGateway::Parts Message(const std::string& requestId, const std::string& text);

// name||version||this process's pid.
std::string ClientIdOf(const std::string& name, const std::string& version = "1.0");

// True once at least count new lines contain text.
bool WaitLog(const testsupport::LogReader& log, const std::string& text, size_t count = 1);

class Harness {
public:
    explicit Harness(const std::string& tag);
    CModuleMgt* Mgt() { return CModuleMgt::getInstance(); }
    testsupport::ScriptableGateway& Gateway() { return gw; }

    // The next "pullreq" the gateway has not handed out yet.
    std::optional<testsupport::ScriptableGateway::Frame> NextPull();
    // The next "responsereq"'s parts (empty when none came).
    testsupport::ScriptableGateway::Parts NextResponse();
    // Answers the next pull with a message; false when no pull came.
    bool Answer(const testsupport::ScriptableGateway::Parts& message);
    bool AnswerRaw(const std::string& bytes);

private:
    testsupport::ScopedEnv app;
    testsupport::ScriptableGateway gw;
};

}  // namespace cmodtest
