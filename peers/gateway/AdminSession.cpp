#include "AdminSession.h"

#include "AdminReport.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

namespace {

constexpr auto IDLE = std::chrono::seconds(30);

// True when the query names "html" (?html, ?html=1, ?a&html).
bool WantsHtmlQuery(beast::string_view query) {
    while (!query.empty()) {
        size_t amp = query.find('&');
        beast::string_view item = query.substr(0, amp);
        if (item.substr(0, item.find('=')) == "html") {
            return true;
        }
        if (amp == beast::string_view::npos) {
            break;
        }
        query.remove_prefix(amp + 1);
    }
    return false;
}

}  // namespace

AdminSession::AdminSession(asio::ip::tcp::socket socket, ConnectionSlots::Slot slot, RequestBroker& broker,
                           const GatewayOptions& options, std::shared_ptr<ConnectionSlots> httpSlots)
    : stream_(std::move(socket)),
      slot_(std::move(slot)),
      broker_(broker),
      options_(options),
      httpSlots_(std::move(httpSlots)) {}

void AdminSession::Start() {
    Read();
}

void AdminSession::Read() {
    request_ = {};
    stream_.expires_after(IDLE);
    http::async_read(
        stream_, buffer_, request_,
        [self = shared_from_this()](const boost::system::error_code& ec, size_t) { self->OnRead(ec); });
}

void AdminSession::OnRead(const boost::system::error_code& ec) {
    if (ec) {
        boost::system::error_code ignored;
        stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        return;  // closed, timed out or not HTTP: the connection ends with this session
    }
    Answer();
    stream_.expires_after(IDLE);
    http::async_write(stream_, response_,
                      [self = shared_from_this()](const boost::system::error_code& e, size_t) {
                          if (!e && self->response_.keep_alive()) {
                              self->Read();
                          } else {
                              boost::system::error_code ignored;
                              self->stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                          }
                      });
}

void AdminSession::Answer() {
    response_ = {};
    response_.version(request_.version());
    response_.keep_alive(request_.keep_alive());
    response_.set(http::field::server, "vessel-gateway");
    response_.set(http::field::cache_control, "no-store");
    beast::string_view target = request_.target();
    size_t mark = target.find('?');
    beast::string_view path = target.substr(0, mark);
    beast::string_view query =
        mark == beast::string_view::npos ? beast::string_view() : target.substr(mark + 1);
    if (request_.method() != http::verb::get) {
        response_.result(http::status::method_not_allowed);
        response_.set(http::field::allow, "GET");
        response_.set(http::field::content_type, "text/plain; charset=utf-8");
        response_.body() = "only GET\n";
    } else if (path != "/status" && path != "/metrics") {
        response_.result(http::status::not_found);
        response_.set(http::field::content_type, "text/plain; charset=utf-8");
        response_.body() = "not found: the operator view has /status and /metrics\n";
    } else {
        AdminReport::Totals totals;
        totals.version = options_.versionText;
        totals.uptimeSeconds = broker_.Stats().UptimeSeconds();
        totals.httpConnections = httpSlots_ ? httpSlots_->InUse() : 0;
        totals.workerConnections = broker_.Stats().WorkerConnections();
        AdminReport report(broker_.View(), broker_.Stats().Unrouted(), totals);
        response_.result(http::status::ok);
        if (path == "/metrics") {
            response_.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
            response_.body() = report.Prometheus();
        } else if (WantsHtmlQuery(query) ||
                   request_[http::field::accept].find("text/html") != beast::string_view::npos) {
            response_.set(http::field::content_type, "text/html; charset=utf-8");
            response_.body() = report.Html();
        } else {
            response_.set(http::field::content_type, "application/json");
            response_.body() = report.Json();
        }
    }
    response_.prepare_payload();
}
