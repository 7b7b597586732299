// --admin-listen: the operator view's own HTTP listener (GET /status, GET /metrics). It runs on
// the first event loop beside the request path and only reads the counters, so a slow or stuck
// operator client holds nothing the requests need; at most 16 of its connections are open at
// once, further ones are closed at once.
#pragma once

#include <boost/asio.hpp>
#include <memory>
#include <string>

#include "AcceptLoop.h"
#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "RequestBroker.h"

class AdminListener {
public:
    // httpSlots: the request path's connections, counted in the view.
    AdminListener(boost::asio::io_context& context, RequestBroker& broker, const GatewayOptions& options,
                  std::shared_ptr<ConnectionSlots> httpSlots);
    ~AdminListener();
    bool Open(std::string& error);
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

private:
    void OnAccepted(boost::asio::ip::tcp::socket socket);

    RequestBroker& broker_;
    const GatewayOptions& options_;
    std::shared_ptr<ConnectionSlots> httpSlots_;
    std::shared_ptr<ConnectionSlots> ownSlots_;
    std::shared_ptr<AcceptLoop> loop_;
};
