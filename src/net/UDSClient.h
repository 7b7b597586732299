// Vessel's client for Unix-domain stream sockets: connects to a path, sends whole messages, and
// can run a small epoll loop that hands every complete received line to its owner (IIOHandler).
//
// Not thread-safe: the owner serialises its use, and the event loop runs on one thread. The one
// exception is StopLoop(), which any thread may call; wakeMutex guards only the wake descriptor
// it writes to (no other lock is ever taken while holding it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/IIOHandler.h"
#include "base/LineFramer.h"
#include "base/PeerTrust.h"

class UDSClient {
public:
    static constexpr size_t BUF_SIZE = 10240;
    static constexpr size_t MAX_CONTENT = 10485760;  // SendTo refuses data of this size or more
    static constexpr size_t MAX_LINE = 65536;        // longest partial line the event loop keeps

    explicit UDSClient(IIOHandler* handler = nullptr);
    virtual ~UDSClient();
    UDSClient(const UDSClient&) = delete;
    UDSClient& operator=(const UDSClient&) = delete;

    // 0, the errno of the failed socket/connect call, EACCES when the listener's user is not
    // trusted as trust says, or the error of copying a path that does not fit the 108-byte
    // address field. A failed connect leaves no socket behind.
    int Connect(const std::string& path, PeerTrust trust = PeerTrust::OwnUserOrRoot);
    int Reconnect(const std::string& path, PeerTrust trust = PeerTrust::OwnUserOrRoot);
    int CloseSock();
    int CloseAll();
    bool IsConnected() const { return connected.load(); }

    // Sends all of data; 0, -1 when data is 10 MiB or more, or the errno of a failed send.
    int SendTo(const std::string& data);
    // Sends parts as one gateway request; result as SendTo.
    int SendToGW(const std::vector<std::string>& parts);
    // Receives one whole gateway reply (however many reads it takes, up to 10 MiB) and appends
    // its values to out exactly; 0 (a bad reply, logged, appends nothing), or -1 when the
    // connection failed or closed before the reply was whole.
    int RecvFromGW(std::vector<std::string>& out);

    void AddEvent(int fd, uint32_t events);
    void DeleteEvent(int fd, uint32_t events);

    // Event loop: runs while connected and until StopLoop(); always returns 0.
    int Run();
    // Reads once from fd; complete lines go to the handler. -1 when fd was closed.
    int DoRead(int fd);
    // Ends a running (or the next) event loop from any thread. Final for this client.
    void StopLoop();

    int GetSockFd() const { return sockFd; }

private:
    char recvBuf[BUF_SIZE];
    std::atomic<bool> connected{false};
    int32_t sockFd = -1;
    int32_t epollFd = -1;
    IIOHandler* handler;

    // Commands are handed over only as whole lines.
    LineFramer framer{MAX_LINE};

    std::atomic<bool> stopRequested{false};
    std::mutex wakeMutex;
    int wakeFd = -1;
};
