// One open log file of this process and the batch of lines waiting to be written to it.
// While open, the file carries a shared flock so no other process's housekeeping compresses
// it under our feet.
//
// Locks: pendingMutex_ guards pending_, pendingCount_ and byteCount_; streamMutex_ guards fd_,
// path_ and spare_. Order: pendingMutex_, then streamMutex_ (the owning LogMgr's manager lock
// comes before both). lastWriteOut_ is atomic and needs no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Queues a complete line and writes the batch out when it is full or the write-out period
    // has passed. Returns the byte count after the line.
    uint64_t Append(const std::string& line);

    // Opens path for appending (closing any file open before), writes the open line and takes
    // the file's size as the byte count. Returns 0 or -1 (lines are then dropped silently).
    int Open(const std::string& path);

    // Writes the pending lines and the close line, then closes the file.
    void Close();

    std::string Path();
    uint64_t ByteCount();
    bool IsOpen();

private:
    void WriteOut();
    void WriteAll(const std::string& data);  // caller holds streamMutex_
    void CloseLocked();                      // caller holds both locks

    std::mutex pendingMutex_;
    std::string pending_;
    uint64_t pendingCount_ = 0;
    uint64_t byteCount_ = 0;

    std::mutex streamMutex_;
    int fd_ = -1;
    std::string path_;
    std::string spare_;  // batch being written; swapped with pending_ to keep both capacities

    std::atomic<int64_t> lastWriteOut_{0};
    const int64_t writeRate_;
    const uint64_t bufferNum_;
    const int32_t pid_;
};
