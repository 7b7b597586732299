#include "base/LogMgr.h"

#include <dirent.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/LogCfg.h"
#include "base/LogClock.h"

namespace {

std::atomic<LogMgr*> gInstance{nullptr};
pthread_mutex_t gCreateMutex = PTHREAD_MUTEX_INITIALIZER;

// Instances replaced by GetInstance(true) or closed by CloseLogFile are never freed; this list
// (guarded by gCreateMutex) keeps them reachable, so a leak checker does not report them.
struct RetiredMgr {
    LogMgr* mgr;
    RetiredMgr* next;
};
RetiredMgr* gRetired = nullptr;

void Retire(LogMgr* mgr) {
    if (mgr != nullptr) gRetired = new RetiredMgr{mgr, gRetired};
}

// A thread of the parent may have held the mutex at fork; the child's copy would stay locked.
void ResetCreateMutexInChild() {
    pthread_mutex_init(&gCreateMutex, nullptr);
}
const int kForkHandler = pthread_atfork(nullptr, nullptr, ResetCreateMutexInChild);

// Closed files are compressed a MiB at a time, each into a gzip member of its own: at this size
// a member's start costs the ratio little (2 % against 4 MiB members, and still smaller than
// zlib's one stream), and the buffers stay small.
constexpr size_t kGzipChunk = 1024 * 1024;
// gzip's default level: the archives are no larger than zlib's.
constexpr int kGzipLevel = 6;
// The housekeeping thread's nice value: the lowest priority.
constexpr int kHousekeepingNice = 19;
// A file that could not be compressed (the disk is full) is tried again 5 s later, then after
// growing pauses of at most 5 minutes.
constexpr int64_t kGzipRetrySec = 5;
constexpr int64_t kGzipRetryMaxSec = 300;
// A roll whose new file cannot be written keeps the current file for this long.
constexpr int64_t kRollRetrySec = 5;
// The report of a failing compression repeats with every retry: written at most this often.
constexpr int64_t kGzipFailReportMs = 60000;

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* m_;
};

class ReadGuard {
public:
    explicit ReadGuard(pthread_rwlock_t* l) : l_(l) { pthread_rwlock_rdlock(l_); }
    ~ReadGuard() { pthread_rwlock_unlock(l_); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    pthread_rwlock_t* l_;
};

class WriteGuard {
public:
    explicit WriteGuard(pthread_rwlock_t* l) : l_(l) { pthread_rwlock_wrlock(l_); }
    ~WriteGuard() { pthread_rwlock_unlock(l_); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    pthread_rwlock_t* l_;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// strerror may translate, and gettext's locks are not reset by fork; this text needs neither.
std::string ErrorText(int err) {
    const char* text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error " + std::to_string(err);
}

bool EndsWith(const char* name, size_t len, const std::string& suffix) {
    return len >= suffix.size() && std::memcmp(name + len - suffix.size(), suffix.data(), suffix.size()) == 0;
}

bool IsRegular(const std::string& dir, const dirent* e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) return false;
    struct stat st {};
    return stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ModTime(const std::string& path, timespec& out) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    out = st.st_mtim;
    return true;
}

bool Earlier(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// Index of the file with the newest (or oldest) modification time; the earlier-listed one wins
// a tie. Files that vanished count as oldest.
size_t PickByModTime(const std::vector<std::string>& files, bool newest) {
    size_t best = 0;
    timespec bestTime{};
    bool haveBest = false;
    for (size_t i = 0; i < files.size(); ++i) {
        timespec t{};
        if (!ModTime(files[i], t)) t = timespec{0, 0};
        if (!haveBest || (newest ? Earlier(bestTime, t) : Earlier(t, bestTime))) {
            best = i;
            bestTime = t;
            haveBest = true;
        }
    }
    return best;
}

// Writes size bytes whole; false with the reason in error.
bool WriteFully(int fd, const char* data, size_t size, std::string& error) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = ErrorText(errno);
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads until buf is full or the file ends; the byte count, or -1 with the reason in error.
ssize_t ReadFully(int fd, std::vector<char>& buf, std::string& error) {
    size_t have = 0;
    while (have < buf.size()) {
        const ssize_t n = read(fd, buf.data() + have, buf.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "read failed~" + ErrorText(errno);
            return -1;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(have);
}

// Compresses src into out as gzip, one member per kGzipChunk of the source (gzip -d, zcat and
// zlib's readers join them); false with the reason in error when anything could not be read or
// written. libdeflate takes about a third less CPU than zlib for the same size, and archiving
// runs beside the request threads of every process that rolls a file.
bool WriteGzip(int src, int out, std::string& error) {
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
        libdeflate_alloc_compressor(kGzipLevel), libdeflate_free_compressor);
    if (compressor == nullptr) {
        error = "gzopen failed~" + ErrorText(ENOMEM);
        return false;
    }
    std::vector<char> in(kGzipChunk);
    std::vector<char> packed(libdeflate_gzip_compress_bound(compressor.get(), in.size()));
    // An empty source still gets one (empty) member: a zero-byte file is no gzip file.
    for (bool first = true;; first = false) {
        const ssize_t have = ReadFully(src, in, error);
        if (have < 0) return false;
        if (have == 0 && !first) return true;
        const size_t size = libdeflate_gzip_compress(compressor.get(), in.data(), static_cast<size_t>(have),
                                                     packed.data(), packed.size());
        if (size == 0) {
            error = "compression failed";
            return false;
        }
        if (!WriteFully(out, packed.data(), size, error)) return false;
        if (static_cast<size_t>(have) < in.size()) return true;
    }
}

void SyncDirOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) fsync(fd.get());
}

// Writes the archive of src under a temporary name and renames it into place only once it is
// complete and on disk: a failure (a full disk) leaves no partial archive that could replace or,
// counted by the pruning, push out a good one. The temporary file is removed on failure.
bool CompressTo(int src, const std::string& archive, std::string& error) {
    const std::string tmp = archive + ".tmp";
    // Left by a process that died while compressing; we hold the source's lock, so it is ours.
    unlink(tmp.c_str());
    // Archives are read-only for the owner and the group (the umask applies as usual).
    Fd out(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0440));
    if (out.get() < 0) {
        error = "gzopen failed~" + ErrorText(errno);
        return false;
    }
    bool ok = WriteGzip(src, out.get(), error);
    if (ok && fsync(out.get()) != 0) {
        error = "fsync failed~" + ErrorText(errno);
        ok = false;
    }
    if (ok && close(out.release()) != 0) {
        error = "close failed~" + ErrorText(errno);
        ok = false;
    }
    if (ok && rename(tmp.c_str(), archive.c_str()) != 0) {
        error = "rename failed~" + ErrorText(errno);
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    SyncDirOf(archive);  // the archive is in place for good before its source goes
    return true;
}

}  // namespace

LogMgr::LogMgr()
    : maxFileSize_(static_cast<uint64_t>(LogCfg::GetInstance()->GetMaxFileSize())),
      maxFileNum_(LogCfg::GetInstance()->GetMaxFileNum()),
      logDir_(LogCfg::GetInstance()->GetLogDir()),
      gzipFailLog_(kGzipFailReportMs) {
    // Writer preference: a roll must not starve behind a steady stream of appends.
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&mgrLock_, &attr);
    pthread_rwlockattr_destroy(&attr);
}

LogMgr::~LogMgr() {
    pthread_rwlock_destroy(&mgrLock_);
}

LogMgr* LogMgr::GetInstance(bool recreate) {
    LogMgr* mgr = gInstance.load(std::memory_order_acquire);
    if (mgr != nullptr && !recreate) return mgr;
    (void)kForkHandler;
    MutexGuard lock(&gCreateMutex);
    mgr = gInstance.load(std::memory_order_acquire);
    if (mgr == nullptr || recreate) {
        // The replaced instance is left alive: other threads may still hold it, and in a
        // forked child its locks may be held by threads that no longer exist.
        Retire(mgr);
        mgr = new LogMgr();
        gInstance.store(mgr, std::memory_order_release);
    }
    return mgr;
}

void LogMgr::InitLogFile(const std::string& prefix) {
    LogMgr* mgr = GetInstance();
    mgr->OpenNamed(prefix, false);
    mgr->StartHousekeeping();
}

void LogMgr::ReopenLogFile(const std::string& prefix) {
    LogMgr* mgr = GetInstance(true);
    mgr->OpenNamed(prefix, true);
    mgr->StartHousekeeping();
}

void LogMgr::CloseLogFile() {
    LogMgr* mgr = nullptr;
    {
        MutexGuard lock(&gCreateMutex);
        mgr = gInstance.exchange(nullptr, std::memory_order_acq_rel);
        Retire(mgr);
    }
    if (mgr == nullptr) return;
    mgr->StopHousekeeping();
    mgr->Close();
    // Not deleted: a thread that fetched the instance earlier may still be inside Write. The
    // closed object stays valid and drops such late lines, as a closed stream would.
}

void LogMgr::ResetForTest() {
    CloseLogFile();
    LogCfg::ResetForTest();
}

void LogMgr::OpenNamed(const std::string& prefix, bool newest) {
    WriteGuard lock(&mgrLock_);
    prefix_ = prefix;
    std::string path;
    if (newest) {
        std::vector<std::string> files = ListLogFiles(logDir_, prefix_, ".log");
        if (!files.empty()) path = files[PickByModTime(files, true)];
    }
    if (path.empty()) path = MakeLogFileName(logDir_, prefix_, LogClock::NowMs() / 1000);
    logFile_.Open(path);
}

void LogMgr::Close() {
    logFile_.StopFlusher();
    WriteGuard lock(&mgrLock_);
    logFile_.Close();
}

void LogMgr::Write(const std::string& line, bool urgent) {
    uint64_t bytes;
    {
        ReadGuard lock(&mgrLock_);
        bytes = logFile_.Append(line, urgent);
    }
    if (bytes >= maxFileSize_ && LogClock::NowMs() / 1000 >= noRollBefore_.load(std::memory_order_relaxed)) {
        RollIfFull();
    }
    int64_t retryAt = gzipRetryAt_.load(std::memory_order_relaxed);
    if (retryAt != 0 && LogClock::NowSeconds() >= retryAt &&
        gzipRetryAt_.compare_exchange_strong(retryAt, 0, std::memory_order_relaxed)) {
        StartHousekeeping();
    }
}

void LogMgr::RollIfFull() {
    {
        WriteGuard lock(&mgrLock_);
        // Several threads may see the limit at once; only the first rolls. Nothing rolls
        // before a file was opened, so no stray "/_<time>.log" appears.
        if (prefix_.empty() || logFile_.ByteCount() < maxFileSize_) return;
        // Within the second the file is named after, the new name is the same file, still over
        // the limit: reopening it would roll again on every line until the clock moves on.
        // The roll waits for a name of its own.
        const std::string next = MakeLogFileName(logDir_, prefix_, LogClock::NowMs() / 1000);
        if (next == logFile_.Path()) {
            noRollBefore_.store(LogClock::NowMs() / 1000 + 1, std::memory_order_relaxed);
            return;
        }
        if (logFile_.Open(next) != 0) {
            // The new file cannot be written (the disk is full): the current one goes on, and
            // the roll is tried again later rather than leaving an empty file per attempt.
            noRollBefore_.store(LogClock::NowMs() / 1000 + kRollRetrySec, std::memory_order_relaxed);
            return;
        }
    }
    StartHousekeeping();
}

void LogMgr::RollLogFile() {
    WriteGuard lock(&mgrLock_);
    logFile_.Open(MakeLogFileName(logDir_, prefix_, LogClock::NowMs() / 1000));
}

std::string LogMgr::CurrentFilePath() {
    ReadGuard lock(&mgrLock_);
    return logFile_.Path();
}

void LogMgr::StartHousekeeping() {
    std::lock_guard<std::mutex> lock(hkMutex_);
    if (hkStopped_) return;
    if (hkRunning_) {
        // The running thread may have listed the files already; it makes one more round so
        // the file just closed is not left for the next roll.
        hkAgain_ = true;
        return;
    }
    hkRunning_ = true;
    // The thread starts with every signal blocked, so signals reach the threads that wait for
    // them.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        std::thread(&LogMgr::HousekeepingLoop, this).detach();
    } catch (const std::exception&) {
        hkRunning_ = false;
        hkIdle_.notify_all();
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void LogMgr::HousekeepingLoop() {
    // Compressing a rolled file takes a core for a fifth of a second per 40 MB. At the lowest
    // priority it runs in the gaps the request threads leave instead of delaying them; on
    // Linux the nice value of a thread id is that thread's alone. Failing to lower it changes
    // nothing else.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kHousekeepingNice);
    for (;;) {
        GzipLogFiles();
        RemoveOldArchives();
        std::lock_guard<std::mutex> lock(hkMutex_);
        if (!hkAgain_ || hkStopped_) {
            hkRunning_ = false;
            hkIdle_.notify_all();
            return;
        }
        hkAgain_ = false;
    }
}

void LogMgr::StopHousekeeping() {
    std::unique_lock<std::mutex> lock(hkMutex_);
    hkStopped_ = true;
    hkIdle_.wait(lock, [this] { return !hkRunning_; });
}

bool LogMgr::WaitHousekeepingIdle(int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(hkMutex_);
    return hkIdle_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !hkRunning_; });
}

void LogMgr::AppendSelfLine(const std::string& line) {
    ReadGuard lock(&mgrLock_);
    logFile_.Append(line);
}

bool LogMgr::GzipLogFiles() {
    std::lock_guard<std::mutex> pass(passMutex_);
    const bool failed = CompressClosedFiles();
    // Retries back off: a file that fails at its end would otherwise be compressed almost
    // whole every few seconds.
    gzipRetryDelaySec_ = failed ? std::min(gzipRetryDelaySec_ * 2 + kGzipRetrySec, kGzipRetryMaxSec) : 0;
    gzipRetryAt_.store(failed ? LogClock::NowSeconds() + gzipRetryDelaySec_ : 0, std::memory_order_relaxed);
    return failed;
}

bool LogMgr::CompressClosedFiles() {
    std::string prefix;
    std::string current;
    {
        ReadGuard lock(&mgrLock_);
        prefix = prefix_;
        current = logFile_.Path();
    }
    std::vector<std::string> files = ListLogFiles(logDir_, prefix, ".log");
    if (files.size() < 2) return false;
    const std::string head = "LogSelf--GzipFile:";
    std::string report = head;
    std::string reportDone = head;  // the same without the files that failed
    bool any = false;
    bool failed = false;
    for (const std::string& path : files) {
        if (path == current) continue;
        std::string entry;
        const GzipResult result = GzipOneFile(path, entry);
        if (result == GzipResult::SKIPPED) continue;
        any = true;
        report += entry;
        if (result == GzipResult::FAILED) {
            failed = true;
        } else {
            reportDone += entry;
        }
    }
    if (!any) return false;  // every closed file is still held by another process
    // A failing file fails again on every retry: its report is written now and then only.
    if (failed && !gzipFailLog_.Allow()) report = reportDone;
    if (report.size() > head.size()) AppendSelfLine(report + "\n");
    return failed;
}

// SKIPPED when another process still has the file open as its log (shared flock) or it is
// already gone; entry then stays empty. Otherwise entry is the file's part of the report.
LogMgr::GzipResult LogMgr::GzipOneFile(const std::string& path, std::string& entry) {
    Fd src(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (src.get() < 0) return GzipResult::SKIPPED;
    if (flock(src.get(), LOCK_EX | LOCK_NB) != 0) return GzipResult::SKIPPED;
    struct stat held {};
    struct stat named {};
    // Another pass may have compressed and removed it between our open and our lock.
    if (fstat(src.get(), &held) != 0 || held.st_nlink == 0 || stat(path.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
        return GzipResult::SKIPPED;
    }
    entry = BaseName(path) + ":";
    std::string error;
    if (!CompressTo(src.get(), path + ".gz", error)) {
        // The source stays as it is and is taken again on a later pass.
        entry += error + "#";
        return GzipResult::FAILED;
    }
    if (unlink(path.c_str()) != 0) entry += "remove file failed~" + ErrorText(errno);
    entry += "#";
    return GzipResult::DONE;
}

void LogMgr::RemoveOldArchives() {
    std::lock_guard<std::mutex> pass(passMutex_);
    std::string prefix;
    {
        ReadGuard lock(&mgrLock_);
        prefix = prefix_;
    }
    std::vector<std::string> archives = ListLogFiles(logDir_, prefix, ".gz");
    while (archives.size() > static_cast<size_t>(maxFileNum_ < 0 ? 0 : maxFileNum_)) {
        size_t oldest = PickByModTime(archives, false);
        const std::string& path = archives[oldest];
        std::string line = "LogSelf--roll log " + BaseName(path);
        if (unlink(path.c_str()) == 0) {
            line += "--removed.\n";
        } else {
            line += "--remove file failed~" + ErrorText(errno) + "\n";
        }
        AppendSelfLine(line);
        archives.erase(archives.begin() + static_cast<std::ptrdiff_t>(oldest));
    }
}

std::vector<std::string> LogMgr::ListLogFiles(const std::string& dir, const std::string& prefix,
                                              const std::string& suffix) {
    std::vector<std::string> files;
    if (prefix.empty()) return files;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return files;
    while (const dirent* e = readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        if (len < prefix.size() || std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        if (!EndsWith(e->d_name, len, suffix) || !IsRegular(dir, e)) continue;
        files.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
    return files;
}

std::string LogMgr::MakeLogFileName(const std::string& dir, const std::string& prefix, int64_t epochSec) {
    LogClock::Fields f{};
    LogClock::LocalFields(epochSec * 1000, f);
    char stamp[32];
    snprintf(stamp, sizeof(stamp), "%04d%02d%02d_%02d%02d%02d", f.year, f.month, f.day, f.hour, f.minute,
             f.second);
    return dir + "/" + prefix + "_" + stamp + ".log";
}
