// One open log file of this process and the batch of lines waiting to be written to it.
// While open, the file carries a shared flock so no other process's housekeeping compresses
// it under our feet.
//
// Batching keeps the request path cheap, but a line must not sit in memory: a process killed
// with SIGKILL, or one that crashes, would lose it. A flush thread, started by the first Open in
// the process that built this object, writes pending lines out at most LogBufferWriteRate
// seconds after the oldest of them was queued. A forked child never uses its parent's LogFile
// (logging's reopen builds a fresh one), so it never waits on the parent's thread or locks.
//
// Locks: pendingMutex_ guards pending_, pendingCount_, byteCount_, oldestPending_ and the flush
// thread's state; streamMutex_ guards fd_, path_ and spare_; fileGen_ is written under both. Order:
// pendingMutex_, then streamMutex_ (the owning LogMgr's manager lock comes before both). lastWriteOut_ is
// atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Queues a complete line and writes the batch out when it is full, when the write-out
    // period has passed since the last write-out, or at once when urgent (Warn and Error: the
    // line and everything queued before it are in the file when this returns). Otherwise the
    // flush thread writes it within the write-out period. Returns the byte count after the line.
    uint64_t Append(const std::string& line, bool urgent = false);

    // Opens path for appending (mode 0640 when created), writes the open line, closes the file
    // open before and takes the new file's size as the byte count; starts the flush thread on
    // the first open. Returns 0, or -1: when a file was open and the new one cannot take its
    // open line (the disk is full), the old one stays open and a file made for it is removed;
    // with none open before, lines are dropped silently until the new one can be written.
    int Open(const std::string& path);

    // Writes the pending lines and the close line, then closes the file.
    void Close();

    // Ends and joins the flush thread (at most one write-out in progress is waited for). A
    // no-op in a process that did not start it, such as a forked child.
    void StopFlusher();

    std::string Path();
    uint64_t ByteCount();
    bool IsOpen();

private:
    void WriteOut();
    size_t WriteAll(const std::string& data);  // caller holds streamMutex_; bytes not written
    void CloseLocked();                        // caller holds both locks
    void StartFlusherLocked();                 // caller holds pendingMutex_
    void FlushLoop();

    std::mutex pendingMutex_;
    std::string pending_;
    uint64_t pendingCount_ = 0;
    uint64_t byteCount_ = 0;  // bytes of the file plus the pending lines, less lines lost
    uint64_t fileGen_ = 0;    // which file byteCount_ counts; changes with every open (both locks)
    std::chrono::steady_clock::time_point oldestPending_{};  // when pending_ last became non-empty

    std::condition_variable flushWake_;  // with pendingMutex_
    std::unique_ptr<std::thread> flusher_;
    bool flusherIdle_ = false;  // the thread waits for a first pending line, without a deadline
    bool flusherStop_ = false;

    std::mutex streamMutex_;
    int fd_ = -1;
    std::string path_;
    std::string spare_;  // batch being written; swapped with pending_ to keep both capacities

    std::atomic<int64_t> lastWriteOut_{0};
    const int64_t writeRate_;
    const uint64_t bufferNum_;
    const int32_t pid_;
};
