// Two processes append to one log file; one of them rolls. The other's file must not be
// compressed while it is still being written, and none of its lines may be lost.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"
#include "support/TestSupport.h"

namespace {

const char* const kSettings =
    R"({"DevLogLevel":3,"LogBufferWriteRate":1000,"LogBufferNum":1,"MaxFileSize":1,"MaxFileNum":20})";

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Writer B: appends short, paced lines to the shared file until told to stop, then closes.
[[noreturn]] void RunWriter(const std::string& dir, logtest::Pipe& toB, logtest::Pipe& fromB) {
    logtest::UseSettings(dir, dir, kSettings);
    LogMgr::ReopenLogFile("sub_Vessel");
    fromB.Send(LogMgr::GetInstance()->CurrentFilePath());
    int seq = 0;
    while (!toB.Ready(2)) LOG_INFO("B seq=" + std::to_string(seq++));
    for (int i = 0; i < 50; ++i) LOG_INFO("B seq=" + std::to_string(seq++));
    LogMgr::CloseLogFile();
    fromB.Send(std::to_string(seq));
    _exit(0);
}

// Roller A: joins the same file, writes past the limit (in a later second than the file's
// name, so the roll makes a new file), reports what its housekeeping did, then runs one more
// pass when told B has finished.
[[noreturn]] void RunRoller(const std::string& dir, logtest::Pipe& toA, logtest::Pipe& fromA) {
    logtest::UseSettings(dir, dir, kSettings);
    const int64_t started = LogClock::NowMs() / 1000;
    LogMgr::ReopenLogFile("sub_Vessel");
    LogMgr* mgr = LogMgr::GetInstance();
    const std::string shared = mgr->CurrentFilePath();
    testsupport::WaitFor([&] { return LogClock::NowMs() / 1000 > started; }, std::chrono::seconds(3));
    const std::string pad(1000, 'a');
    int seq = 0;
    while (mgr->CurrentFilePath() == shared && seq < 5000)
        LOG_INFO("A seq=" + std::to_string(seq++) + " " + pad);
    mgr->WaitHousekeepingIdle(20000);
    const bool kept = Exists(shared) && !Exists(shared + ".gz");
    fromA.Send(std::string(kept ? "kept " : "compressed ") + shared + " " + mgr->CurrentFilePath() + " " +
               std::to_string(seq));
    toA.Receive(30000);  // B has closed the file
    mgr->StartHousekeeping();
    mgr->WaitHousekeepingIdle(20000);
    LogMgr::CloseLogFile();
    fromA.Send("done");
    _exit(0);
}

std::map<std::string, int> CountSeq(const std::string& text, const std::string& who) {
    std::map<std::string, int> seen;
    for (const std::string& l : logtest::Lines(text)) {
        size_t p = l.find("]," + who + " seq=");
        if (p == std::string::npos) continue;
        size_t start = p + 2 + who.size() + 5;
        ++seen[l.substr(start, l.find_first_of(" [", start) - start)];
    }
    return seen;
}

TEST(LogMultiProcess, RollDoesNotCompressAFileAnotherProcessWrites) {
    testsupport::TempDir tmp("logmulti");
    logtest::Pipe toB, fromB, toA, fromA;
    fflush(stdout);
    pid_t b = fork();
    ASSERT_GE(b, 0);
    if (b == 0) RunWriter(tmp.path(), toB, fromB);
    const std::string bFile = fromB.Receive(10000);
    ASSERT_FALSE(bFile.empty()) << "writer did not start";
    pid_t a = fork();
    ASSERT_GE(a, 0);
    if (a == 0) RunRoller(tmp.path(), toA, fromA);

    const std::string report = fromA.Receive(60000);
    toB.Send("stop");
    const std::string bCount = fromB.Receive(10000);
    toA.Send("B closed");
    const std::string done = fromA.Receive(30000);
    const int statusA = logtest::WaitChild(a, 10000);
    const int statusB = logtest::WaitChild(b, 10000);
    ASSERT_TRUE(WIFEXITED(statusA) && WIFEXITED(statusB));

    std::istringstream in(report);
    std::string verdict, shared, rolled, aCount;
    in >> verdict >> shared >> rolled >> aCount;
    EXPECT_EQ(shared, bFile) << "both processes append to the newest file";
    EXPECT_NE(rolled, shared) << "A rolled to a new file";
    EXPECT_EQ(verdict, "kept") << "a file B still held was compressed";
    EXPECT_EQ(done, "done");

    // Once B closed it, the next pass archived it; every line of both processes is there once.
    ASSERT_TRUE(Exists(shared + ".gz"));
    EXPECT_FALSE(Exists(shared));
    const std::string all = logtest::ReadGzip(shared + ".gz") + testsupport::ReadFile(rolled);
    const std::map<std::string, int> bSeen = CountSeq(all, "B");
    const std::map<std::string, int> aSeen = CountSeq(all, "A");
    ASSERT_FALSE(bCount.empty());
    EXPECT_EQ(bSeen.size(), static_cast<size_t>(std::stoi(bCount)));
    EXPECT_EQ(aSeen.size(), static_cast<size_t>(std::stoi(aCount)));
    for (int i = 0; i < std::stoi(bCount); ++i) EXPECT_EQ(bSeen.count(std::to_string(i)), 1u) << "B " << i;
    for (const auto& [seq, n] : bSeen) EXPECT_EQ(n, 1) << "B " << seq;
    for (const auto& [seq, n] : aSeen) EXPECT_EQ(n, 1) << "A " << seq;
}

}  // namespace
