// The master's end of the master-worker channel: a Unix-domain stream socket served by one
// epoll thread that accepts workers, frames what they send into lines for its handler, and
// writes messages to a given connection on request.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "base/IIOHandler.h"
#include "base/LineFramer.h"
#include "base/LogRateLimiter.h"

// Lock: connMutex guards clientFds (the open connections and their state). It is never held
// while calling the handler; callers may hold their own lock (e.g. the registry's) around
// CloseClient and PeerPid, so the order is: caller's lock, then connMutex.
//
// Descriptor lifetime: only the event-loop thread closes client descriptors. Other threads ask
// for a close with CloseClient, which only shuts the socket down; the loop then sees EOF, tells
// the handler (OnClose) and closes. The handler forgets the descriptor before close(), so a
// number another thread still holds can never be reused under it.
//
// Socket file: removed when the server is destroyed or the process ends through
// RemoveOwnSocketFiles, but only by the process that bound it and only while the path still
// holds that very socket (same device and inode): never a file someone else put there since.
//
// Out of descriptors, accepting rests for a short pause at a time (the loop keeps serving the
// connections it has) and "accpet fail" is logged at most once per interval.
class UDSServer {
public:
    // Longest line accepted from a worker (without its "\n"); longer lines are dropped.
    static constexpr size_t kMaxLineLen = 64 * 1024;
    // Largest message SendMsg writes; commands are far shorter.
    static constexpr size_t kMaxSendLen = 64 * 1024;

    UDSServer();
    virtual ~UDSServer();
    UDSServer(const UDSServer&) = delete;
    UDSServer& operator=(const UDSServer&) = delete;

    // Creates the socket at path (mode 0600, replacing a stale socket) and listens; 0 on success,
    // -1 on a system-call failure, the copy's error code when path does not fit, or EEXIST when
    // something other than a socket is at path (it is left alone).
    int BindAndListen(const std::string& path);
    // Body of the channel thread; returns once Stop has been called.
    void RunEventLoop();
    // Writes the whole message to *fd; 0 or an error number. Safe from any thread.
    // logText false leaves the text out of the log line (a status answer is large, and polled).
    int SendMsg(const int* fd, const std::string& msg, bool logText = true);

    // Set by the owner before the loop starts.
    void SetHandler(IIOHandler* h) { handler = h; }
    // Asks the loop to close a client connection; safe from any thread (see above).
    void CloseClient(int fd);
    // Process id of the peer on client descriptor fd (read when it was accepted), -1 when unknown.
    pid_t PeerPid(int fd);
    // Ends RunEventLoop; for tests and orderly teardown (the master never stops the loop).
    void Stop();

    // Removes the socket file of every server this process bound, where the path is still that
    // socket; for the master's exit paths, which end the process without destroying the server.
    static void RemoveOwnSocketFiles();

private:
    struct ClientConn {
        pid_t peerPid = -1;
        LineFramer framer{kMaxLineLen};
    };

    // The socket file just bound, so that only it is ever removed (see above).
    struct BoundFile {
        std::string path;  // empty: nothing to remove
        dev_t dev = 0;
        ino_t ino = 0;
        pid_t pid = -1;
    };

    void RememberSocketFile(const std::string& path);
    void RemoveSocketFile();
    void RemoveSocketFileLocked();  // caller holds the lock of the servers' list
    void HandleAccpet();
    void PauseAccept();
    void ResumeAccept();
    // epoll_ctl with one descriptor and its events; false (logged "epoll_ctl <op> fail, ")
    // when it fails.
    bool Watch(int op, int fd, uint32_t events);
    void DoRead(int fd);
    void DoWrite(int fd);
    void DeleteEvent(int fd, uint32_t events);
    void CloseConnection(int fd);
    void CloseAll();

    int listenFd;
    int epollFd;
    std::atomic<bool> running;
    char readBuf[10240];
    std::map<int, ClientConn> clientFds;
    IIOHandler* handler;
    int wakeFd;  // eventfd that wakes epoll_wait for Stop
    std::mutex connMutex;
    BoundFile bound;  // guarded by the lock of the servers' list
    // Loop thread only.
    bool acceptPaused = false;
    std::chrono::steady_clock::time_point acceptResumeAt;
    LogRateLimiter acceptFailLog;
};
