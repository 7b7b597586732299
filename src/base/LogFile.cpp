#include "base/LogFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/LogCfg.h"
#include "base/LogClock.h"

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

// Opens path for appending under a shared lock; created tells whether this call made the file.
// Another process's housekeeping may have compressed and removed the file while we waited for
// the lock; then the name is opened again. Log lines may hold whatever a module or a peer sent:
// the file is for the owner and the group only.
int OpenLocked(const std::string& path, bool& created) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        created = false;
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
            created = fd >= 0;
            if (fd < 0 && errno == EEXIST) continue;  // another process made it meanwhile
        }
        if (fd < 0) return -1;
        if (FlockRetry(fd, LOCK_SH) == 0 && SameFile(fd, path)) return fd;
        close(fd);
    }
    return -1;
}

// Writes all of data to fd (retrying short writes); returns the bytes that could not be written.
size_t WriteFd(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return left;
}

// A file we made for a roll whose first line could not be written (the disk is full): removed
// again, unless another process has opened it as well in the meantime.
void Discard(int fd, const std::string& path) {
    if (FlockRetry(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, path)) unlink(path.c_str());
    close(fd);
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
    size_t lost = 0;
    uint64_t gen = 0;
    {
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
        lost = WriteAll(spare_);
        gen = fileGen_;
        spare_.clear();
        if (spare_.capacity() > kKeepCapacity) std::string().swap(spare_);
    }
    if (lost == 0) return;
    // Lines that never reached the file (the disk is full) do not count towards its size: a
    // file that does not grow is not rolled, so no empty files pile up while nothing can be
    // written.
    std::lock_guard<std::mutex> pending(pendingMutex_);
    if (gen == fileGen_) byteCount_ -= lost < byteCount_ ? lost : byteCount_;
}

size_t LogFile::WriteAll(const std::string& data) {
    if (fd_ < 0) return data.size();
    return WriteFd(fd_, data);  // logging never fails its caller; the rest is lost
}

int LogFile::Open(const std::string& path) {
    std::lock_guard<std::mutex> pending(pendingMutex_);
    StartFlusherLocked();
    std::lock_guard<std::mutex> stream(streamMutex_);
    // The same file again (a roll within the second it is named after): closed first, so its
    // close line comes before the new open line.
    if (fd_ >= 0 && path == path_) CloseLocked();
    bool created = false;
    const int fd = OpenLocked(path, created);
    const bool written = fd >= 0 && WriteFd(fd, PidLine("LogSelf--Open file,pid:", pid_)) == 0;
    if (!written && fd_ >= 0) {
        // A new file that cannot even take its first line helps nobody: the current one stays.
        if (fd >= 0 && created) {
            Discard(fd, path);
        } else if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    if (fd_ >= 0) CloseLocked();
    fd_ = fd;
    path_ = path;
    ++fileGen_;
    struct stat st {};
    byteCount_ = (fd_ >= 0 && fstat(fd_, &st) == 0) ? static_cast<uint64_t>(st.st_size) : 0;
    return written ? 0 : -1;
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
