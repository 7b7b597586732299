// Lines through the whole path into the file: batching, levels, close line, trace scopes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "LogTestUtil.h"
#include "common/Log.h"
#include "common/LogClock.h"
#include "common/LogMgr.h"
#include "common/TraceScope.h"
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

TEST(LogWrite, FirstLineAtOnceThenBatchesOfLogBufferNum) {
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
                  LOG_WARN("line 100");
                  LOG_CHILD_CHECK(LineCount(path) == 102, "the 100th pending line writes out");
                  LOG_ERROR_CODE(-1, "line 101");
                  LogMgr::CloseLogFile();
                  const std::vector<std::string> lines = logtest::Lines(testsupport::ReadFile(path));
                  LOG_CHILD_CHECK(lines.size() == 104, "all lines after close");
                  const std::string pid = std::to_string(getpid());
                  LOG_CHILD_CHECK(lines.front() == "LogSelf--Open file,pid:" + pid, "open line");
                  LOG_CHILD_CHECK(lines.back() == "LogSelf--Close file,pid:" + pid, "close line");
                  for (int i = 0; i <= 100; ++i) {
                      const std::string& l = lines[static_cast<size_t>(i) + 1];
                      LOG_CHILD_CHECK(l.find("],line " + std::to_string(i) + "[") != std::string::npos,
                                      "in order: " + l);
                  }
                  const std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
                  const std::regex error(
                      R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{1,3}\],Error,\[)" + pid + ":" + tid +
                      R"(\],ErrorCode:4294967295,line 101\[operator\(\)\|LogWriteTest\.cpp\|\d+\])");
                  LOG_CHILD_CHECK(std::regex_match(lines[102], error), "error line: " + lines[102]);
                  LOG_CHILD_CHECK(lines[101].find(",Warn ,[") != std::string::npos, "warn name");
                  return "";
              }),
              "");
}

TEST(LogWrite, LineAfterWritePeriodWritesOut) {
    testsupport::TempDir tmp("logperiod");
    const std::string json = Settings(3, 0, 100);
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), tmp.path(), json.c_str());
                  LogMgr::InitLogFile("Vessel");
                  const std::string path = OnlyLog(tmp.path());
                  LOG_INFO("first");
                  const int64_t first = LogClock::NowSeconds();
                  LOG_INFO("second");
                  const int64_t written = LogClock::NowSeconds();
                  // Still the same second: the period (0 s) has not passed yet.
                  if (written == first) {
                      LOG_CHILD_CHECK(LineCount(path) == 2, "second line pending");
                  }
                  LOG_CHILD_CHECK(testsupport::WaitFor([&] { return LogClock::NowSeconds() > written; },
                                                       std::chrono::seconds(3)),
                                  "clock moves");
                  LOG_INFO("third");
                  LOG_CHILD_CHECK(LineCount(path) == 4, "period passed: everything written");
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
