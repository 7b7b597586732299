#include "HttpListener.h"

#include "GatewayLog.h"
#include "HttpSession.h"

namespace asio = boost::asio;
using asio::ip::tcp;

HttpListener::HttpListener(IoContextPool& pool, RequestBroker& broker, const GatewayOptions& options)
    : pool_(pool), broker_(broker), options_(options), acceptor_(pool.First()), retry_(pool.First()) {}

bool HttpListener::Open(std::string& error) {
    boost::system::error_code ec;
    asio::ip::address address = asio::ip::make_address(options_.listenHost, ec);
    if (ec) {
        error = "bad listen address \"" + options_.listenHost + "\": " + ec.message();
        return false;
    }
    tcp::endpoint endpoint(address, options_.listenPort);
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
    if (ec) {
        error = "cannot listen on " + options_.listenHost + ":" + std::to_string(options_.listenPort) +
                ": " + ec.message();
        return false;
    }
    return true;
}

tcp::endpoint HttpListener::LocalEndpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void HttpListener::Start() { Accept(); }

void HttpListener::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void HttpListener::Accept() {
    acceptor_.async_accept(pool_.Next(), [self = shared_from_this()](const boost::system::error_code& ec,
                                                                     tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !self->acceptor_.is_open()) {
            return;
        }
        if (ec) {
            GatewayLog::Warn("HTTP accept failed: " + ec.message());
            self->retry_.expires_after(std::chrono::milliseconds(100));
            self->retry_.async_wait([self](const boost::system::error_code& e) {
                if (!e) {
                    self->Accept();
                }
            });
            return;
        }
        std::make_shared<HttpSession>(std::move(socket), self->broker_, self->options_)->Start();
        self->Accept();
    });
}
