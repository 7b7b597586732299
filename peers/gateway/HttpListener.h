// Accepts HTTP connections and gives each to an HttpSession on the next event loop, up to the
// connection cap: one more is answered 503 and closed at once, so that descriptors stay for the
// gateway socket. When accepting fails (out of descriptors), accepting pauses briefly; either
// case is logged once per interval, not per connection.
#pragma once

#include <boost/asio.hpp>
#include <memory>
#include <string>

#include "AcceptLoop.h"
#include "AccessLog.h"
#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "IoContextPool.h"
#include "LogThrottle.h"
#include "RequestBroker.h"

class HttpListener {
public:
    HttpListener(IoContextPool& pool, RequestBroker& broker, const GatewayOptions& options,
                 std::shared_ptr<ConnectionSlots> slots, std::shared_ptr<AccessLog> accessLog);
    ~HttpListener();
    // Binds and listens; false with error set when the address cannot be used.
    bool Open(std::string& error);
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

private:
    void OnAccepted(boost::asio::ip::tcp::socket socket);
    void OnFailed(const boost::system::error_code& ec);
    void Refuse(boost::asio::ip::tcp::socket& socket);

    RequestBroker& broker_;
    const GatewayOptions& options_;
    std::shared_ptr<ConnectionSlots> slots_;
    std::shared_ptr<AccessLog> accessLog_;  // null without --access-log
    LogThrottle failedLog_;
    LogThrottle fullLog_;
    std::shared_ptr<AcceptLoop> loop_;
};
