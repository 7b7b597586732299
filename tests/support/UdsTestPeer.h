// Plays Vessel's side of the gateway socket in tests: a raw Unix-socket connection that sends
// frames and reads the gateway's answers with a deadline.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class UdsTestPeer {
public:
    UdsTestPeer() = default;
    ~UdsTestPeer();
    UdsTestPeer(const UdsTestPeer&) = delete;
    UdsTestPeer& operator=(const UdsTestPeer&) = delete;

    bool Connect(const std::string& path);
    bool Send(const std::vector<std::string>& parts);
    bool SendRaw(const std::string& bytes);
    // The next whole frame's elements; false when none arrived in time or the frame was bad.
    bool Receive(std::vector<std::string>& parts, std::chrono::milliseconds timeout);
    // True when bytes are waiting to be read (they are left unread).
    bool HasData(std::chrono::milliseconds timeout);
    // True when nothing arrives within window (used to see that a pull is being held).
    bool Silent(std::chrono::milliseconds window);
    // True when the gateway closed the connection within timeout.
    bool ClosedByGateway(std::chrono::milliseconds timeout);
    void Close();

private:
    int fd_ = -1;
    std::string pending_;
};
