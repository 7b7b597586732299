#include "HttpListener.h"

#include <sys/socket.h>

#include "GatewayLog.h"
#include "HttpSession.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto LOG_EVERY = std::chrono::seconds(10);
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);

const char FULL_RESPONSE[] =
    "HTTP/1.1 503 Service Unavailable\r\n"
    "Server: vessel-gateway\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 21\r\n"
    "Connection: close\r\n"
    "\r\n"
    "too many connections\n";

}  // namespace

HttpListener::HttpListener(IoContextPool& pool, RequestBroker& broker, const GatewayOptions& options,
                           std::shared_ptr<ConnectionSlots> slots, std::shared_ptr<AccessLog> accessLog)
    : pool_(pool),
      broker_(broker),
      options_(options),
      slots_(std::move(slots)),
      accessLog_(std::move(accessLog)),
      acceptor_(pool.First()),
      retry_(pool.First()),
      failedLog_(LOG_EVERY),
      fullLog_(LOG_EVERY) {}

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
        error = "cannot listen on " + options_.listenHost + ":" + std::to_string(options_.listenPort) + ": " +
                ec.message();
        return false;
    }
    return true;
}

tcp::endpoint HttpListener::LocalEndpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void HttpListener::Start() {
    Accept();
}

void HttpListener::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void HttpListener::Accept() {
    acceptor_.async_accept(
        pool_.Next(), [self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
            self->OnAccepted(ec, std::move(socket));
        });
}

void HttpListener::OnAccepted(const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
    }
    if (ec) {
        // Out of descriptors (or memory): the connection waits in the backlog until some close.
        size_t heldBack = 0;
        if (failedLog_.Allow(heldBack)) {
            GatewayLog::Warn("HTTP accept failed: " + ec.message() + "; " + std::to_string(slots_->InUse()) +
                             " HTTP connections open, pausing accepts" + LogThrottle::More(heldBack));
        }
        retry_.expires_after(ACCEPT_PAUSE);
        retry_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
            if (!e) {
                self->Accept();
            }
        });
        return;
    }
    ConnectionSlots::Slot slot = slots_->TryTake();
    if (!slot) {
        Refuse(socket);
    } else {
        std::make_shared<HttpSession>(std::move(socket), std::move(slot), broker_, options_, accessLog_)
            ->Start();
    }
    Accept();
}

void HttpListener::Refuse(tcp::socket& socket) {
    size_t heldBack = 0;
    if (fullLog_.Allow(heldBack)) {
        GatewayLog::Warn("HTTP connection refused: " + std::to_string(slots_->Limit()) +
                         " connections open, the --max-connections limit" + LogThrottle::More(heldBack));
    }
    // One try, never waiting: a client that does not take it only misses the explanation.
    (void)!::send(socket.native_handle(), FULL_RESPONSE, sizeof(FULL_RESPONSE) - 1,
                  MSG_DONTWAIT | MSG_NOSIGNAL);
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}
