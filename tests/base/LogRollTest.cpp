// Rolling at MaxFileSize, gzip archives of closed files, pruning to MaxFileNum per prefix, and
// what a full disk must not do to them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"
#include "support/TestSupport.h"
#include "support/TmpfsMount.h"

namespace {

constexpr uint64_t kMiB = 1048576;

TEST(LogRoll, RollsAtLimitAndArchivesTheClosedFile) {
    testsupport::TempDir tmp("logroll");
    const char* json =
        R"({"DevLogLevel":3,"LogBufferWriteRate":1000,"LogBufferNum":1,"MaxFileSize":1,"MaxFileNum":20})";
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), tmp.path(), json);
                  umask(022);
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
                  LOG_CHILD_CHECK((st.st_mode & 0777) == 0640, "log file mode 0640");
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

void SetMTime(const std::string& path, int64_t mtime) {
    timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void Touch(const std::string& path, int64_t mtime, const std::string& content = "x") {
    testsupport::WriteFile(path, content);
    SetMTime(path, mtime);
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

TEST(LogRoll, FullDiskLosesNoArchiveAndCompressesOnceThereIsSpace) {
    testsupport::TempDir home("logfullhome");
    testsupport::TempDir tmp("logfull");
    testsupport::TmpfsMount disk(tmp.path(), 0, "size=4m");
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    const char* json =
        R"({"DevLogLevel":3,"LogBufferWriteRate":1000,"LogBufferNum":1,"MaxFileSize":1,"MaxFileNum":5})";
    EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                  logtest::UseSettings(tmp.path(), home.path(), json);
                  umask(066);
                  // Five archives (as many as MaxFileNum keeps), a closed file waiting to be
                  // compressed and, newest, a file at the size limit that the process takes up.
                  std::map<std::string, std::string> kept;
                  std::vector<std::string> want = {"filler"};
                  for (int i = 0; i < 5; ++i) {
                      const std::string name = "Vessel_20230101_00000" + std::to_string(i) + ".log.gz";
                      gzFile gz = gzopen((tmp / name).c_str(), "wb");
                      gzputs(gz, ("archive " + std::to_string(i) + "\n").c_str());
                      gzclose(gz);
                      SetMTime(tmp / name, 1600000000 + i);
                      kept[name] = testsupport::ReadFile(tmp / name);
                      want.push_back(name);
                  }
                  const std::string closed = "Vessel_20230101_000100.log";
                  std::string text;
                  for (int i = 0; i < 2000; ++i) text += "closed line " + std::to_string(i) + "\n";
                  Touch(tmp / closed, 1600000100, text);
                  kept[closed] = text;
                  const std::string full = "Vessel_20230101_000200.log";
                  testsupport::WriteFile(tmp / full, std::string(kMiB, 'f'));
                  want.push_back(closed);
                  want.push_back(full);
                  std::sort(want.begin(), want.end());
                  LOG_CHILD_CHECK(testsupport::TmpfsMount::FillUp(tmp / "filler") == ENOSPC, "disk full");

                  LogMgr::ReopenLogFile("Vessel");
                  LogMgr* mgr = LogMgr::GetInstance();
                  LOG_CHILD_CHECK(mgr->CurrentFilePath() == tmp / full, "newest file taken up");
                  LOG_CHILD_CHECK(mgr->WaitHousekeepingIdle(20000), "housekeeping ends");
                  // The file is at the limit, so lines roll it; but no new file can take a line.
                  for (int i = 0; i < 100; ++i)
                      LOG_INFO("while full " + std::to_string(i) + std::string(1000, 'w'));
                  LOG_CHILD_CHECK(mgr->CurrentFilePath() == tmp / full, "no roll while full");
                  // No partial archive, no temporary file, no empty new .log.
                  std::vector<std::string> names = testsupport::ListDir(tmp.path());
                  std::sort(names.begin(), names.end());
                  std::string seen;
                  for (const std::string& n : names) seen += n + " ";
                  LOG_CHILD_CHECK(names == want, "files while full: " + seen);
                  for (const auto& [name, content] : kept) {
                      LOG_CHILD_CHECK(testsupport::ReadFile(tmp / name) == content, name + " changed");
                  }

                  // Space again: a later pass compresses the closed file, without a restart.
                  LOG_CHILD_CHECK(unlink((tmp / "filler").c_str()) == 0, "space freed");
                  LOG_CHILD_CHECK(testsupport::WaitFor(
                                      [&] {
                                          LOG_INFO("space again");
                                          return access((tmp / closed).c_str(), F_OK) != 0;
                                      },
                                      std::chrono::seconds(40)),
                                  "closed file compressed once there is space");
                  LOG_CHILD_CHECK(mgr->WaitHousekeepingIdle(20000), "housekeeping ends");
                  LOG_CHILD_CHECK(logtest::ReadGzip(tmp / (closed + ".gz")) == text, "archive complete");
                  struct stat st {};
                  LOG_CHILD_CHECK(
                      stat((tmp / (closed + ".gz")).c_str(), &st) == 0 && (st.st_mode & 0777) == 0400,
                      "archive mode 0440 under the umask");
                  LogMgr::CloseLogFile();
                  return "";
              }),
              "");
}

}  // namespace
