// Several processes on one log: a worker's file must not be compressed under it by another
// process's roll, and a worker forked while the master's threads log must never hang.
#include <gtest/gtest.h>
#include <poll.h>
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

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Waits for every child until the deadline, then kills the rest; the count that exited 0.
int Reap(const std::vector<pid_t>& children, std::chrono::seconds deadline) {
    std::map<pid_t, int> status;
    testsupport::WaitFor(
        [&] {
            for (pid_t pid : children) {
                int s = 0;
                if (!status.count(pid) && waitpid(pid, &s, WNOHANG) == pid) status[pid] = s;
            }
            return status.size() == children.size();
        },
        deadline);
    int ok = 0;
    for (pid_t pid : children) {
        if (!status.count(pid)) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        ok += status.count(pid) && WIFEXITED(status[pid]) && WEXITSTATUS(status[pid]) == 0;
    }
    return ok;
}

TEST(LogProcess, RollDoesNotCompressAFileAnotherProcessWrites) {
    logtest::TestLog log(logtest::Settings(3, 1000, 1, 1, 20), false);
    int toB[2], fromB[2];
    ASSERT_EQ(pipe(toB), 0);
    ASSERT_EQ(pipe(fromB), 0);
    const pid_t b = fork();
    ASSERT_GE(b, 0);
    if (b == 0) {  // the writer: short lines until told to stop, then its count
        LogMgr::ReopenLogFile("sub_Vessel");
        int seq = 0;
        LOG_INFO("B seq=" + std::to_string(seq++));
        (void)!write(fromB[1], "o", 1);
        while (!Readable(toB[0], 2)) LOG_INFO("B seq=" + std::to_string(seq++));
        LogMgr::CloseLogFile();
        (void)!write(fromB[1], &seq, sizeof(seq));
        _exit(0);
    }
    char c = 0;
    ASSERT_TRUE(Readable(fromB[0], 10000) && read(fromB[0], &c, 1) == 1);
    const int64_t started = LogClock::NowMs() / 1000;
    LogMgr::ReopenLogFile("sub_Vessel");  // joins the newest file: B's
    const std::string shared = log.Current();
    ASSERT_TRUE(testsupport::WaitFor([&] { return LogClock::NowMs() / 1000 > started; }, std::chrono::seconds(3)));
    int aCount = 0;
    while (log.Current() == shared && aCount < 5000) LOG_INFO("A seq=" + std::to_string(aCount++) + std::string(1000, 'a'));
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    EXPECT_EQ(access((shared + ".gz").c_str(), F_OK), -1) << "compressed while B still wrote it";

    int bCount = -1;
    (void)!write(toB[1], "s", 1);
    EXPECT_TRUE(Readable(fromB[0], 10000) && read(fromB[0], &bCount, sizeof(bCount)) == sizeof(bCount));
    EXPECT_EQ(Reap({b}, std::chrono::seconds(10)), 1);
    for (int fd : {toB[0], toB[1], fromB[0], fromB[1]}) close(fd);
    // B closed it: the next pass archives it, and every line of both is there once.
    log.Mgr()->StartHousekeeping();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();
    EXPECT_EQ(access(shared.c_str(), F_OK), -1);
    std::map<std::string, int> seen;
    for (const std::string& l : logtest::AllLines(log.dir(), "sub_Vessel_")) {
        const size_t at = l.find(" seq=");
        if (at != std::string::npos) ++seen[l.substr(at - 1, l.find_first_of("a[", at) - at + 1)];
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(aCount + bCount));
    for (int i = 0; i < bCount; ++i) EXPECT_EQ(seen["B seq=" + std::to_string(i)], 1) << i;
    for (int i = 0; i < aCount; ++i) EXPECT_EQ(seen["A seq=" + std::to_string(i)], 1) << i;
}

TEST(LogProcess, WorkersForkedWhileThreadsLogAndReadSettingsNeverHang) {
#if defined(__SANITIZE_ADDRESS__)
    // gcc 12's AddressSanitizer does not reset its allocator locks in a forked child.
    GTEST_SKIP() << "fork from a multi-threaded process is not safe under AddressSanitizer";
#endif
    logtest::TestLog log(logtest::Settings(3, 1, 100, 1, 3));
    testsupport::WriteFile(log.dir() + "/home/conf/container.json", R"({"maxModulePerSubprocess": 4})");
    ASSERT_EQ(getProperty("maxModulePerSubprocess"), 4);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&stop, t] {
            for (long i = 0; !stop; ++i) {
                LOG_INFO("master " + std::to_string(t) + " " + std::to_string(i) + std::string(200, 'x'));
                if (i % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing, not waiting
            }
        });
    }
    // The logger's one call into the C library's time-zone lock, and the settings' locks.
    threads.emplace_back([&stop] { while (!stop) LogClock::RefreshOffset(LogClock::NowMs() / 1000); });
    threads.emplace_back([&stop] { while (!stop) getProperty("maxModulePerSubprocess"); });
    constexpr int kChildren = 40;
    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            LogMgr::ReopenLogFile("sub_Vessel");
            LOG_INFO("worker " + std::to_string(i) + " up");
            LogClock::RefreshOffset(LogClock::NowMs() / 1000 + 3600);
            const bool ok = getProperty("maxModulePerSubprocess") == 4;
            LOG_INFO("worker " + std::to_string(i) + " exit");
            LogMgr::CloseLogFile();
            _exit(ok ? 0 : 3);
        }
        if (pid > 0) children.push_back(pid);
    }
    const int ok = Reap(children, std::chrono::seconds(30));
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok, kChildren) << "children hung or failed";
    std::string workers;
    for (const std::string& l : logtest::AllLines(log.dir(), "sub_Vessel_")) workers += l + "\n";
    for (int i = 0; i < kChildren; ++i) {
        EXPECT_NE(workers.find("],worker " + std::to_string(i) + " up["), std::string::npos) << i;
        EXPECT_NE(workers.find("],worker " + std::to_string(i) + " exit["), std::string::npos) << i;
    }
}

}  // namespace
