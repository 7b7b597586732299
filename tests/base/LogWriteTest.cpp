// Lines through the whole path into the file: batching, the flush timer, Warn and Error at
// once, levels, close line, trace scopes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"
#include "base/TraceScope.h"
#include "support/TestSupport.h"

namespace {

std::string Settings(int devLevel, int rate, int num) {
    return "{\"DevLogLevel\":" + std::to_string(devLevel) +
           ",\"LogBufferWriteRate\":" + std::to_string(rate) + ",\"LogBufferNum\":" + std::to_string(num) +
           ",\"MaxFileSize\":64,\"MaxFileNum\":20}";
}

std::string OnlyLog(const std::string& dir) {
    std::vector<std::string> files = logtest::FilesIn(dir, "Vessel_", ".log");
    return files.size() == 1 ? dir + "/" + files[0] : "";
}

size_t LineCount(const std::string& path) {
    return logtest::Lines(testsupport::ReadFile(path)).size();
}

TEST(LogWrite, FirstLineAtOnceThenBatchesWarnAndErrorAtOnce) {
    testsupport::TempDir tmp("logbatch");
    const std::string json = Settings(3, 1000, 100);
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), tmp.path(), json.c_str());
                  LogMgr::InitLogFile("Vessel");
                  const std::string path = OnlyLog(tmp.path());
                  LOG_CHILD_CHECK(!path.empty(), "one log file");
                  LOG_CHILD_CHECK(LineCount(path) == 1, "open line only");
                  LOG_INFO("line 0");
                  LOG_CHILD_CHECK(LineCount(path) == 2, "first line written at once");
                  for (int i = 1; i <= 99; ++i) LOG_INFO("line " + std::to_string(i));
                  LOG_DEBUG("debug is below the default level");
                  LOG_TRACE("trace too");
                  LOG_CHILD_CHECK(LineCount(path) == 2, "99 lines stay pending");
                  LOG_INFO("line 100");
                  LOG_CHILD_CHECK(LineCount(path) == 102, "the 100th pending line writes out");
                  LOG_INFO("line 101");
                  LOG_CHILD_CHECK(LineCount(path) == 102, "pending again");
                  // A warning takes the line pending before it along, in order; so does an error.
                  LOG_WARN("line 102");
                  LOG_CHILD_CHECK(LineCount(path) == 104, "warn written at once");
                  LOG_INFO("line 103");
                  LOG_ERROR_CODE(-1, "line 104");
                  LOG_CHILD_CHECK(LineCount(path) == 106, "error written at once");
                  LogMgr::CloseLogFile();
                  const std::vector<std::string> lines = logtest::Lines(testsupport::ReadFile(path));
                  LOG_CHILD_CHECK(lines.size() == 107, "all lines after close");
                  const std::string pid = std::to_string(getpid());
                  LOG_CHILD_CHECK(lines.front() == "LogSelf--Open file,pid:" + pid, "open line");
                  LOG_CHILD_CHECK(lines.back() == "LogSelf--Close file,pid:" + pid, "close line");
                  for (int i = 0; i <= 103; ++i) {
                      const std::string& l = lines[static_cast<size_t>(i) + 1];
                      LOG_CHILD_CHECK(l.find("],line " + std::to_string(i) + "[") != std::string::npos,
                                      "in order: " + l);
                  }
                  const std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
                  const std::regex error(
                      R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{1,3}\],Error,\[)" + pid + ":" + tid +
                      R"(\],ErrorCode:4294967295,line 104\[operator\(\)\|LogWriteTest\.cpp\|\d+\])");
                  LOG_CHILD_CHECK(std::regex_match(lines[105], error), "error line: " + lines[105]);
                  LOG_CHILD_CHECK(lines[103].find(",Warn ,[") != std::string::npos, "warn name");
                  return "";
              }),
              "");
}

// Ids of this process's threads named "log-flush" (sanitizers run threads of their own).
std::vector<std::string> FlushThreads() {
    std::vector<std::string> found;
    for (const std::string& task : testsupport::ListDir("/proc/self/task")) {
        if (testsupport::ReadFile("/proc/self/task/" + task + "/comm") == "log-flush\n") found.push_back(task);
    }
    return found;
}

// The mask of one thread of this process, from /proc (SigBlk, hexadecimal).
unsigned long long BlockedSignals(const std::string& task) {
    for (const std::string& l : logtest::Lines(testsupport::ReadFile("/proc/self/task/" + task + "/status"))) {
        if (l.rfind("SigBlk:", 0) == 0) return std::stoull(l.substr(7), nullptr, 16);
    }
    return 0;
}

TEST(LogWrite, FlushThreadWritesPendingLineWithinTheWritePeriod) {
    testsupport::TempDir tmp("logperiod");
    const std::string json = Settings(3, 1, 100);
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), tmp.path(), json.c_str());
                  LogMgr::InitLogFile("Vessel");
                  const std::string path = OnlyLog(tmp.path());
                  LOG_INFO("first");
                  LOG_INFO("second");
                  const auto logged = std::chrono::steady_clock::now();
                  LOG_CHILD_CHECK(LineCount(path) == 2, "second line batched");
                  // No later line comes: the flush thread alone writes it out.
                  LOG_CHILD_CHECK(testsupport::WaitFor([&] { return LineCount(path) == 3; },
                                                       std::chrono::milliseconds(2500)),
                                  "pending line not written within the period");
                  const auto waited = std::chrono::steady_clock::now() - logged;
                  LOG_CHILD_CHECK(waited >= std::chrono::milliseconds(900), "written before the period");

                  // Signals for the main thread's sigsuspend must not land on the flush thread.
                  unsigned long long handled = 0;
                  for (int signo : {SIGCHLD, SIGALRM, SIGIO, SIGINT, SIGTERM, SIGQUIT}) {
                      handled |= 1ULL << (signo - 1);
                  }
                  const std::vector<std::string> flushers = FlushThreads();
                  LOG_CHILD_CHECK(flushers.size() == 1, "one flush thread");
                  LOG_CHILD_CHECK((BlockedSignals(flushers[0]) & handled) == handled, "signals blocked");
                  // Closing stops and joins it.
                  LogMgr::CloseLogFile();
                  LOG_CHILD_CHECK(FlushThreads().empty(), "flush thread left after close");
                  return "";
              }),
              "");
}

void TracedWork(int waitMs) {
    TRACE_SCOPE();
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));  // the measured work
}

TEST(LogWrite, TraceScopeWritesEntryAndExit) {
    for (int level : {1, 3}) {
        testsupport::TempDir tmp("logtrace");
        const std::string json = Settings(level, 1000, 1);
        EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                      logtest::UseSettings(tmp.path(), tmp.path(), json.c_str());
                      LogMgr::InitLogFile("Vessel");
                      const std::string path = OnlyLog(tmp.path());
                      const int64_t before = LogClock::NowMs();
                      TracedWork(20);
                      const int64_t took = LogClock::NowMs() - before;
                      LogMgr::CloseLogFile();
                      const std::vector<std::string> lines = logtest::Lines(testsupport::ReadFile(path));
                      if (level == 3) {
                          LOG_CHILD_CHECK(lines.size() == 2, "no trace lines at Info level");
                          return "";
                      }
                      LOG_CHILD_CHECK(lines.size() == 4, "entry and exit");
                      std::smatch m;
                      const std::regex entry(
                          R"(.*,Trace,\[\d+:\d+\],==> \[TracedWork\|LogWriteTest\.cpp\|(\d+)\])");
                      const std::regex exit(
                          R"(.*,Trace,\[\d+:\d+\],<== \[(\d+)ms\] \[TracedWork\|LogWriteTest\.cpp\|(\d+)\])");
                      LOG_CHILD_CHECK(std::regex_match(lines[1], m, entry), "entry: " + lines[1]);
                      const std::string entryLine = m[1];
                      LOG_CHILD_CHECK(std::regex_match(lines[2], m, exit), "exit: " + lines[2]);
                      LOG_CHILD_CHECK(m[2] == entryLine, "same location");
                      const int64_t elapsed = std::stoll(m[1]);
                      LOG_CHILD_CHECK(elapsed >= 20 && elapsed <= took + 1,
                                      "elapsed " + std::to_string(elapsed));
                      return "";
                  }),
                  "")
            << "DevLogLevel " << level;
    }
}

}  // namespace
