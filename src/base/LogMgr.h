// The process's log: the current LogFile, rolling it at the size limit, and the housekeeping
// that gzips closed files and prunes old archives in a background thread. An archive appears
// under its name only when complete; a file that cannot be compressed (a full disk) keeps its
// .log and is tried again later.
//
// Locks: mgrLock_ (reader-writer) is shared while a line is accepted and exclusive while the
// file is opened, rolled or closed or prefix_ changes; it guards prefix_ and which file is open.
// hkMutex_ guards hkRunning_/hkAgain_/hkStopped_; passMutex_ is held by a running compression or
// pruning pass. Order: passMutex_, then mgrLock_, then the LogFile's locks; hkMutex_ and the
// rate limiter's own lock are taken alone; noRollBefore_ and gzipRetryAt_ are atomic. The
// creation mutex of the instance is re-initialised in a forked child.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/LogFile.h"
#include "base/LogRateLimiter.h"

class LogMgr {
public:
    // The instance, created on first use. With recreate a new one replaces it; the old one is
    // dropped as it stands (its pending lines, stream and locks untouched), which is what a
    // freshly forked child needs.
    static LogMgr* GetInstance(bool recreate = false);

    // Master: start a new file "<dir>/<prefix>_<YYYYmmdd_HHMMSS>.log".
    static void InitLogFile(const std::string& prefix);
    // Worker, right after fork: fresh instance, append to the newest "<prefix>*.log".
    static void ReopenLogFile(const std::string& prefix);
    // Worker exit: stop the flush thread, write out and close the file, retire the instance.
    static void CloseLogFile();
    // Test hook, never called by the product: closes the log as CloseLogFile does and forgets
    // the settings, so the next InitLogFile starts a log from the environment as it is then,
    // in the same process. No other thread may be logging meanwhile.
    static void ResetForTest();

    // Accepts one formatted line; rolls the file when it reaches MaxFileSize. An urgent line
    // (Warn, Error) is written out at once with the lines queued before it.
    void Write(const std::string& line, bool urgent = false);

    // Closes the current file and opens one named after the current time.
    void RollLogFile();
    // Starts a housekeeping thread unless one is running (it then makes one more round).
    void StartHousekeeping();
    // Compression pass: gzip every closed "<prefix>*.log" that no process holds. True when a
    // file could not be compressed (it stays as it is; a later pass, at most a few seconds
    // after the next line is logged, tries again).
    bool GzipLogFiles();
    // Pruning pass: remove the oldest "<prefix>*.gz" beyond MaxFileNum.
    void RemoveOldArchives();
    // Waits until no housekeeping thread runs; false when timeoutMs passed first.
    bool WaitHousekeepingIdle(int64_t timeoutMs);

    std::string CurrentFilePath();

    // Regular files in dir named prefix*suffix, as dir + "/" + name, in directory order.
    static std::vector<std::string> ListLogFiles(const std::string& dir, const std::string& prefix,
                                                 const std::string& suffix);
    // "<dir>/<prefix>_<local %Y%m%d_%H%M%S of epochSec>.log"
    static std::string MakeLogFileName(const std::string& dir, const std::string& prefix, int64_t epochSec);

    ~LogMgr();
    LogMgr(const LogMgr&) = delete;
    LogMgr& operator=(const LogMgr&) = delete;

private:
    LogMgr();
    void OpenNamed(const std::string& prefix, bool newest);
    void RollIfFull();
    void HousekeepingLoop();
    void StopHousekeeping();
    void Close();
    enum class GzipResult { SKIPPED, DONE, FAILED };
    bool CompressClosedFiles();  // caller holds passMutex_
    GzipResult GzipOneFile(const std::string& path, std::string& entry);
    void AppendSelfLine(const std::string& line);

    pthread_rwlock_t mgrLock_;
    std::string prefix_;
    LogFile logFile_;
    const uint64_t maxFileSize_;
    const int32_t maxFileNum_;
    const std::string logDir_;
    // A roll due within the second the current file is named after, or one whose new file
    // could not be written, waits until this second.
    std::atomic<int64_t> noRollBefore_{0};
    // When a failed compression is tried again (seconds since the epoch; 0: none due); the next
    // line logged after it starts the pass.
    std::atomic<int64_t> gzipRetryAt_{0};
    LogRateLimiter gzipFailLog_;

    std::mutex hkMutex_;
    std::condition_variable hkIdle_;
    bool hkRunning_ = false;
    bool hkAgain_ = false;
    bool hkStopped_ = false;

    std::mutex passMutex_;
    int64_t gzipRetryDelaySec_ = 0;  // guarded by passMutex_
};
