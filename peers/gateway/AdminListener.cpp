#include "AdminListener.h"

#include "AdminSession.h"
#include "GatewayLog.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr size_t MAX_ADMIN_CONNECTIONS = 16;

}  // namespace

AdminListener::AdminListener(asio::io_context& context, RequestBroker& broker, const GatewayOptions& options,
                             std::shared_ptr<ConnectionSlots> httpSlots)
    : context_(context),
      broker_(broker),
      options_(options),
      httpSlots_(std::move(httpSlots)),
      ownSlots_(std::make_shared<ConnectionSlots>(MAX_ADMIN_CONNECTIONS)),
      acceptor_(context),
      retry_(context) {}

bool AdminListener::Open(std::string& error) {
    boost::system::error_code ec;
    auto address = asio::ip::make_address(options_.adminHost, ec);
    tcp::endpoint endpoint(address, options_.adminPort);
    if (!ec) {
        acceptor_.open(endpoint.protocol(), ec);
    }
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
        error = "cannot listen for --admin-listen on " + options_.adminHost + ":" +
                std::to_string(options_.adminPort) + ": " + ec.message();
        return false;
    }
    return true;
}

tcp::endpoint AdminListener::LocalEndpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void AdminListener::Start() {
    Accept();
}

void AdminListener::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void AdminListener::Accept() {
    acceptor_.async_accept(
        [self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !self->acceptor_.is_open()) {
                return;
            }
            if (ec) {
                // Out of descriptors: the request path frees some in time; try again shortly.
                self->retry_.expires_after(std::chrono::milliseconds(100));
                self->retry_.async_wait([self](const boost::system::error_code& e) {
                    if (!e) {
                        self->Accept();
                    }
                });
                return;
            }
            ConnectionSlots::Slot slot = self->ownSlots_->TryTake();
            if (slot) {
                std::make_shared<AdminSession>(std::move(socket), std::move(slot), self->broker_,
                                               self->options_, self->httpSlots_)
                    ->Start();
            }  // else the socket closes here
            self->Accept();
        });
}
