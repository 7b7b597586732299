// The small helpers: strings, files and directories, bounded C string calls, the blocking
// queue, and the removal of Catalina bases of ended workers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    std::string text = "aaa";
    ReplaceAll(text, "a", "aa");  // inserted text is never searched again
    EXPECT_EQ(text, "aaaaaa");
    testsupport::TempDir dir("util");
    for (const char* name : {"a.jar", "jar.txt", "jarjar", "libx.so", "xlib"}) WriteFile(dir / name, "");
    EXPECT_EQ(GetFiles(dir.path(), "jar", true), std::vector<std::string>{"a.jar"});
    EXPECT_EQ(GetFiles(dir.path(), "lib", false), std::vector<std::string>{"libx.so"});
    const mode_t old = umask(0);
    EXPECT_EQ(MakeDirs((dir / "m1/m2/").c_str(), 0750), 0);
    umask(old);
    struct stat st {};
    EXPECT_TRUE(stat((dir / "m1").c_str(), &st) == 0 && (st.st_mode & 07777) == 0750);
    EXPECT_EQ(MakeDirs((dir / "a.jar/x").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOTDIR);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "m1/m2/up").c_str()), 0);
    RemoveDir(dir / "m1");  // links are removed, never followed
    EXPECT_TRUE(!Exists(dir / "m1") && Exists(dir / "libx.so"));
}

TEST(SafeStringTest, NeverWritesPastTheGivenSize) {
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(strcpy_s(buf, 8, "1234567"), 0);
    EXPECT_EQ(strcpy_s(buf, 8, "12345678"), ERANGE);
    EXPECT_EQ(strncpy_s(buf, 8, "abcdefghijkl", 8), ERANGE);
    EXPECT_EQ(memset_s(buf, 8, 'a', 12), ERANGE);
    EXPECT_EQ(sprintf_s(buf, 8, "%s/%s", "abc", "def"), 7);
    EXPECT_EQ(sprintf_s(buf, 8, "%s/%s", "abcd", "def"), -1);
    EXPECT_EQ(buf[0], '\0') << "a failed call leaves an empty string";
    EXPECT_EQ(std::string(buf + 8, 8), std::string(8, 'Z'));
    const std::string withN = "ab%n";  // built at run time: %n is refused, not executed
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), withN.c_str(), &buf[12]), -1);
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
    std::vector<int> times(8000);
    for (const auto& part : got) for (int i : part) ++times.at(i);
    EXPECT_EQ(std::count(times.begin(), times.end(), 1), 8000);
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
    const std::string loc = log.dir(), keep = loc + "/home/keep";
    WriteFile(keep, "kept");  // reached through links in each base
    auto base = [&](pid_t pid) { return loc + "/warren/" + std::to_string(pid); };
    auto child = [] {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        return pid;
    };
    const pid_t ended = child(), zombie = child();
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED);
    waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT);
    const std::string notPid = loc + "/warren/0" + std::to_string(ended);
    for (const std::string& dir : {base(ended), base(zombie), base(getpid()), notPid}) {
        ASSERT_EQ(MakeDirs(dir.c_str(), 0700), 0);
        ASSERT_EQ(symlink((loc + "/home").c_str(), (dir + "/lib").c_str()), 0);
    }
    EXPECT_EQ(CatalinaBaseDir::RemoveEnded(loc), 1);  // a zombie still counts as alive
    EXPECT_TRUE(!Exists(base(ended)) && Exists(base(zombie)) && Exists(base(getpid())));
    EXPECT_TRUE(Exists(notPid) && ReadFile(keep) == "kept");
    EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc, zombie), EBUSY);
    EXPECT_EQ(waitpid(zombie, nullptr, 0), zombie);
}

}  // namespace
