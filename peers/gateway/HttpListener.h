// Accepts HTTP connections and gives each to an HttpSession on the next event loop.
#pragma once

#include <memory>
#include <string>

#include <boost/asio.hpp>

#include "GatewayOptions.h"
#include "IoContextPool.h"
#include "RequestBroker.h"

class HttpListener : public std::enable_shared_from_this<HttpListener> {
public:
    HttpListener(IoContextPool& pool, RequestBroker& broker, const GatewayOptions& options);
    // Binds and listens; false with error set when the address cannot be used.
    bool Open(std::string& error);
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

private:
    void Accept();

    IoContextPool& pool_;
    RequestBroker& broker_;
    const GatewayOptions& options_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;  // pause after an accept failure such as EMFILE
};
