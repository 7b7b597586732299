#include "support/VesselRun.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "support/LogLines.h"
#include "support/TestSupport.h"
#include "support/VesselStack.h"

namespace testsupport {

namespace {

const std::string VESSEL = std::string(VESSEL_BINARY_DIR) + "/vessel";

}  // namespace

VesselRun::VesselRun(const std::string& tag)
    : home_("vessel-" + tag), app_(UniqueName(tag)), gateway_(ScriptableGateway::PathForApp(app_)) {
    mkdir(LogDir().c_str(), 0755);
    WriteImmediateLogConfig(home_.path());
    WriteContainerConfig(home_.path(), "{\"maxModulePerSubprocess\": 10}");
    const std::string config = VesselStack::AppConfig(
        {VesselStack::ModuleEntry("calc", "1.0", VesselStack::CModuleDir("calc"), "C_MODULE")});
    gateway_.AlwaysReply("pullappcfg", {"appcfg", config});
    // The configuration never changes and demands come only when a test asks for them.
    gateway_.HoldNext("pullappcfgchg", 1000);
    gateway_.HoldNext("pullmodloadreq", 1000);
}

VesselRun::~VesselRun() {
    if (master_.Pid() > 0) {
        pid_t master = master_.Pid();
        if (master_.Running()) {
            master_.Kill(SIGKILL);
            master_.Wait(std::chrono::seconds(10));
        }
        kill(-master, SIGKILL);  // workers left behind, in the group the master leads
    }
    gateway_.Stop();
    struct stat st {};
    const std::string channel = ChannelPath();
    if (lstat(channel.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(channel.c_str());
}

bool VesselRun::Built() {
    return VesselStack::Built({"calc"});
}

std::string VesselRun::ChannelPath() const {
    std::string path = "/tmp/uds-vessel-inner-";
    for (char c : app_) path += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
}

bool VesselRun::StartMaster() {
    return master_.Exec({VESSEL},
                        {{"APP_NAME", app_}, {"VESSEL_HOME", home_.path()}, {"_APP_LOG_DIR", LogDir()}},
                        home_ / "vessel.out");
}

std::vector<pid_t> VesselRun::Workers() const {
    return VesselStack::ChildrenOf(master_.Pid());
}

std::string VesselRun::Output() const {
    return ReadFile(home_ / "vessel.out");
}

bool VesselRun::DemandCalc(std::chrono::milliseconds timeout) {
    return WaitFor(
        [this] {
            return gateway_.ReleaseHeld("pullmodloadreq", {"pullmodloadrsp", "calc||1.0"}).has_value();
        },
        timeout);
}

std::string VesselRun::Add(long x, long y, std::chrono::milliseconds timeout) {
    const std::string id = "r" + std::to_string(++nextRequest_);
    const std::string text =
        "{\"ReqUrl\":\"/calc/add\",\"Method\":\"GET\",\"ReqBody\":\"\",\"ReqQuery\":{\"x\":\"" +
        std::to_string(x) + "\",\"y\":\"" + std::to_string(y) + "\"},\"Header\":{\"Accept\":[\"*/*\"]}}";
    // A pull recorded earlier may be from a connection that is gone (a worker that died); the
    // request then goes to the next pull.
    bool sent = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!sent) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return "no pull from a worker";
        auto pull = gateway_.WaitForFrame("pullreq", left);
        if (!pull) return "no pull from a worker";
        sent = gateway_.Reply(pull->conn, {"message", "tag-" + id, id, text});
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto resp = gateway_.WaitForFrame("responsereq", std::max(left, std::chrono::milliseconds(0)));
    if (!resp) return "no response to " + id;
    const ScriptableGateway::Parts want = {"200", std::to_string(x + y)};
    if (resp->parts.size() < 5 || resp->parts[2] != id || resp->parts[3] != want[0] ||
        resp->parts[4] != want[1]) {
        std::string got;
        for (const auto& p : resp->parts) got += "[" + p + "]";
        return "unexpected response to " + id + ": " + got;
    }
    return "";
}

std::string VesselRun::Logs(const std::string& prefix) const {
    return ReadLogs(LogDir(), prefix);
}

}  // namespace testsupport
