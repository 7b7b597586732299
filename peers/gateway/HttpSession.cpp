#include "HttpSession.h"

#include <algorithm>

#include "GatewayLog.h"
#include "RequestId.h"
#include "RequestTranslator.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;

namespace {

// Raw bytes read ahead of the request being parsed: enough for a header at its limit (8 KiB)
// and a few pipelined requests, no more, so a client that sends much more than it reads stays
// in the kernel's buffers and not in ours.
constexpr size_t READ_AHEAD_BYTES = 64 * 1024;

bool IsHttpError(const boost::system::error_code& ec) {
    return &ec.category() == &http::make_error_code(http::error::bad_target).category();
}

const std::string CONTINUE_100 = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

HttpSession::HttpSession(Socket socket, ConnectionSlots::Slot slot, RequestBroker& broker,
                         const GatewayOptions& options, std::shared_ptr<AccessLog> accessLog)
    : socket_(std::move(socket)),
      slot_(std::move(slot)),
      broker_(broker),
      options_(options),
      buffer_(READ_AHEAD_BYTES),
      accessLog_(std::move(accessLog)),
      timer_(socket_.get_executor()) {}

void HttpSession::Start() {
    boost::system::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (accessLog_) {
        auto peer = socket_.remote_endpoint(ignored);
        client_ = ignored ? std::string() : peer.address().to_string();
    }
    ReadHeader();
}

void HttpSession::ReadHeader() {
    parser_.emplace();
    parser_->body_limit(options_.maxBody);
    reading_ = true;
    if (!current_) {
        SetDeadline(options_.idleTimeout);
    }
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](const boost::system::error_code& ec, size_t) { self->OnHeader(ec); });
}

void HttpSession::OnHeader(const boost::system::error_code& ec) {
    reading_ = false;
    if (closed_) {
        return;
    }
    if (ec) {
        if (current_ && IsHttpError(ec) && ec != http::error::end_of_stream &&
            ec != http::error::partial_message) {
            readError_ = ec;  // answered once the request in flight is done
            return;
        }
        OnReadError(ec);
        return;
    }
    headerReady_ = true;
    headerAt_ = Clock::now();
    if (!current_ && !writing_) {
        ReadBody();
    }
}

void HttpSession::ReadBody() {
    headerReady_ = false;
    auto self = shared_from_this();
    auto read = [self]() {
        http::async_read(self->socket_, self->buffer_, *self->parser_,
                         [self](const boost::system::error_code& ec, size_t) { self->OnBody(ec); });
    };
    const auto& req = parser_->get();
    if (!parser_->is_done() && beast::iequals(req[http::field::expect], "100-continue")) {
        writing_ = true;
        asio::async_write(socket_, asio::buffer(CONTINUE_100),
                          [self, read](const boost::system::error_code& ec, size_t) {
                              self->writing_ = false;
                              if (ec || self->closed_) {
                                  self->Close();
                                  return;
                              }
                              read();
                          });
        return;
    }
    read();
}

void HttpSession::OnBody(const boost::system::error_code& ec) {
    if (closed_) {
        return;
    }
    if (ec) {
        OnReadError(ec);
        return;
    }
    Dispatch();
}

void HttpSession::OnReadError(const boost::system::error_code& ec) {
    // A request broken in its body still has a header to name it; one broken earlier has none.
    const bool named = parser_ && parser_->is_header_done();
    started_ = named ? headerAt_ : Clock::now();
    method_.clear();
    target_.clear();
    if (named) {
        NoteRequest(parser_->get().base());
    }
    if (ec == http::error::body_limit) {
        Respond(413, "request body larger than " + std::to_string(options_.maxBody) + " bytes\n", true);
    } else if (ec == http::error::header_limit) {
        Respond(431, "request header too large\n", true);
    } else if (IsHttpError(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message) {
        Respond(400, "malformed request: " + ec.message() + "\n", true);
    } else {
        Close();  // the client closed or reset the connection, or the read timed out
    }
}

void HttpSession::Dispatch() {
    RequestTranslator::Request req = parser_->release();
    parser_.reset();
    version_ = req.version();
    keepAlive_ = req.keep_alive();
    started_ = headerAt_;
    NoteRequest(req.base());

    std::string module;
    beast::string_view path;
    beast::string_view query;
    if (!RequestTranslator::Route(req.target(), module, path, query)) {
        Respond(404, "no module in path \"" + std::string(req.target().substr(0, 200)) + "\"\n", false);
        return;
    }
    std::string json;
    if (!RequestTranslator::BuildRequestJson(req, path, query, json)) {
        Respond(400, "request is not valid UTF-8 text\n", false);
        return;
    }
    std::string id = RequestId::Next();
    std::string frame = RequestTranslator::BuildMessageFrame(module, id, json);
    auto pending = std::make_shared<PendingRequest>(std::move(id), std::move(frame), weak_from_this(),
                                                    RequestTranslator::Idempotent(req.method()));
    pending->SetHome(&socket_.get_executor().context());
    answering_ = pending;  // the broker names its module version, unless it knows none
    switch (broker_.Submit(module, pending, Clock::now())) {
        case RequestBroker::SubmitResult::UNKNOWN_MODULE:
            Respond(404, "unknown module \"" + module.substr(0, 200) + "\"\n", false);
            return;
        case RequestBroker::SubmitResult::QUEUE_FULL:
            Respond(503, "too many requests waiting for module \"" + module + "\"\n", false);
            return;
        case RequestBroker::SubmitResult::QUEUED:
            break;
    }
    current_ = std::move(pending);
    SetDeadline(options_.requestTimeout);
    // Keep reading: this notices a client that leaves, and picks up a pipelined request.
    ReadHeader();
}

void HttpSession::Complete(std::shared_ptr<PendingRequest> request, unsigned status, std::string body) {
    asio::post(socket_.get_executor(),
               [self = shared_from_this(), request = std::move(request), status,
                body = std::move(body)]() mutable { self->OnResult(request, status, std::move(body)); });
}

void HttpSession::OnResult(const std::shared_ptr<PendingRequest>& request, unsigned status,
                           std::string body) {
    if (closed_ || request != current_) {
        return;
    }
    current_.reset();
    if (status < 100 || status > 599) {
        Respond(502, "module answered with status " + std::to_string(status) + "\n", false);
        return;
    }
    Respond(status, std::move(body), false);
}

void HttpSession::NoteRequest(const RequestTranslator::Request::header_type& header) {
    if (accessLog_) {
        method_.assign(header.method_string().data(), header.method_string().size());
        target_.assign(header.target().data(), header.target().size());
    }
}

void HttpSession::Account(unsigned status, size_t bytes) {
    const Clock::time_point now = Clock::now();
    std::shared_ptr<PendingRequest> request = std::move(answering_);
    ModuleStats* stats = request && request->Stats() ? request->Stats().get() : &broker_.Stats().Unrouted();
    stats->Record(status, now - started_, now);
    if (!accessLog_) {
        return;
    }
    AccessLog::Entry entry;
    entry.client = client_;
    entry.method = method_;
    entry.target = target_;
    if (request && request->Stats()) {
        boost::string_view key = request->ModuleKey();
        size_t cut = key.find("||");
        entry.module = key.substr(0, cut);
        entry.version = cut == boost::string_view::npos ? boost::string_view() : key.substr(cut + 2);
        entry.worker = request->Worker();
    }
    entry.status = status;
    entry.bytes = bytes;
    entry.took = now - started_;
    accessLog_->Write(entry);
}

void HttpSession::Respond(unsigned status, std::string body, bool close) {
    Account(status, body.size());
    if (close) {
        keepAlive_ = false;
    }
    response_ = {};
    response_.version(version_);
    response_.result(status);
    response_.set(http::field::server, "vessel-gateway");
    response_.set(http::field::content_type, "text/plain; charset=utf-8");
    response_.keep_alive(keepAlive_);
    response_.body() = std::move(body);
    response_.prepare_payload();
    writing_ = true;
    SetDeadline(options_.idleTimeout);
    http::async_write(
        socket_, response_,
        [self = shared_from_this()](const boost::system::error_code& ec, size_t) { self->OnWritten(ec); });
}

void HttpSession::OnWritten(const boost::system::error_code& ec) {
    writing_ = false;
    // An idle connection keeps no answer it has sent. (Assigning an empty response would keep
    // the body's capacity.)
    std::string().swap(response_.body());
    response_ = {};
    if (closed_) {
        return;
    }
    if (ec || !keepAlive_) {
        if (!ec) {
            boost::system::error_code ignored;
            socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        }
        Close();
        return;
    }
    if (readError_) {
        auto error = readError_;
        readError_ = {};
        OnReadError(error);
        return;
    }
    if (headerReady_) {
        ReadBody();
    } else if (!reading_) {
        ReadHeader();
    }
    // else: the read started during the request carries on; it keeps the idle deadline.
}

void HttpSession::SetDeadline(Clock::duration after) {
    const Clock::time_point now = Clock::now();
    deadline_ = now + after;
    if (timerArmed_ && armedFor_ <= deadline_) {
        return;
    }
    timerArmed_ = true;
    // Armed no further out than the shorter timeout: the request deadline, set after the idle
    // one, then never moves the timer (it would cost a cancel and a new wait per request).
    armedFor_ =
        std::min(deadline_, now + std::min<Clock::duration>(options_.requestTimeout, options_.idleTimeout));
    timer_.expires_at(armedFor_);
    timer_.async_wait(
        [self = shared_from_this()](const boost::system::error_code& ec) { self->OnTimer(ec); });
}

void HttpSession::OnTimer(const boost::system::error_code& ec) {
    if (ec == asio::error::operation_aborted || closed_) {
        return;  // re-armed for an earlier deadline, or closing
    }
    timerArmed_ = false;
    if (Clock::now() < deadline_) {
        SetDeadline(deadline_ - Clock::now());
        return;
    }
    if (current_) {
        if (!current_->Claim()) {
            return;  // the answer is already on its way to OnResult; let it through
        }
        std::shared_ptr<PendingRequest> request = std::move(current_);
        broker_.Cancel(request);
        GatewayLog::Warn("request " + request->Id() + " for " + request->ModuleKey() +
                         " got no answer within " + std::to_string(options_.requestTimeout.count()) + " ms");
        Respond(504, "no answer from module within the request timeout\n", false);
        return;
    }
    Close();  // idle, or the client is too slow sending or receiving
}

void HttpSession::GiveUp() {
    if (current_ && current_->Claim()) {
        broker_.Cancel(current_);
    }
    current_.reset();
}

void HttpSession::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    GiveUp();
    boost::system::error_code ignored;
    socket_.close(ignored);
    slot_.Release();
    timer_.cancel();
}
