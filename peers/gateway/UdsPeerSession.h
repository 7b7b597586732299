// One connection on the gateway socket: a master poller, a module's pull connection or a
// worker's reply connection. Reads RESP frames, hands each command to the broker and writes the
// answers it gets back. A peer that breaks the protocol is logged once and disconnected; the
// rest of the gateway carries on. A "responsereq" counts only from the process the request was
// handed to; from any other it is refused (logged at most every 10 s) and the connection stays.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "IGatewayPeer.h"
#include "RequestBroker.h"
#include "proto/RespStreamParser.h"

class UdsPeerSession : public IGatewayPeer, public std::enable_shared_from_this<UdsPeerSession> {
public:
    using Socket = boost::asio::local::stream_protocol::socket;

    UdsPeerSession(Socket socket, RequestBroker& broker, uint64_t number);
    void Start();

    void Deliver(std::shared_ptr<PendingRequest> request) override;
    void AnswerConfig(std::shared_ptr<const AppConfig> config) override;
    void AnswerDemand(const std::string& key) override;
    const PeerProcess& Process() const override { return process_; }
    const void* Home() const override { return home_; }

private:
    enum class Held { NONE, PULL, CONFIG_CHANGE, DEMAND };

    // What waits to be written: a request's frame (kept by the request itself), or a text kept
    // alive by owner.
    struct OutFrame {
        std::shared_ptr<PendingRequest> request;
        std::shared_ptr<const void> owner;
        boost::asio::const_buffer bytes;
    };

    void Read();
    void OnRead(const boost::system::error_code& ec, size_t bytes);
    // False when the connection must be closed.
    bool Handle(std::vector<std::string>& parts);
    bool HoldOrFail(Held what, const std::string& command);
    void RefuseAnswer(const std::string& requestId, const PeerProcess& taker);
    void Send(OutFrame frame);
    void WriteNext();
    // lastUnread: the peer did not read the request written last (its connection was reset).
    void Close(const std::string& why, bool lastUnread = false);

    Socket socket_;
    const void* home_;  // its event loop
    RequestBroker& broker_;
    const uint64_t number_;         // names the connection in log lines
    PeerProcess process_;           // who connected; set once in Start()
    boost::beast::flat_buffer in_;  // one read's bytes until the reader has taken them
    RespStreamParser reader_;
    std::deque<OutFrame> out_;
    bool writing_ = false;
    bool closed_ = false;
    Held held_ = Held::NONE;
    // The request written last, until the peer pulls again (and so has read it whole).
    std::shared_ptr<PendingRequest> lastDelivered_;
    std::string pullKey_;      // the module this connection pulls for, once it has pulled
    uint64_t seenConfig_ = 0;  // generation of the configuration last sent here
};
