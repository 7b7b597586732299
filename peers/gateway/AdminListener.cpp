#include "AdminListener.h"

#include "AdminSession.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr size_t MAX_ADMIN_CONNECTIONS = 16;

}  // namespace

AdminListener::AdminListener(asio::io_context& context, RequestBroker& broker, const GatewayOptions& options,
                             std::shared_ptr<ConnectionSlots> httpSlots)
    : broker_(broker),
      options_(options),
      httpSlots_(std::move(httpSlots)),
      ownSlots_(std::make_shared<ConnectionSlots>(MAX_ADMIN_CONNECTIONS)),
      // A failed accept (out of descriptors) is not logged: the request path's listener says so.
      loop_(std::make_shared<AcceptLoop>(
          context, [&context]() -> asio::io_context& { return context; },
          [this](tcp::socket socket) { OnAccepted(std::move(socket)); },
          [](const boost::system::error_code&) {})) {}

AdminListener::~AdminListener() {
    loop_->Stop();
}

bool AdminListener::Open(std::string& error) {
    boost::system::error_code ec;
    auto address = asio::ip::make_address(options_.adminHost, ec);
    if (!ec) {
        ec = loop_->Listen(tcp::endpoint(address, options_.adminPort));
    }
    if (ec) {
        error = "cannot listen for --admin-listen on " + options_.adminHost + ":" +
                std::to_string(options_.adminPort) + ": " + ec.message();
        return false;
    }
    return true;
}

tcp::endpoint AdminListener::LocalEndpoint() const {
    return loop_->LocalEndpoint();
}

void AdminListener::Start() {
    loop_->Start();
}

void AdminListener::Stop() {
    loop_->Stop();
}

void AdminListener::OnAccepted(tcp::socket socket) {
    ConnectionSlots::Slot slot = ownSlots_->TryTake();
    if (slot) {
        std::make_shared<AdminSession>(std::move(socket), std::move(slot), broker_, options_, httpSlots_)
            ->Start();
    }  // else the socket closes here
}
