// Accepts HTTP connections and gives each to an HttpSession on the next event loop, up to the
// connection cap: one more is answered 503 and closed at once, so that descriptors stay for the
// gateway socket. When accepting fails (out of descriptors), accepting pauses briefly; either
// case is logged once per interval, not per connection.
#pragma once

#include <boost/asio.hpp>
#include <memory>
#include <string>

#include "AccessLog.h"
#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "IoContextPool.h"
#include "LogThrottle.h"
#include "RequestBroker.h"

class HttpListener : public std::enable_shared_from_this<HttpListener> {
public:
    HttpListener(IoContextPool& pool, RequestBroker& broker, const GatewayOptions& options,
                 std::shared_ptr<ConnectionSlots> slots, std::shared_ptr<AccessLog> accessLog);
    // Binds and listens; false with error set when the address cannot be used.
    bool Open(std::string& error);
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

private:
    void Accept();
    void OnAccepted(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);
    void Refuse(boost::asio::ip::tcp::socket& socket);

    IoContextPool& pool_;
    RequestBroker& broker_;
    const GatewayOptions& options_;
    std::shared_ptr<ConnectionSlots> slots_;
    std::shared_ptr<AccessLog> accessLog_;  // null without --access-log
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;  // pause after an accept failure such as EMFILE
    LogThrottle failedLog_;
    LogThrottle fullLog_;
};
