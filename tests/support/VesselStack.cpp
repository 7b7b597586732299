#include "support/VesselStack.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/LogLines.h"

namespace {

const std::string MODULES = std::string(VESSEL_BINARY_DIR) + "/examples/c-modules";
const std::string VESSEL = std::string(VESSEL_BINARY_DIR) + "/vessel";
// Failed stories' copies kept at once: enough to compare a few failures, never a full disk.
constexpr size_t KEPT_FAILURES = 3;

// Parent and process group of a living (not zombie) process; false when it is gone.
bool ReadStat(pid_t pid, pid_t& ppid, pid_t& pgrp) {
    const std::string text = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = text.rfind(')');
    char state = 'X';
    return close != std::string::npos &&
           sscanf(text.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && state != 'Z' &&
           state != 'X';
}

// Living processes for which pick(ppid, pgrp) holds, lowest pid first.
template <typename Pick>
std::vector<pid_t> Processes(Pick pick) {
    std::vector<pid_t> found;
    for (const std::string& name : testsupport::ListDir("/proc")) {
        pid_t pid = static_cast<pid_t>(atoi(name.c_str())), ppid = 0, pgrp = 0;
        if (pid > 0 && ReadStat(pid, ppid, pgrp) && pick(ppid, pgrp)) found.push_back(pid);
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

VesselStack::VesselStack() {
    mkdir((home_ / "conf").c_str(), 0755);
    mkdir(LogDir().c_str(), 0755);
}

VesselStack::~VesselStack() {
    if (const pid_t master = master_.Pid(); master > 0) {
        if (master_.Running()) master_.Kill(SIGKILL);
        master_.Wait(std::chrono::seconds(10));
        kill(-master, SIGKILL);  // workers left behind, whatever the test did
        struct stat st {};
        if (lstat(ChannelPath().c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(ChannelPath().c_str());
    }
    gateway_.Stop();
}

bool VesselStack::Built(const std::vector<std::string>& modules) {
    // A missing piece fails the test: a skipped story once hid that no story ran at all.
    std::vector<std::string> needed{VESSEL, GatewayProcess::BinaryPath()};
    for (const auto& name : modules) needed.push_back(MODULES + "/" + name + "/lib" + name + ".so");
    for (const auto& path : needed) EXPECT_EQ(access(path.c_str(), R_OK), 0) << path << " is not built";
    return !::testing::Test::HasFailure();
}

bool VesselStack::Start(const std::vector<std::string>& modules, const std::vector<std::string>& gatewayArgs,
                        int maxModulePerSubprocess) {
    testsupport::WriteFile(home_ / "conf/container.json",
                           "{\"maxModulePerSubprocess\":" + std::to_string(maxModulePerSubprocess) +
                               ",\"moduleRequestTimeout\":300}");
    testsupport::WriteImmediateLogConfig(home_.path(), 3);
    std::vector<std::string> entries;
    for (const auto& name : modules) entries.push_back(ModuleEntry(name, "1.0"));
    if (!gateway_.Start(AppConfig(entries), gatewayArgs)) return false;
    return master_.Exec(
               {VESSEL},
               {{"APP_NAME", gateway_.AppName()}, {"VESSEL_HOME", Home()}, {"_APP_LOG_DIR", LogDir()}},
               home_ / "vessel.out") &&
           master_.Running();
}

void VesselStack::SetAppConfig(const std::string& json) {
    // Written aside and renamed, so the gateway never reads half a file.
    const std::string path = gateway_.ConfigPath();
    testsupport::WriteFile(path + ".new", json);
    rename((path + ".new").c_str(), path.c_str());
}

std::string VesselStack::ModuleEntry(const std::string& name, const std::string& version,
                                     const std::string& location) {
    return "{\"Name\":\"" + name + "\",\"Version\":\"" + version + "\",\"Location\":\"" +
           (location.empty() ? MODULES + "/" + name : location) + "\",\"Type\":\"C_MODULE\"}";
}

std::string VesselStack::AppConfig(const std::vector<std::string>& entries) {
    std::string config = "{\"Modules\":[";
    for (size_t i = 0; i < entries.size(); ++i) config += (i ? "," : "") + entries[i];
    return config + "]}";
}

std::vector<pid_t> VesselStack::Workers() const {
    const pid_t master = master_.Pid();
    return Processes([master](pid_t ppid, pid_t) { return ppid == master; });
}

std::vector<pid_t> VesselStack::GroupMembers(pid_t pgid) {
    return Processes([pgid](pid_t, pid_t pgrp) { return pgrp == pgid; });
}

bool VesselStack::Alive(pid_t pid) {
    pid_t ppid = 0, pgrp = 0;
    return ReadStat(pid, ppid, pgrp);
}

std::string VesselStack::AllLogs() const {
    // Under load the logs are long; the end of each tells what went wrong.
    auto tail = [](const std::string& text) {
        return text.substr(text.size() > 20000 ? text.size() - 20000 : 0);
    };
    std::string all = "---- gateway\n" + tail(gateway_.Log()) + "---- vessel stdout\n" +
                      tail(testsupport::ReadFile(home_ / "vessel.out"));
    for (const std::string& name : testsupport::ListDir(LogDir()))
        all += "---- " + name + "\n" + tail(testsupport::ReadFile(LogDir() + "/" + name));
    return all;
}

std::string VesselStack::KeepLogs() const {
    namespace fs = std::filesystem;
    const char* tmp = getenv("TMPDIR");
    const fs::path root = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "stack";
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests' names hold slashes
    const std::string prefix = "vessel-failed-";
    const fs::path kept = root / (prefix + name + "-" + std::to_string(getpid()));

    // The oldest copies go first, so that this one is among the newest KEPT_FAILURES.
    std::error_code ec;
    std::vector<std::pair<fs::file_time_type, fs::path>> earlier;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0 && entry.path() != kept)
            earlier.emplace_back(fs::last_write_time(entry.path(), ec), entry.path());
    }
    std::sort(earlier.begin(), earlier.end());
    for (size_t i = 0; i + KEPT_FAILURES <= earlier.size(); ++i) fs::remove_all(earlier[i].second, ec);

    fs::remove_all(kept, ec);
    fs::copy(Home(), kept, fs::copy_options::recursive, ec);
    if (ec) return "logs not kept: copying " + Home() + " to " + kept.string() + ": " + ec.message() + "\n";
    testsupport::WriteFile((kept / "gateway.log").string(), gateway_.Log());
    return "the whole logs of this story are kept in " + kept.string() + "\n";
}
