// Rolling at MaxFileSize while threads log, gzip archives of closed files, pruning to
// MaxFileNum per prefix, and what a full disk must not do to them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "support/TmpfsMount.h"

namespace {

void Touch(const std::string& path, int64_t mtime, const std::string& content = "x") {
    testsupport::WriteFile(path, content);
    const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(LogRoll, PrunesOldestArchivesOfItsPrefixOnly) {
    logtest::TestLog log(logtest::Settings(3, 1000, 100, 1, 20), false);
    // 23 archives whose ages do not follow their names: the oldest are 07, 15 and 22.
    for (int i = 0; i < 23; ++i) {
        const int age = i == 7 ? 3 : i == 15 ? 1 : i == 22 ? 2 : 100 + i;
        Touch(log.tmp / ("Vessel_20230101_0000" + std::to_string(10 + i) + ".log.gz"), 1600000000 + age);
    }
    Touch(log.tmp / "sub_Vessel_20200101_000000.log.gz", 1000);
    LogMgr::InitLogFile("Vessel");
    const std::string path = log.Current();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();
    std::map<std::string, int> seen = logtest::Messages(log.dir(), "Vessel_");
    for (const char* gone : {"17", "25", "32"}) {
        const std::string name = std::string("Vessel_20230101_0000") + gone + ".log.gz";
        EXPECT_NE(access((log.tmp / name).c_str(), F_OK), 0) << name;
        EXPECT_EQ(seen["LogSelf--roll log " + name + "--removed."], 1) << name;
    }
    EXPECT_EQ(logtest::FilesIn(log.dir(), "Vessel_", ".gz").size(), 20u);
    EXPECT_EQ(logtest::FilesIn(log.dir(), "sub_Vessel_", ".gz").size(), 1u);
    EXPECT_EQ(testsupport::ReadFile(path).find("LogSelf--GzipFile:"), std::string::npos) << "nothing to compress";
}

TEST(LogRoll, FullDiskLosesNoArchiveAndCompressesOnceThereIsSpace) {
    logtest::TestLog log(logtest::Settings(3, 1000, 1, 1, 5), false);
    const std::string dir = log.dir() + "/disk";
    mkdir(dir.c_str(), 0755);
    testsupport::TmpfsMount disk(dir, 0, "size=4m");
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    logtest::UseSettings(dir, logtest::Settings(3, 1000, 1, 1, 5).c_str());
    // Five archives (all MaxFileNum keeps), a closed file to compress, and newest a file at
    // the size limit that the process takes up.
    for (int i = 0; i < 5; ++i) Touch(dir + "/Vessel_20230101_00000" + std::to_string(i) + ".log.gz", 1600000000 + i, "gz");
    const std::string closed = dir + "/Vessel_20230101_000100.log", full = dir + "/Vessel_20230101_000200.log";
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "closed line " + std::to_string(i) + "\n";
    Touch(closed, 1600000100, text);
    testsupport::WriteFile(full, std::string(1048576, 'f'));
    ASSERT_EQ(testsupport::TmpfsMount::FillUp(dir + "/filler"), ENOSPC);
    const std::vector<std::string> before = testsupport::ListDir(dir);
    const mode_t oldMask = umask(066);

    LogMgr::ReopenLogFile("Vessel");
    ASSERT_EQ(log.Current(), full);
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    // At the limit every line asks for a roll, but no new file can take a line.
    for (int i = 0; i < 100; ++i) LOG_INFO("while full " + std::string(1000, 'w'));
    EXPECT_EQ(log.Current(), full);
    EXPECT_EQ(testsupport::ListDir(dir), before) << "no partial archive, no temporary or empty file";
    EXPECT_EQ(testsupport::ReadFile(dir + "/Vessel_20230101_000000.log.gz") + testsupport::ReadFile(closed), "gz" + text);

    // Space again: a later pass compresses the closed file, without a restart.
    ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { LOG_INFO("space again"); return access(closed.c_str(), F_OK) != 0; },
                                     std::chrono::seconds(40)));
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    EXPECT_EQ(logtest::ReadGzip(closed + ".gz"), text);
    struct stat st {};
    EXPECT_TRUE(stat((closed + ".gz").c_str(), &st) == 0 && (st.st_mode & 0777) == 0400) << "0440 under the umask";
    umask(oldMask);
    LogMgr::ResetForTest();
}

}  // namespace
