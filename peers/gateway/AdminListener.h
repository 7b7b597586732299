// --admin-listen: the operator view's own HTTP listener (GET /status, GET /metrics). It runs on
// the first event loop beside the request path and only reads the counters, so a slow or stuck
// operator client holds nothing the requests need; at most 16 of its connections are open at
// once, further ones are closed at once.
#pragma once

#include <boost/asio.hpp>
#include <memory>
#include <string>

#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "RequestBroker.h"

class AdminListener : public std::enable_shared_from_this<AdminListener> {
public:
    // httpSlots: the request path's connections, counted in the view.
    AdminListener(boost::asio::io_context& context, RequestBroker& broker, const GatewayOptions& options,
                  std::shared_ptr<ConnectionSlots> httpSlots);
    bool Open(std::string& error);
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

private:
    void Accept();

    boost::asio::io_context& context_;
    RequestBroker& broker_;
    const GatewayOptions& options_;
    std::shared_ptr<ConnectionSlots> httpSlots_;
    std::shared_ptr<ConnectionSlots> ownSlots_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
};
