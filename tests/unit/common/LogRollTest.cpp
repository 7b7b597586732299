// Rolling at MaxFileSize, gzip archives of closed files, pruning to MaxFileNum per prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "LogTestUtil.h"
#include "common/Log.h"
#include "common/LogClock.h"
#include "common/LogMgr.h"
#include "support/TestSupport.h"

namespace {

constexpr uint64_t kMiB = 1048576;

TEST(LogRoll, RollsAtLimitAndArchivesTheClosedFile) {
    testsupport::TempDir tmp("logroll");
    const char* json =
        R"({"DevLogLevel":3,"LogBufferWriteRate":1000,"LogBufferNum":1,"MaxFileSize":1,"MaxFileNum":20})";
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), tmp.path(), json);
                  const int64_t opened = LogClock::NowMs() / 1000;
                  LogMgr::InitLogFile("Vessel");
                  const std::string first = LogMgr::GetInstance()->CurrentFilePath();
                  const std::string pad(1000, 'p');
                  int seq = 0;
                  // Stay below the limit until the clock leaves the second the file was named
                  // after; a roll within that second would reopen the same name.
                  for (; seq < 900; ++seq) LOG_INFO("seq=" + std::to_string(seq) + " " + pad);
                  LOG_CHILD_CHECK(testsupport::WaitFor([&] { return LogClock::NowMs() / 1000 > opened; },
                                                       std::chrono::seconds(3)),
                                  "clock moves");
                  while (LogMgr::GetInstance()->CurrentFilePath() == first && seq < 3000) {
                      LOG_INFO("seq=" + std::to_string(seq++) + " " + pad);
                  }
                  const std::string second = LogMgr::GetInstance()->CurrentFilePath();
                  LOG_CHILD_CHECK(second != first, "rolled");
                  for (int i = 0; i < 10; ++i) LOG_INFO("seq=" + std::to_string(seq++) + " " + pad);
                  LOG_CHILD_CHECK(LogMgr::GetInstance()->WaitHousekeepingIdle(20000), "housekeeping ends");
                  LogMgr::CloseLogFile();

                  // The closed file is an archive now, read-only, and its .log is gone.
                  struct stat st {};
                  LOG_CHILD_CHECK(stat(first.c_str(), &st) != 0, "rolled .log removed");
                  LOG_CHILD_CHECK(stat((first + ".gz").c_str(), &st) == 0, "archive exists");
                  LOG_CHILD_CHECK((st.st_mode & 0777) == 0440, "archive mode 0440");
                  LOG_CHILD_CHECK(stat(second.c_str(), &st) == 0, "current file not compressed");
                  LOG_CHILD_CHECK(logtest::FilesIn(tmp.path(), "Vessel_", ".gz").size() == 1, "one archive");

                  const std::string pid = std::to_string(getpid());
                  const std::vector<std::string> old = logtest::Lines(logtest::ReadGzip(first + ".gz"));
                  LOG_CHILD_CHECK(old.size() > 2, "archive readable");
                  LOG_CHILD_CHECK(old.front() == "LogSelf--Open file,pid:" + pid, "archive open line");
                  LOG_CHILD_CHECK(old.back() == "LogSelf--Close file,pid:" + pid, "archive close line");
                  // The line that reached the limit is the last one in the old file.
                  uint64_t bytes = 0;
                  uint64_t lastLen = 0;
                  for (size_t i = 1; i + 1 < old.size(); ++i) {
                      LOG_CHILD_CHECK(
                          old[i].find("],seq=" + std::to_string(i - 1) + " ") != std::string::npos,
                          "old file in order");
                      lastLen = old[i].size() + 1;
                      bytes += lastLen;
                  }
                  LOG_CHILD_CHECK(bytes >= kMiB && bytes - lastLen < kMiB,
                                  "rolled by the line reaching the limit: " + std::to_string(bytes));

                  const std::vector<std::string> cur = logtest::Lines(testsupport::ReadFile(second));
                  LOG_CHILD_CHECK(cur.front() == "LogSelf--Open file,pid:" + pid, "new open line");
                  const std::string next = "],seq=" + std::to_string(old.size() - 2) + " ";
                  for (const std::string& l : cur) {
                      if (l.find("],seq=") == std::string::npos) continue;
                      LOG_CHILD_CHECK(l.find(next) != std::string::npos, "next line starts the new file");
                      break;
                  }
                  bool report = false;
                  size_t seqLines = 0;
                  for (const std::string& l : cur) {
                      report |= l == "LogSelf--GzipFile:" + first.substr(first.rfind('/') + 1) + ":#";
                      seqLines += l.find("],seq=") != std::string::npos;
                  }
                  LOG_CHILD_CHECK(report, "gzip report line");
                  LOG_CHILD_CHECK(old.size() - 2 + seqLines == static_cast<size_t>(seq), "no line lost");
                  return "";
              }),
              "");
}

void Touch(const std::string& path, int64_t mtime) {
    testsupport::WriteFile(path, "x");
    timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(LogRoll, PrunesOldestArchivesOfItsPrefixOnly) {
    testsupport::TempDir tmp("logprune");
    const char* json =
        R"({"DevLogLevel":3,"LogBufferWriteRate":1000,"LogBufferNum":100,"MaxFileSize":1,"MaxFileNum":20})";
    // 23 archives whose ages do not follow their names: the oldest are 07, 15 and 22.
    std::vector<std::string> oldest;
    for (int i = 0; i < 23; ++i) {
        char name[64];
        snprintf(name, sizeof(name), "Vessel_20230101_0000%02d.log.gz", i);
        int64_t age = i == 7 ? 3 : i == 15 ? 1 : i == 22 ? 2 : 100 + i;
        if (age < 100) oldest.push_back(name);
        Touch(tmp / name, 1600000000 + age);
    }
    // Another prefix's archives are counted separately and stay.
    Touch(tmp / "sub_Vessel_20200101_000000.log.gz", 1000);
    Touch(tmp / "sub_Vessel_20200101_000001.log.gz", 1000);
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), tmp.path(), json);
                  LogMgr::InitLogFile("Vessel");
                  const std::string path = LogMgr::GetInstance()->CurrentFilePath();
                  LOG_CHILD_CHECK(LogMgr::GetInstance()->WaitHousekeepingIdle(20000), "housekeeping ends");
                  LogMgr::CloseLogFile();
                  const std::string log = testsupport::ReadFile(path);
                  for (const std::string& name : oldest) {
                      LOG_CHILD_CHECK(access((tmp / name).c_str(), F_OK) != 0, name + " removed");
                      LOG_CHILD_CHECK(
                          log.find("LogSelf--roll log " + name + "--removed.\n") != std::string::npos,
                          name + " reported");
                  }
                  size_t rollLines = 0;
                  for (size_t p = 0; (p = log.find("LogSelf--roll log ", p)) != std::string::npos; ++p)
                      ++rollLines;
                  LOG_CHILD_CHECK(rollLines == 3, "three roll lines");
                  LOG_CHILD_CHECK(logtest::FilesIn(tmp.path(), "Vessel_", ".gz").size() == 20, "20 kept");
                  LOG_CHILD_CHECK(logtest::FilesIn(tmp.path(), "sub_Vessel_", ".gz").size() == 2,
                                  "other prefix untouched");
                  // Only the current .log exists: nothing to compress, no report.
                  LOG_CHILD_CHECK(log.find("LogSelf--GzipFile:") == std::string::npos, "no gzip report");
                  LOG_CHILD_CHECK(access(path.c_str(), F_OK) == 0, "current file kept");
                  return "";
              }),
              "");
}

}  // namespace
