// The small helpers: strings, files and directories, bounded C string calls, the blocking
// queue, and the removal of Catalina bases of ended workers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <thread>

#include "LogTestUtil.h"
#include "base/BlockQueue.h"
#include "base/CatalinaBaseDir.h"
#include "base/CommonUtil.h"
#include "base/SafeString.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(CommonUtilTest, StringsAndFiles) {
    std::vector<std::string> out = {"before"};
    Split(";a;;b;", out, ';');
    Split("  c  d ", out, ' ');  // blanks: runs separate words
    EXPECT_EQ(out, (std::vector<std::string>{"before", "", "a", "", "b", "c", "d"}));
    for (std::vector<std::string> c : std::vector<std::vector<std::string>>{
             {"aaa", "a", "aa", "aaaaaa"}, {"aaaa", "aa", "a", "aa"}, {"abc", "", "x", "abc"}}) {
        ReplaceAll(c[0], c[1], c[2]);  // inserted text is never searched again
        EXPECT_EQ(c[0], c[3]);
    }
    testsupport::TempDir dir("util");
    for (const char* name : {"a.jar", "jar.txt", "jarjar", "libx.so", "xlib"}) WriteFile(dir / name, "");
    std::vector<std::string> jars = GetFiles(dir.path(), "jar", true);
    EXPECT_EQ(std::set<std::string>(jars.begin(), jars.end()), (std::set<std::string>{"a.jar"}));
    EXPECT_EQ(GetFiles(dir.path(), "lib", false), std::vector<std::string>{"libx.so"});
    std::string bytes;
    for (int i = 0; i < 200000; ++i) bytes.push_back(static_cast<char>(i * 7));
    WriteFile(dir / "src", bytes);
    WriteFile(dir / "dst", std::string(300000, 'x'));
    CopyFile(dir / "src", dir / "dst");
    EXPECT_TRUE(ReadFile(dir / "dst") == bytes) << "copied whole and truncated";

    const mode_t old = umask(0);
    EXPECT_EQ(MakeDirs((dir / "m1/m2/").c_str(), 0750), 0);
    umask(old);
    EXPECT_EQ(MakeDirs((dir / "m1/m2").c_str(), 0755), 0) << "existing is fine";
    struct stat st {};
    EXPECT_TRUE(stat((dir / "m1").c_str(), &st) == 0 && (st.st_mode & 07777) == 0750);
    EXPECT_EQ(MakeDirs((dir / "a.jar/x").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOTDIR);

    // Links are removed, never followed.
    WriteFile(dir / "m1/m2/f", "1");
    ASSERT_EQ(symlink((dir / "libx.so").c_str(), (dir / "m1/link").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "m1/m2/up").c_str()), 0);
    RemoveDir(dir / "m1");
    EXPECT_FALSE(Exists(dir / "m1"));
    EXPECT_TRUE(Exists(dir / "libx.so"));
}

TEST(SafeStringTest, NeverWritesPastTheGivenSize) {
    char buf[16];
    auto tailIntact = [&] { return std::string(buf + 8, 8) == std::string(8, 'Z'); };
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(strcpy_s(buf, 8, "1234567"), 0);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(strcpy_s(buf, 8, "12345678"), ERANGE);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(strncpy_s(buf, 8, "abcdefghijkl", 3), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strncpy_s(buf, 8, "abcdefghijkl", 8), ERANGE);
    EXPECT_EQ(memset_s(buf, 8, 'a', 12), ERANGE);
    EXPECT_EQ(std::string(buf, 8), std::string(8, 'a'));
    EXPECT_EQ(sprintf_s(buf, 8, "%s/%s", "abc", "def"), 7);
    EXPECT_EQ(sprintf_s(buf, 8, "%s/%s", "abcd", "def"), -1);
    EXPECT_TRUE(tailIntact());
    EXPECT_EQ(strcpy_s(nullptr, 8, "x"), EINVAL);
    EXPECT_NE(strcpy_s(buf, 0, "x"), 0);
    int written = 0;
    const std::string withN = "ab%n";  // built at run time: %n is refused, not executed
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), withN.c_str(), &written), -1);
    EXPECT_EQ(written, 0);
}

TEST(BlockQueueTest, EveryItemReachesOneConsumerAndStopReleasesThem) {
    BlockQueue<std::unique_ptr<int>> queue;
    std::vector<std::vector<int>> got(3);
    std::vector<std::thread> consumers;
    for (auto& part : got) {
        consumers.emplace_back([&queue, &part] {
            for (std::unique_ptr<int> item; queue.Pop(item);) part.push_back(*item);
        });
    }
    for (int i = 0; i < 8000; ++i) queue.Push(std::make_unique<int>(i));
    ASSERT_TRUE(testsupport::WaitFor([&] { return queue.Empty(); }, std::chrono::seconds(10)));
    queue.Stop();
    for (std::thread& t : consumers) t.join();
    std::multiset<int> all;
    for (const auto& part : got) all.insert(part.begin(), part.end());
    EXPECT_EQ(all.size(), 8000u);
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), 8000u);
    // Queued after Stop (a request handed back at shutdown): still taken, in order, then the end.
    queue.Push(std::make_unique<int>(1));
    queue.Push(std::make_unique<int>(2));
    std::unique_ptr<int> v;
    EXPECT_TRUE(queue.Pop(v) && *v == 1 && queue.TryPop(v) && *v == 2);
    EXPECT_FALSE(queue.PopFor(v, std::chrono::hours(1)));
}

TEST(CatalinaBaseDirTest, RemovesOnlyBasesOfEndedWorkers) {
    logtest::TestLog log(logtest::Settings(3, 0, 1, 64, 20));  // removals are logged
    testsupport::ScopedEnv noRoot("APP_ROOT", "", true);
    testsupport::TempDir outside("cbout");
    WriteFile(outside / "keep", "kept");
    const std::string loc = log.dir();
    auto base = [&](pid_t pid) { return loc + "/warren/" + std::to_string(pid); };
    auto exited = [](bool reap) {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | (reap ? 0 : WNOWAIT));
        return pid;
    };
    const pid_t ended = exited(true), zombie = exited(false);
    for (pid_t pid : {ended, zombie, getpid()}) {
        ASSERT_EQ(MakeDirs((base(pid) + "/conf").c_str(), 0700), 0);
        ASSERT_EQ(symlink(outside.path().c_str(), (base(pid) + "/lib").c_str()), 0);
    }
    ASSERT_EQ(MakeDirs((loc + "/warren/0" + std::to_string(ended)).c_str(), 0700), 0);
    EXPECT_EQ(CatalinaBaseDir::RemoveEnded(loc), 1);  // a zombie still counts as alive
    EXPECT_FALSE(Exists(base(ended)));
    EXPECT_TRUE(Exists(base(zombie)) && Exists(base(getpid())));
    EXPECT_TRUE(Exists(loc + "/warren/0" + std::to_string(ended)));
    EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc, zombie), EBUSY);
    ASSERT_EQ(waitpid(zombie, nullptr, 0), zombie);
    EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc, zombie), 0);
    EXPECT_FALSE(Exists(base(zombie)));
    EXPECT_EQ(ReadFile(outside / "keep"), "kept");
    EXPECT_EQ(CatalinaBaseDir::RemoveFor("", zombie), EINVAL);
}

}  // namespace
