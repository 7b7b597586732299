#include "HttpListener.h"

#include <sys/socket.h>

#include "GatewayLog.h"
#include "HttpSession.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto LOG_EVERY = std::chrono::seconds(10);

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
    : broker_(broker),
      options_(options),
      slots_(std::move(slots)),
      accessLog_(std::move(accessLog)),
      failedLog_(LOG_EVERY),
      fullLog_(LOG_EVERY),
      loop_(std::make_shared<AcceptLoop>(
          pool.First(), [&pool]() -> asio::io_context& { return pool.Next(); },
          [this](tcp::socket socket) { OnAccepted(std::move(socket)); },
          [this](const boost::system::error_code& ec) { OnFailed(ec); })) {}

HttpListener::~HttpListener() {
    loop_->Stop();
}

bool HttpListener::Open(std::string& error) {
    boost::system::error_code ec;
    asio::ip::address address = asio::ip::make_address(options_.listenHost, ec);
    if (ec) {
        error = "bad listen address \"" + options_.listenHost + "\": " + ec.message();
        return false;
    }
    ec = loop_->Listen(tcp::endpoint(address, options_.listenPort));
    if (ec) {
        error = "cannot listen on " + options_.listenHost + ":" + std::to_string(options_.listenPort) + ": " +
                ec.message();
        return false;
    }
    return true;
}

tcp::endpoint HttpListener::LocalEndpoint() const {
    return loop_->LocalEndpoint();
}

void HttpListener::Start() {
    loop_->Start();
}

void HttpListener::Stop() {
    loop_->Stop();
}

void HttpListener::OnFailed(const boost::system::error_code& ec) {
    // Out of descriptors (or memory): the connection waits in the backlog until some close.
    size_t heldBack = 0;
    if (failedLog_.Allow(heldBack)) {
        GatewayLog::Warn("HTTP accept failed: " + ec.message() + "; " + std::to_string(slots_->InUse()) +
                         " HTTP connections open, pausing accepts" + LogThrottle::More(heldBack));
    }
}

void HttpListener::OnAccepted(tcp::socket socket) {
    ConnectionSlots::Slot slot = slots_->TryTake();
    if (!slot) {
        Refuse(socket);
    } else {
        std::make_shared<HttpSession>(std::move(socket), std::move(slot), broker_, options_, accessLog_)
            ->Start();
    }
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
