// The worker's one outgoing connection to the gateway for responses of C modules. Every handler
// thread sends through it; one mutex serialises the sends. Process-wide singleton.
//
// Locking: the reply mutex guards the creation of the singleton and every use of the client
// (connect, send, reconnect). It is a leaf lock apart from logging.
#pragma once

#include <cstdint>
#include <string>

#include "net/UDSClient.h"

class RequestReply {
public:
    static RequestReply* getInstance();
    virtual ~RequestReply() = default;
    RequestReply(const RequestReply&) = delete;
    RequestReply& operator=(const RequestReply&) = delete;

    // Connects the reply client to the gateway; the result is only logged.
    int32_t Init();
    // 0 when the connection is up (connecting if needed).
    int32_t ConnectToGW();
    // Whether the connection is up, without connecting or waiting for a send.
    bool IsConnected() const { return client.IsConnected(); }
    // Sends one serialised "responsereq"; on EPIPE reconnects and resends once. 0 when sent.
    int32_t ReturnToGW(const std::string& msg);

private:
    RequestReply() = default;
    // Reconnects and sends again; the caller holds the reply mutex.
    int32_t ReSend(const std::string& msg);

    // Only written to: replies get no answer from the gateway.
    UDSClient client;
};
