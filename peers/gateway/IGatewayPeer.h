// A connection on the gateway socket as the broker sees it: something that was asked a question
// and is now given its answer. Every call may come from any thread and only queues the answer
// on the connection's own thread.
#pragma once

#include <memory>
#include <string>

#include "PeerProcess.h"

class AppConfig;
class PendingRequest;

class IGatewayPeer {
public:
    virtual ~IGatewayPeer() = default;
    // Answer to "pullreq". A peer that cannot send it any more hands it back (Requeue).
    virtual void Deliver(std::shared_ptr<PendingRequest> request) = 0;
    // Answer to "pullappcfg" / "pullappcfgchg".
    virtual void AnswerConfig(std::shared_ptr<const AppConfig> config) = 0;
    // Answer to "pullmodloadreq": the key text of a module that must be loaded.
    virtual void AnswerDemand(const std::string& key) = 0;
    // The process at the other end; the requests it takes belong to it until it answers them.
    virtual const PeerProcess& Process() const = 0;
    // The event loop the connection runs on: a request from a client on the same loop is handed
    // to it first, so the hand-over needs no other thread.
    virtual const void* Home() const { return nullptr; }
};
