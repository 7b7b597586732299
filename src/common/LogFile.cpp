#include "common/LogFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/LogCfg.h"
#include "common/LogClock.h"

namespace {

// A burst of huge lines should not keep its buffers for the life of the process.
constexpr size_t kKeepCapacity = 1 << 20;

int FlockRetry(int fd, int op) {
    int rc;
    do {
        rc = flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {};
    struct stat b {};
    if (fstat(fd, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens path for appending under a shared lock. Another process's housekeeping may have
// compressed and removed the file while we waited for the lock; then the name is opened again.
int OpenLocked(const std::string& path) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        if (FlockRetry(fd, LOCK_SH) == 0 && SameFile(fd, path)) return fd;
        close(fd);
    }
    return -1;
}

std::string PidLine(const char* text, int32_t pid) {
    return text + std::to_string(pid) + "\n";
}

}  // namespace

LogFile::LogFile()
    : writeRate_(LogCfg::GetInstance()->GetLogBufferWriteRate()),
      bufferNum_(static_cast<uint64_t>(LogCfg::GetInstance()->GetLogBufferNum())),
      pid_(static_cast<int32_t>(getpid())) {}

LogFile::~LogFile() {
    // Only reached through LogMgr::CloseLogFile, which closed the file already.
    StopFlusher();
    // A thread object copied by fork stands for no thread of this process; it is left alone.
    if (flusher_) (void)flusher_.release();
    std::lock_guard<std::mutex> stream(streamMutex_);
    if (fd_ >= 0) close(fd_);
}

uint64_t LogFile::Append(const std::string& line, bool urgent) {
    const int64_t now = LogClock::NowSeconds();
    uint64_t bytes;
    bool writeNow;
    bool wakeFlusher = false;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        pending_.append(line);
        const uint64_t count = ++pendingCount_;
        byteCount_ += line.size();
        bytes = byteCount_;
        writeNow = urgent || writeRate_ <= 0 || count >= bufferNum_ ||
                   now - lastWriteOut_.load(std::memory_order_relaxed) > writeRate_;
        if (count == 1) {
            oldestPending_ = std::chrono::steady_clock::now();
            // Only an idle flush thread needs waking; one that waits already has a deadline.
            wakeFlusher = !writeNow && flusherIdle_;
            if (wakeFlusher) flusherIdle_ = false;
        }
    }
    if (wakeFlusher) flushWake_.notify_one();
    if (!writeNow) return bytes;
    WriteOut();
    lastWriteOut_.store(now, std::memory_order_relaxed);
    return bytes;
}

void LogFile::WriteOut() {
    std::unique_lock<std::mutex> pending(pendingMutex_);
    // Taking the stream lock before letting go of the pending lock keeps batches in order,
    // while new lines can be queued during the write itself. It is taken even with nothing
    // pending: another thread may have just taken our line and still be writing it, and an
    // urgent line must be in the file when Append returns.
    std::lock_guard<std::mutex> stream(streamMutex_);
    if (pendingCount_ == 0) return;
    pending_.swap(spare_);
    pendingCount_ = 0;
    pending.unlock();
    WriteAll(spare_);
    spare_.clear();
    if (spare_.capacity() > kKeepCapacity) std::string().swap(spare_);
}

void LogFile::WriteAll(const std::string& data) {
    if (fd_ < 0) return;
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // logging never fails its caller; the rest is lost
        p += n;
        left -= static_cast<size_t>(n);
    }
}

int LogFile::Open(const std::string& path) {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    StartFlusherLocked();
    std::lock_guard<std::mutex> stream(streamMutex_);
    if (fd_ >= 0) CloseLocked();
    path_ = path;
    fd_ = OpenLocked(path);
    struct stat st {};
    byteCount_ = (fd_ >= 0 && fstat(fd_, &st) == 0) ? static_cast<uint64_t>(st.st_size) : 0;
    WriteAll(PidLine("LogSelf--Open file,pid:", pid_));
    return fd_ >= 0 ? 0 : -1;
}

void LogFile::Close() {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    std::lock_guard<std::mutex> stream(streamMutex_);
    CloseLocked();
}

void LogFile::CloseLocked() {
    pending_.append(PidLine("LogSelf--Close file,pid:", pid_));
    WriteAll(pending_);
    pending_.clear();
    pendingCount_ = 0;
    if (fd_ >= 0) {
        FlockRetry(fd_, LOCK_UN);  // a forked child may share this descriptor's lock
        close(fd_);
        fd_ = -1;
    }
}

void LogFile::StartFlusherLocked() {
    // With no write-out period every line is written at once; nothing is left for a timer.
    if (flusher_ || flusherStop_ || writeRate_ <= 0 || static_cast<int32_t>(getpid()) != pid_) return;
    // The thread starts with every signal blocked: the handled ones must reach the main
    // thread's sigsuspend, and a signal taken here would set its flag without waking anyone.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        flusher_ = std::make_unique<std::thread>(&LogFile::FlushLoop, this);
    } catch (const std::exception&) {
        flusher_.reset();  // lines then wait for the next write-out a later line triggers
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void LogFile::FlushLoop() {
    pthread_setname_np(pthread_self(), "log-flush");
    const auto period = std::chrono::seconds(writeRate_);
    std::unique_lock<std::mutex> lock(pendingMutex_);
    while (!flusherStop_) {
        if (pendingCount_ == 0) {
            flusherIdle_ = true;
            flushWake_.wait(lock);
            continue;
        }
        flusherIdle_ = false;
        const auto due = oldestPending_ + period;
        if (std::chrono::steady_clock::now() < due) {
            flushWake_.wait_until(lock, due);
            continue;
        }
        lock.unlock();
        WriteOut();
        lastWriteOut_.store(LogClock::NowSeconds(), std::memory_order_relaxed);
        lock.lock();
    }
}

void LogFile::StopFlusher() {
    if (static_cast<int32_t>(getpid()) != pid_) return;
    std::unique_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        flusherStop_ = true;
        thread = std::move(flusher_);
    }
    if (!thread) return;
    flushWake_.notify_all();
    thread->join();
}

std::string LogFile::Path() {
    std::lock_guard<std::mutex> stream(streamMutex_);
    return path_;
}

uint64_t LogFile::ByteCount() {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    return byteCount_;
}

bool LogFile::IsOpen() {
    std::lock_guard<std::mutex> stream(streamMutex_);
    return fd_ >= 0;
}
