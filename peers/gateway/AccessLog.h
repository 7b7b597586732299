// --access-log: one line per answered request, appended to a file:
//   <time> <client> <method> <path> <status> <body bytes> <duration ms> <module> <version> <worker pid>
// Time is when the answer went out (ISO 8601, local, with milliseconds and offset); fields that
// do not apply (no module, no worker) are "-"; bytes that would break the line apart (control
// characters, blanks, bytes above 0x7e, and the backslash itself) are written as \xHH.
//
// Lines collect in memory and are written when 64 KiB have gathered, by Flush() (the gateway
// calls it every second and at exit) and before a Reopen() (SIGUSR1, after the file was moved
// away). A failing write loses its lines and is logged once until a write succeeds again;
// requests never wait for the file.
//
// Lock: mutex_ guards the pending lines and the time cache; fileMutex_ the descriptor and the
// writes. Write() takes mutex_ only, and never while fileMutex_ is held by the same thread.
#pragma once

#include <sys/types.h>

#include <boost/utility/string_view.hpp>
#include <chrono>
#include <ctime>
#include <mutex>
#include <string>

class AccessLog {
public:
    struct Entry {
        boost::string_view client;
        boost::string_view method;
        boost::string_view target;
        boost::string_view module;  // empty: "-"
        boost::string_view version;
        unsigned status = 0;
        size_t bytes = 0;
        std::chrono::steady_clock::duration took{};
        pid_t worker = 0;  // 0: "-"
    };

    explicit AccessLog(std::string path);
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    // Opens (creates, appends to) the file. False with error set when it cannot.
    bool Open(std::string& error);
    void Write(const Entry& entry,
               std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
    void Flush();
    // Writes what is pending to the old file, then opens the path anew; on failure the old file
    // stays in use.
    void Reopen();

    // Appends text with the bytes named above escaped.
    static void AppendEscaped(std::string& out, boost::string_view text);

private:
    void WriteOut(const std::string& lines);

    const std::string path_;
    std::mutex mutex_;
    std::string pending_;
    time_t cachedSecond_ = -1;
    std::string cachedDate_;
    std::string cachedOffset_;

    std::mutex fileMutex_;
    int fd_ = -1;
    bool failing_ = false;  // the last write failed (and was reported)
};
