// The accept loop of the gateway's HTTP listeners: listens on an address and hands each accepted
// connection to a handler, on the event loop it names for the next one. A failed accept (out of
// descriptors or memory) is handed to a second handler and accepting pauses briefly: the
// connection waits in the backlog until some close. The handlers are the owner's: it stops the
// loop before it goes, and no handler is called after Stop().
#pragma once

#include <boost/asio.hpp>
#include <functional>
#include <memory>

class AcceptLoop : public std::enable_shared_from_this<AcceptLoop> {
public:
    using Accepted = std::function<void(boost::asio::ip::tcp::socket)>;
    using Failed = std::function<void(const boost::system::error_code&)>;
    using NextContext = std::function<boost::asio::io_context&()>;

    AcceptLoop(boost::asio::io_context& context, NextContext next, Accepted accepted, Failed failed);
    // Opens, binds and listens (reusing the address); the first error, if any.
    boost::system::error_code Listen(const boost::asio::ip::tcp::endpoint& endpoint);
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

private:
    void Accept();
    void OnAccepted(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);

    NextContext next_;
    Accepted accepted_;
    Failed failed_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;  // the pause after a failed accept
};
