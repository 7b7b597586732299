// One connection to the operator view: reads GET requests (keep-alive) and answers /status as
// JSON (as HTML with ?html or when the client accepts text/html) and /metrics in the Prometheus
// text format; 404 for other paths, 405 for other methods. A connection idle for 30 s is closed.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>

#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "RequestBroker.h"

class AdminSession : public std::enable_shared_from_this<AdminSession> {
public:
    AdminSession(boost::asio::ip::tcp::socket socket, ConnectionSlots::Slot slot, RequestBroker& broker,
                 const GatewayOptions& options, std::shared_ptr<ConnectionSlots> httpSlots);
    void Start();

private:
    void Read();
    void OnRead(const boost::system::error_code& ec);
    void Answer();

    boost::beast::tcp_stream stream_;
    ConnectionSlots::Slot slot_;
    RequestBroker& broker_;
    const GatewayOptions& options_;
    std::shared_ptr<ConnectionSlots> httpSlots_;
    boost::beast::flat_buffer buffer_;
    boost::beast::http::request<boost::beast::http::string_body> request_;
    boost::beast::http::response<boost::beast::http::string_body> response_;
};
