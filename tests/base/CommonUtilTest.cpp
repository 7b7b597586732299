#include "base/CommonUtil.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "base/TimeGuard.h"
#include "support/LogReader.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ListDir;
using testsupport::LogReader;
using testsupport::ReadFile;
using testsupport::RunInChildWithLog;
using testsupport::TempDir;
using testsupport::WriteFile;

std::vector<std::string> Sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

bool IsDir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Restores the working directory at the end of a test that changes it.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir)
    {
        char buf[4096];
        old_ = getcwd(buf, sizeof(buf)) != nullptr ? buf : "/";
        EXPECT_EQ(0, chdir(dir.c_str()));
    }
    ~ScopedCwd() { EXPECT_EQ(0, chdir(old_.c_str())); }

private:
    std::string old_;
};

TEST(CommonUtilTest, SplitKeepsEmptyPiecesExceptForBlanks)
{
    std::vector<std::string> out = {"before"};
    Split(";a;;b;", out, ';');
    EXPECT_EQ((std::vector<std::string>{"before", "", "a", "", "b"}), out);

    std::vector<std::string> words;
    Split("  a  b ", words, ' ');
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), words);

    std::vector<std::string> none;
    Split("", none, ';');
    EXPECT_TRUE(none.empty());
}

TEST(CommonUtilTest, ReplaceAllNeverRescansInsertedText)
{
    std::string text = "x%sy%s";
    ReplaceAll(text, "%s", "ab");
    EXPECT_EQ("xabyab", text);

    std::string grow = "aaa";
    ReplaceAll(grow, "a", "aa");
    EXPECT_EQ("aaaaaa", grow);

    std::string shrink = "aaaa";
    ReplaceAll(shrink, "aa", "a");
    EXPECT_EQ("aa", shrink);

    std::string same = "abc";
    ReplaceAll(same, "", "x");
    EXPECT_EQ("abc", same);
}

TEST(CommonUtilTest, GetFilesMatchesPrefixOrFirstOccurrenceAsSuffix)
{
    TempDir dir("getfiles");
    for (const char* name : {"a.jar", "jar.txt", "ja", "jarjar", "xjar", "libx.so", "xlib"}) {
        WriteFile(dir / name, "");
    }
    ASSERT_EQ(0, mkdir((dir / "sub.jar").c_str(), 0755));  // entry types are not looked at

    EXPECT_EQ((std::vector<std::string>{"a.jar", "sub.jar", "xjar"}), Sorted(GetFiles(dir.path(), "jar", true)));
    EXPECT_EQ((std::vector<std::string>{"libx.so"}), GetFiles(dir.path(), "lib", false));
    EXPECT_EQ(Sorted(ListDir(dir.path())), Sorted(GetFiles(dir.path(), "", true)));
}

TEST(CommonUtilTest, GetFilesOnMissingDirectoryLogsAndReturnsNothing)
{
    TempDir dir("getfiles");
    RunInChildWithLog([&](LogReader& log) {
        log.Mark();
        std::string missing = dir / "nope";
        EXPECT_TRUE(GetFiles(missing, "", false).empty());
        auto lines = log.NewLinesWith("Can't open " + missing);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("GetFiles", lines[0].func);
    });
}

TEST(CommonUtilTest, CopyFileCopiesBytesAndTruncates)
{
    TempDir dir("copyfile");
    std::string content;
    for (int i = 0; i < 200000; ++i) {
        content.push_back(static_cast<char>(i * 7));  // NULs, CRs and LFs included
    }
    WriteFile(dir / "src", content);
    WriteFile(dir / "dst", std::string(300000, 'x'));
    CopyFile(dir / "src", dir / "dst");
    EXPECT_TRUE(ReadFile(dir / "dst") == content);

    CopyFile(dir / "missing", dir / "created");
    EXPECT_TRUE(Exists(dir / "created"));
    EXPECT_EQ("", ReadFile(dir / "created"));
}

TEST(CommonUtilTest, MakeDirsCreatesParentsAbsoluteAndRelative)
{
    TempDir dir("makedirs");
    std::string deep = dir / "a/b/c";
    EXPECT_EQ(0, MakeDirs(deep.c_str(), 0755));
    EXPECT_TRUE(IsDir(deep));
    EXPECT_EQ(0, MakeDirs(deep.c_str(), 0755));  // existing: not an error
    EXPECT_EQ(0, MakeDirs((dir / "a/b/d/").c_str(), 0755));
    EXPECT_TRUE(IsDir(dir / "a/b/d"));

    ScopedCwd cwd(dir.path());
    EXPECT_EQ(0, MakeDirs("r1/r2/r3", 0700));
    EXPECT_TRUE(IsDir(dir / "r1/r2/r3"));
    EXPECT_EQ(0, MakeDirs("single", 0700));
    EXPECT_TRUE(IsDir(dir / "single"));
    EXPECT_EQ(0, MakeDirs("./dot/x", 0700));
    EXPECT_TRUE(IsDir(dir / "dot/x"));
    EXPECT_EQ(0, MakeDirs("/", 0700));
    EXPECT_EQ(0, MakeDirs(".", 0700));
}

TEST(CommonUtilTest, MakeDirsAppliesModeToEveryCreatedDirectory)
{
    TempDir dir("makedirs");
    mode_t old = umask(0);
    int32_t rc = MakeDirs((dir / "m1/m2").c_str(), 0750);
    umask(old);
    ASSERT_EQ(0, rc);
    for (const std::string& p : {dir / "m1", dir / "m1/m2"}) {
        struct stat st;
        ASSERT_EQ(0, stat(p.c_str(), &st));
        EXPECT_EQ(0750u, st.st_mode & 07777) << p;
    }
}

TEST(CommonUtilTest, MakeDirsReportsFailures)
{
    errno = 0;
    EXPECT_EQ(-1, MakeDirs(nullptr, 0755));
    EXPECT_EQ(EINVAL, errno);

    TempDir dir("makedirs");
    WriteFile(dir / "file", "x");
    errno = 0;
    EXPECT_EQ(-1, MakeDirs((dir / "file").c_str(), 0755));  // a file is in the way
    EXPECT_EQ(ENOTDIR, errno);
    errno = 0;
    EXPECT_EQ(-1, MakeDirs((dir / "file/sub/x").c_str(), 0755));
    EXPECT_EQ(ENOTDIR, errno);
}

TEST(CommonUtilTest, RemoveDirRemovesTreeAndLinksButNotLinkTargets)
{
    TempDir outside("removedir-target");
    WriteFile(outside / "keep.txt", "keep");
    TempDir dir("removedir");
    std::string root = dir / "root";
    ASSERT_EQ(0, MakeDirs((root + "/sub/deeper").c_str(), 0755));
    WriteFile(root + "/f", "1");
    WriteFile(root + "/.hidden", "1");
    WriteFile(root + "/sub/deeper/g", "1");
    ASSERT_EQ(0, mkdir((root + "/.hiddendir").c_str(), 0755));
    WriteFile(root + "/.hiddendir/h", "1");
    ASSERT_EQ(0, symlink(outside.path().c_str(), (root + "/sub/link").c_str()));
    ASSERT_EQ(0, symlink((root + "/nowhere").c_str(), (root + "/dangling").c_str()));

    RemoveDir(root);
    EXPECT_FALSE(Exists(root));
    EXPECT_EQ("keep", ReadFile(outside / "keep.txt"));
}

TEST(CommonUtilTest, RemoveDirLeavesSkippedEntriesAndLogsTheFailure)
{
    TempDir dir("removedir");
    std::string root = dir / "root";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    WriteFile(root + "/..dots", "skipped by name");
    WriteFile(root + "/plain", "removed");
    // A name that does not fit the 256-byte path buffer is skipped, not truncated.
    std::string longName(255 - root.size(), 'n');
    WriteFile(root + "/" + longName, "skipped by length");
    std::string fittingName(254 - root.size(), 'm');  // 255 characters with the terminator to spare
    WriteFile(root + "/" + fittingName, "removed");

    RunInChildWithLog([&](LogReader& log) {
        log.Mark();
        RemoveDir(root);
        auto lines = log.NewLinesWith("remove fail");
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("Error", lines[0].level);
        EXPECT_EQ("RemoveDir", lines[0].func);
        EXPECT_EQ("ErrorCode:" + std::to_string(ENOTEMPTY) + ",remove fail", lines[0].message);
    });
    EXPECT_TRUE(Exists(root + "/..dots"));
    EXPECT_TRUE(Exists(root + "/" + longName));
    EXPECT_FALSE(Exists(root + "/plain"));
    EXPECT_FALSE(Exists(root + "/" + fittingName));
}

TEST(CommonUtilTest, RemoveDirOnNonDirectoryLogsAndLeavesIt)
{
    TempDir dir("removedir");
    WriteFile(dir / "file", "x");
    RunInChildWithLog([&](LogReader& log) {
        log.Mark();
        RemoveDir(dir / "file");
        RemoveDir(dir / "missing");
        EXPECT_EQ(2u, log.NewLines().size());
    });
    EXPECT_TRUE(Exists(dir / "file"));
}

std::atomic<int> gAlarms{0};
void CountAlarm(int)
{
    ++gAlarms;
}

TEST(CommonUtilTest, SleepMsIsNotCutShortBySignals)
{
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = CountAlarm;  // no SA_RESTART: select fails with EINTR at every alarm
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGALRM, &sa, &old));
    struct itimerval every = {{0, 100000}, {0, 100000}};
    struct itimerval off = {};
    gAlarms = 0;
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &every, nullptr));

    auto start = std::chrono::steady_clock::now();
    SleepMs(1200);  // 1 s plus 200000 us
    auto slept = std::chrono::steady_clock::now() - start;

    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(gAlarms.load(), 2);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(slept).count(), 1200);
}

TEST(CommonUtilTest, TimeGuardLogsElapsedMillisecondsOnScopeExit)
{
    RunInChildWithLog([](LogReader& log) {
        log.Mark();
        {
            TimeGuard guard("CommonUtilTest::Guarded");
            SleepMs(30);
            EXPECT_EQ(0u, log.CountNew(" cost ms:"));
        }
        auto lines = log.NewLinesWith("CommonUtilTest::Guarded cost ms:");
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("Info", lines[0].level);
        EXPECT_EQ("~TimeGuard", lines[0].func);
        EXPECT_EQ("TimeGuard.cpp", lines[0].file);
        std::string ms = lines[0].message.substr(std::string("CommonUtilTest::Guarded cost ms:").size());
        ASSERT_FALSE(ms.empty());
        EXPECT_TRUE(std::all_of(ms.begin(), ms.end(), ::isdigit)) << ms;
        EXPECT_GE(std::stol(ms), 30);
    });
}

}  // namespace
