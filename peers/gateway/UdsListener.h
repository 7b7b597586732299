// The gateway socket Vessel connects to: owns the socket file (replacing a stale one, removing
// it at the end), closes connections of processes the PeerUserCheck refuses, and gives every
// other connection to a UdsPeerSession on the next event loop. It has no connection cap of its
// own: the HTTP side's cap leaves descriptors for it.
#pragma once

#include <sys/types.h>

#include <boost/asio.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "IoContextPool.h"
#include "LogThrottle.h"
#include "PeerUserCheck.h"
#include "RequestBroker.h"

class UdsListener : public std::enable_shared_from_this<UdsListener> {
public:
    UdsListener(IoContextPool& pool, RequestBroker& broker, const PeerUserCheck& peers);
    ~UdsListener();
    // Binds path with the given mode. A socket file nobody listens on is replaced; a live one
    // (another gateway) is an error. False with error set on failure.
    bool Open(const std::string& path, mode_t mode, std::string& error);
    void Start();
    // Stops accepting and removes the socket file if it is still the one we created.
    void Stop();

private:
    void Accept();
    void OnAccepted(const boost::system::error_code& ec, boost::asio::local::stream_protocol::socket socket);
    void RemoveFile();

    IoContextPool& pool_;
    RequestBroker& broker_;
    const PeerUserCheck& peers_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    LogThrottle failedLog_;
    LogThrottle refusedLog_;
    std::string path_;
    ino_t inode_ = 0;
    uint64_t nextNumber_ = 1;
};
