// Callback interface through which a socket loop hands each received message to its owner,
// and through which the owner's peers send.
#pragma once

#include <string>

class IIOHandler {
public:
    virtual ~IIOHandler() = default;
    // One received message (a complete line or lines) from descriptor fd; 0 on success.
    virtual int DoAsyncRead(int fd, const std::string& data) = 0;
    // Sends msg to the peer named by target (a worker pid in the master); 0 on success.
    virtual int DoSyncWrite(const std::string& target, const std::string& msg) = 0;
    // The loop is about to close descriptor fd (peer gone or close requested). Called on the
    // loop's thread before close(), so the owner can forget fd before its number is reused.
    virtual void OnClose(int /*fd*/) {}
};
