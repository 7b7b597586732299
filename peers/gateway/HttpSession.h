// One HTTP/1.1 client connection: reads a request, routes it to its module through the broker,
// and writes the worker's answer (or 404/413/400/503/504). While a request waits, the next one is
// already being read, so a client that hangs up is noticed at once and its request dropped.
// Pipelined requests are taken one at a time: the next one goes to its module only once the
// answer before it is written, and meanwhile at most its header (and 64 KiB of raw bytes) is
// read ahead. So a client that sends and never reads holds at most one answer in the gateway.
// Everything runs on the connection's own event-loop thread; Complete() posts onto it.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "AccessLog.h"
#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "IRequestOwner.h"
#include "RequestBroker.h"
#include "RequestTranslator.h"

class HttpSession : public IRequestOwner, public std::enable_shared_from_this<HttpSession> {
public:
    using Socket = boost::asio::ip::tcp::socket;

    // slot is the connection's place under --max-connections, given back when it closes.
    // accessLog may be null (no --access-log).
    HttpSession(Socket socket, ConnectionSlots::Slot slot, RequestBroker& broker,
                const GatewayOptions& options, std::shared_ptr<AccessLog> accessLog);
    void Start();
    void Complete(std::shared_ptr<PendingRequest> request, unsigned status, std::string body) override;

private:
    using Clock = std::chrono::steady_clock;
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    void ReadHeader();
    void OnHeader(const boost::system::error_code& ec);
    void ReadBody();
    void OnBody(const boost::system::error_code& ec);
    void Dispatch();
    void OnResult(const std::shared_ptr<PendingRequest>& request, unsigned status, std::string body);
    void OnReadError(const boost::system::error_code& ec);
    void Respond(unsigned status, std::string body, bool close);
    // Counts the answer going out (and logs it) against the request being answered.
    void Account(unsigned status, size_t bytes);
    // What the access log says of the request being answered, taken from its header.
    void NoteRequest(const RequestTranslator::Request::header_type& header);
    void OnWritten(const boost::system::error_code& ec);
    void SetDeadline(Clock::duration after);
    void OnTimer(const boost::system::error_code& ec);
    void GiveUp();  // the request in flight is dropped: client gone or connection closing
    void Close();

    Socket socket_;
    ConnectionSlots::Slot slot_;
    RequestBroker& broker_;
    const GatewayOptions& options_;
    boost::beast::flat_buffer buffer_;
    boost::optional<Parser> parser_;
    boost::beast::http::response<boost::beast::http::string_body> response_;
    std::shared_ptr<PendingRequest> current_;  // the request waiting for its module
    // The request whose answer is next: its module version (none: counted as unrouted), when its
    // header was read, and for the access log its method and target.
    std::shared_ptr<PendingRequest> answering_;
    Clock::time_point headerAt_;
    Clock::time_point started_;
    std::shared_ptr<AccessLog> accessLog_;
    std::string client_;
    std::string method_;
    std::string target_;
    unsigned version_ = 11;
    bool keepAlive_ = true;
    bool reading_ = false;      // a header read is outstanding
    bool headerReady_ = false;  // a header was read and its body is still to come
    bool writing_ = false;
    bool closed_ = false;
    boost::system::error_code readError_;  // a bad next request, answered after the current one

    // One timer serves the idle, header and request deadlines. Moving the deadline later does
    // not touch the timer: when it fires early it simply waits again.
    boost::asio::steady_timer timer_;
    Clock::time_point deadline_;
    Clock::time_point armedFor_;
    bool timerArmed_ = false;
};
