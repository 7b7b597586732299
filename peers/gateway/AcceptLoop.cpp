#include "AcceptLoop.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);

}  // namespace

AcceptLoop::AcceptLoop(asio::io_context& context, NextContext next, Accepted accepted, Failed failed)
    : next_(std::move(next)),
      accepted_(std::move(accepted)),
      failed_(std::move(failed)),
      acceptor_(context),
      retry_(context) {}

boost::system::error_code AcceptLoop::Listen(const tcp::endpoint& endpoint) {
    boost::system::error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    return ec;
}

tcp::endpoint AcceptLoop::LocalEndpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void AcceptLoop::Start() {
    Accept();
}

void AcceptLoop::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void AcceptLoop::Accept() {
    acceptor_.async_accept(
        next_(), [self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
            self->OnAccepted(ec, std::move(socket));
        });
}

void AcceptLoop::OnAccepted(const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
    }
    if (ec) {
        failed_(ec);
        retry_.expires_after(ACCEPT_PAUSE);
        retry_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
            if (!e) {
                self->Accept();
            }
        });
        return;
    }
    accepted_(std::move(socket));
    Accept();
}
