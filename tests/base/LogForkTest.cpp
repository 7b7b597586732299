// Workers are forked from the master while its threads log. A child must reopen its log and
// write at once, never hanging on a lock some master thread held at the moment of the fork.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogCfg.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"
#include "support/TestSupport.h"

namespace {

constexpr int kChildren = 50;

[[noreturn]] void RunWorker(int index) {
    LogMgr::ReopenLogFile("sub_Vessel");
    LOG_INFO("worker " + std::to_string(index) + " up");
    // The one place logging asks the C library for local time; it must not hang either.
    LogClock::RefreshOffset(LogClock::NowMs() / 1000 + 3600);
    LOG_INFO("worker " + std::to_string(index) + " exit");
    LogMgr::CloseLogFile();
    _exit(0);
}

std::string ForkWhileLogging(const std::string& dir) {
    logtest::UseSettings(
        dir, dir,
        R"({"DevLogLevel":3,"LogBufferWriteRate":1,"LogBufferNum":100,"MaxFileSize":1,"MaxFileNum":3})");
    LogMgr::InitLogFile("Vessel");
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&stop, t] {
            const std::string pad(200, 'x');
            for (long i = 0; !stop.load(); ++i) {
                LOG_INFO("master thread " + std::to_string(t) + " line " + std::to_string(i) + pad);
                // Paced so the test does not fill the disk; still many rolls and passes.
                if (i % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    // Keeps the C library's time-zone lock busy through the logger's own refresh path.
    threads.emplace_back([&stop] {
        while (!stop.load()) LogClock::RefreshOffset(LogClock::NowMs() / 1000);
    });

    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
        pid_t pid = fork();
        if (pid == 0) RunWorker(i);
        if (pid > 0) children.push_back(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int finished = 0;
    int failed = 0;
    std::vector<bool> done(children.size(), false);
    testsupport::WaitFor(
        [&] {
            for (size_t i = 0; i < children.size(); ++i) {
                int status = 0;
                if (!done[i] && waitpid(children[i], &status, WNOHANG) == children[i]) {
                    done[i] = true;
                    ++finished;
                    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                }
            }
            return finished == static_cast<int>(children.size());
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    int hung = 0;
    for (size_t i = 0; i < children.size(); ++i) {
        if (done[i]) continue;
        ++hung;
        kill(children[i], SIGKILL);
        waitpid(children[i], nullptr, 0);
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    LOG_CHILD_CHECK(children.size() == kChildren, "all forks made");
    LOG_CHILD_CHECK(hung == 0, std::to_string(hung) + " children hung");
    LOG_CHILD_CHECK(failed == 0, std::to_string(failed) + " children failed");

    // Every child wrote its lines into the shared worker file(s).
    std::string workers;
    for (const std::string& name : logtest::FilesIn(dir, "sub_Vessel_", ".log")) {
        workers += testsupport::ReadFile(dir + "/" + name);
    }
    for (const std::string& name : logtest::FilesIn(dir, "sub_Vessel_", ".log.gz")) {
        workers += logtest::ReadGzip(dir + "/" + name);
    }
    for (int i = 0; i < kChildren; ++i) {
        const std::string w = "worker " + std::to_string(i);
        LOG_CHILD_CHECK(workers.find("]," + w + " up[") != std::string::npos, w + " up missing");
        LOG_CHILD_CHECK(workers.find("]," + w + " exit[") != std::string::npos, w + " exit missing");
    }
    return "";
}

TEST(LogFork, ChildrenForkedWhileThreadsLogNeverHang) {
#if defined(__SANITIZE_ADDRESS__)
    // gcc 12's AddressSanitizer does not reset its allocator locks in a forked child, so any
    // allocation there can hang on a lock a parent thread held; glibc's malloc does reset them.
    GTEST_SKIP() << "fork from a multi-threaded process is not safe under AddressSanitizer";
#endif
    testsupport::TempDir tmp("logfork");
    EXPECT_EQ(logtest::RunInChild([&] { return ForkWhileLogging(tmp.path()); }, 120000), "");
}

}  // namespace
