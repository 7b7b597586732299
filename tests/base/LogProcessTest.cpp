// Several processes on one log: a worker's file must not be compressed under it by another
// process's roll, and a worker forked while the master's threads log must never hang.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/PropertyLoader.h"

namespace {

// Waits for every child until the deadline, then kills the rest; the count that exited 0.
int Reap(const std::vector<pid_t>& children, std::chrono::seconds deadline) {
    std::map<pid_t, int> status;
    testsupport::WaitFor([&] {
        for (pid_t pid : children) {
            if (int s = 0; !status.count(pid) && waitpid(pid, &s, WNOHANG) == pid) status[pid] = s;
        }
        return status.size() == children.size();
    }, deadline);
    int ok = 0;
    for (pid_t pid : children) {
        if (!status.count(pid)) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        ok += status.count(pid) && WIFEXITED(status[pid]) && WEXITSTATUS(status[pid]) == 0;
    }
    return ok;
}

TEST(LogProcess, RollDoesNotCompressAFileAnotherProcessWrites) {
    logtest::TestLog log(logtest::Settings(3, 1000, 1, 1, 20), false);
    int ready[2], go[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
    const pid_t b = fork();
    if (b == 0) {  // the other process: 100 lines, then 100 more once the roll is done
        close(go[1]);
        LogMgr::ReopenLogFile("sub_Vessel");
        for (int i = 0; i < 200; ++i) {
            LOG_INFO("B seq=" + std::to_string(i));
            if (i == 99 && (write(ready[1], "r", 1) != 1 || read(go[0], &i, 1) != 0)) _exit(1);
        }
        LogMgr::CloseLogFile();
        _exit(0);
    }
    close(go[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const int64_t started = LogClock::NowMs() / 1000;
    LogMgr::ReopenLogFile("sub_Vessel");  // joins the newest file: B's
    const std::string shared = log.Current(), pad(1000, 'a');
    ASSERT_TRUE(testsupport::WaitFor([&] { return LogClock::NowMs() / 1000 > started; }, std::chrono::seconds(3)));
    int aCount = 0;
    while (log.Current() == shared && aCount < 5000) LOG_INFO("A seq=" + std::to_string(aCount++) + pad);
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    EXPECT_EQ(access((shared + ".gz").c_str(), F_OK), -1) << "compressed while B still wrote it";
    for (int fd : {go[1], ready[0], ready[1]}) close(fd);  // B goes on, then closes
    EXPECT_EQ(Reap({b}, std::chrono::seconds(10)), 1);
    // Now the next pass archives it, and every line of both is there once.
    log.Mgr()->StartHousekeeping();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();
    EXPECT_EQ(access(shared.c_str(), F_OK), -1);
    std::map<std::string, int> seen = logtest::Messages(log.dir(), "sub_Vessel_");
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen["B seq=" + std::to_string(i)], 1) << i;
    for (int i = 0; i < aCount; ++i) EXPECT_EQ(seen["A seq=" + std::to_string(i) + pad], 1) << i;
}

// Threads log across rolls while workers are forked: no line lost or torn, and no worker hangs
// on a lock (logging's, the C library's time zone, the settings') a thread held at the fork.
TEST(LogProcess, ThreadsLogAcrossRollsWhileWorkersFork) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "gcc 12's AddressSanitizer does not reset its allocator locks in a forked child";
#endif
    logtest::TestLog log(logtest::Settings(3, 1000, 10, 1, 100));
    umask(022);
    testsupport::WriteFile(log.dir() + "/home/conf/container.json", R"({"maxModulePerSubprocess": 4})");
    ASSERT_EQ(getProperty("maxModulePerSubprocess"), 4);
    const std::string first = log.Current(), pad(300, 'p');
    std::atomic<bool> stop{false};
    std::vector<int> counts(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int& i = counts[t]; !stop || i < 3000; ++i) {
                LOG_INFO("T" + std::to_string(t) + " seq=" + std::to_string(i) + pad);
                if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing
            }
        });
    }
    std::thread([&] { while (!stop) LogClock::RefreshOffset(LogClock::NowMs() / 1000); }).swap(threads.emplace_back());
    std::thread([&] { while (!stop) getProperty("maxModulePerSubprocess"); }).swap(threads.emplace_back());
    constexpr int kChildren = 40;
    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            LogMgr::ReopenLogFile("sub_Vessel");
            LogClock::RefreshOffset(LogClock::NowMs() / 1000 + 3600);
            LOG_INFO("worker " + std::to_string(i) + (getProperty("maxModulePerSubprocess") == 4 ? " ok" : " bad"));
            LogMgr::CloseLogFile();
            _exit(0);
        }
        if (pid > 0) children.push_back(pid);
    }
    EXPECT_EQ(Reap(children, std::chrono::seconds(30)), kChildren) << "workers hung";
    // A roll within the second the file is named after waits for the next second.
    const int64_t now = LogClock::NowMs() / 1000;
    ASSERT_TRUE(testsupport::WaitFor([&] { return LogClock::NowMs() / 1000 > now; }, std::chrono::seconds(3)));
    stop = true;
    for (std::thread& t : threads) t.join();
    LOG_INFO("last");
    const std::string current = log.Current();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();

    std::map<std::string, int> seen = logtest::Messages(log.dir(), "sub_Vessel_");
    for (int i = 0; i < kChildren; ++i) EXPECT_EQ(seen["worker " + std::to_string(i) + " ok"], 1) << i;
    // Closed files are archives under their own name plus .gz, read-only; the current one stays.
    ASSERT_NE(current, first);
    EXPECT_EQ(logtest::FilesIn(log.dir(), "Vessel_", ".log"), std::vector<std::string>{current.substr(log.dir().size() + 1)});
    struct stat st {};
    EXPECT_TRUE(stat((first + ".gz").c_str(), &st) == 0 && (st.st_mode & 0777) == 0440);
    EXPECT_TRUE(stat(current.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
    EXPECT_GE(logtest::ReadGzip(first + ".gz").size(), 1048576u);
    seen = logtest::Messages(log.dir(), "Vessel_");
    EXPECT_EQ(seen["LogSelf--GzipFile:" + first.substr(first.rfind('/') + 1) + ":#"], 1);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < counts[t]; ++i) EXPECT_EQ(seen["T" + std::to_string(t) + " seq=" + std::to_string(i) + pad], 1);
    }
}

}  // namespace
