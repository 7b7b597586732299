#include "UdsPeerSession.h"

#include "GatewayLog.h"
#include "LogThrottle.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"

namespace asio = boost::asio;

namespace {

constexpr size_t READ_CHUNK = 65536;

// Status texts Vessel sends are decimal; anything else becomes 502 at the HTTP side.
unsigned ParseStatus(const std::string& text) {
    if (text.empty() || text.size() > 3) {
        return 0;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

}  // namespace

UdsPeerSession::UdsPeerSession(Socket socket, RequestBroker& broker, uint64_t number)
    : socket_(std::move(socket)),
      home_(&socket_.get_executor().context()),
      broker_(broker),
      number_(number),
      in_(READ_CHUNK),
      reader_(RespStreamParser::Mode::ANY) {}

void UdsPeerSession::Start() {
    process_ = PeerProcess::OfSocket(socket_.native_handle());
    broker_.ProcessConnected(process_);
    broker_.Stats().WorkerConnectionOpened();
    // Change pulls wait for a configuration newer than the one in force when the peer came.
    seenConfig_ = broker_.Config()->Generation();
    Read();
}

void UdsPeerSession::Read() {
    socket_.async_read_some(
        in_.prepare(READ_CHUNK),
        [self = shared_from_this()](const boost::system::error_code& ec, size_t n) { self->OnRead(ec, n); });
}

void UdsPeerSession::OnRead(const boost::system::error_code& ec, size_t bytes) {
    if (closed_) {
        return;
    }
    if (ec) {
        // A reset means the worker went away with bytes unread: the request written last never
        // reached it and can go to another worker without running twice.
        Close("", ec == asio::error::connection_reset);
        return;
    }
    in_.commit(bytes);
    // The reader keeps a partial frame itself: every byte read is handed over once and the
    // buffer is emptied before the next read.
    while (in_.size() > 0) {
        auto data = in_.data();
        size_t consumed = 0;
        RespStreamParser::Result result =
            reader_.FeedBuffer(static_cast<const char*>(data.data()), data.size(), consumed);
        in_.consume(consumed);
        if (result == RespStreamParser::Result::NEED_MORE) {
            break;
        }
        if (result == RespStreamParser::Result::BAD) {
            Close(reader_.Error());
            return;
        }
        std::vector<std::string> parts = reader_.TakeValues();
        if (!Handle(parts)) {
            return;
        }
    }
    Read();
}

bool UdsPeerSession::HoldOrFail(Held what, const std::string& command) {
    if (held_ != Held::NONE) {
        // Answers go back in request order; a second question before the first is answered
        // breaks that.
        Close("\"" + command + "\" while an earlier request waits for its answer");
        return false;
    }
    held_ = what;
    return true;
}

bool UdsPeerSession::Handle(std::vector<std::string>& parts) {
    if (parts.empty()) {
        Close("empty frame");
        return false;
    }
    const std::string& command = parts[0];
    auto expect = [&](size_t count) {
        if (parts.size() == count) {
            return true;
        }
        Close("\"" + command + "\" with " + std::to_string(parts.size()) + " elements, expected " +
              std::to_string(count));
        return false;
    };
    auto self = shared_from_this();
    if (command == "responsereq") {
        if (!expect(6)) {
            return false;
        }
        unsigned status = ParseStatus(parts[3]);
        if (status == 0) {
            Close("\"responsereq\" with status \"" + parts[3] + "\"");
            return false;
        }
        // An unknown id is a late answer to a request that timed out or whose client left.
        PeerProcess taker;
        if (broker_.Respond(parts[2], process_, status, std::move(parts[4]), &taker) ==
            RequestBroker::RespondResult::NOT_TAKER) {
            RefuseAnswer(parts[2], taker);
        }
        return true;
    }
    if (command == "pullreq") {
        if (!expect(2)) {
            return false;
        }
        // Client id: name "||" version "||" pid; the key is everything before the last "||".
        size_t cut = parts[1].rfind("||");
        if (cut == std::string::npos || cut == 0 || parts[1].find("||") == cut) {
            Close("\"pullreq\" with client id \"" + parts[1] + "\"");
            return false;
        }
        std::string key = parts[1].substr(0, cut);
        if (lastDelivered_) {
            lastDelivered_->MarkTaken();  // the worker read it whole before pulling again
            lastDelivered_.reset();
        }
        if (!HoldOrFail(Held::PULL, command)) {
            return false;
        }
        bool first = key != pullKey_;
        if (first && !pullKey_.empty()) {
            broker_.PeerClosed(this, pullKey_);  // now pulls for another module
        }
        pullKey_ = key;
        broker_.Pull(key, self, first);
        return true;
    }
    if (command == "pullappcfg" || command == "pullappcfgchg" || command == "pullmodloadreq") {
        if (!expect(2)) {
            return false;
        }
        if (command == "pullappcfg") {
            if (!HoldOrFail(Held::CONFIG_CHANGE, command)) {
                return false;
            }
            broker_.PullConfig(self);
        } else if (command == "pullappcfgchg") {
            if (!HoldOrFail(Held::CONFIG_CHANGE, command)) {
                return false;
            }
            broker_.PullConfigChange(self, seenConfig_);
        } else {
            if (!HoldOrFail(Held::DEMAND, command)) {
                return false;
            }
            broker_.PullDemand(self);
        }
        return true;
    }
    Close("unknown command \"" + command.substr(0, 64) + "\"");
    return false;
}

void UdsPeerSession::RefuseAnswer(const std::string& requestId, const PeerProcess& taker) {
    // A process may only answer what it took. The connection stays: a worker that answers a
    // request given to another after a reconnect still has answers of its own to send.
    static LogThrottle throttle(std::chrono::seconds(10));
    size_t heldBack = 0;
    if (throttle.Allow(heldBack)) {
        GatewayLog::Warn("gateway peer " + std::to_string(number_) + " (pid " +
                         std::to_string(process_.Pid()) + "): \"responsereq\" for request " +
                         requestId.substr(0, 64) + ", which process " + std::to_string(taker.Pid()) +
                         " took; refused" + LogThrottle::More(heldBack));
    }
}

void UdsPeerSession::Deliver(std::shared_ptr<PendingRequest> request) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), request = std::move(request)]() mutable {
        if (self->closed_) {
            self->broker_.Requeue(request);
            return;
        }
        self->held_ = Held::NONE;
        OutFrame frame;
        frame.bytes = asio::buffer(request->Frame());
        frame.request = std::move(request);
        self->Send(std::move(frame));
    });
}

void UdsPeerSession::AnswerConfig(std::shared_ptr<const AppConfig> config) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), config = std::move(config)]() mutable {
        if (self->closed_) {
            return;
        }
        self->held_ = Held::NONE;
        self->seenConfig_ = config->Generation();
        OutFrame frame;
        frame.bytes = asio::buffer(config->AppcfgFrame());
        frame.owner = std::move(config);
        self->Send(std::move(frame));
    });
}

void UdsPeerSession::AnswerDemand(const std::string& key) {
    auto text = std::make_shared<std::string>(Serialize({"pullmodloadrsp", key}));
    asio::post(socket_.get_executor(), [self = shared_from_this(), text, key]() {
        if (self->closed_) {
            return;  // the master reconnects and asks again; the module is demanded again then
        }
        self->held_ = Held::NONE;
        GatewayLog::Info("demand " + key);
        OutFrame frame;
        frame.bytes = asio::buffer(*text);
        frame.owner = text;
        self->Send(std::move(frame));
    });
}

void UdsPeerSession::Send(OutFrame frame) {
    out_.push_back(std::move(frame));
    if (!writing_) {
        WriteNext();
    }
}

void UdsPeerSession::WriteNext() {
    if (out_.empty() || closed_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    asio::async_write(socket_, out_.front().bytes,
                      [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                          if (ec) {
                              self->Close("");
                              return;
                          }
                          if (self->out_.front().request) {
                              self->lastDelivered_ = std::move(self->out_.front().request);
                          }
                          self->out_.pop_front();
                          self->WriteNext();
                      });
}

void UdsPeerSession::Close(const std::string& why, bool lastUnread) {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (!why.empty()) {
        GatewayLog::Warn("gateway peer " + std::to_string(number_) + ": " + why + "; connection closed");
    }
    boost::system::error_code ignored;
    socket_.close(ignored);
    broker_.Stats().WorkerConnectionClosed();
    broker_.PeerClosed(this, pullKey_);
    if (lastDelivered_) {
        if (lastUnread) {
            broker_.Requeue(lastDelivered_);
        } else {
            lastDelivered_->MarkTaken();  // nothing was left unread: the worker has it
        }
    }
    lastDelivered_.reset();
    // Requests given to this connection but not yet written go back to their queues. (The one
    // being written may have reached the worker partly; it is put back too: a worker that got
    // half a frame drops it.)
    for (auto& frame : out_) {
        if (frame.request) {
            broker_.Requeue(frame.request);
        }
    }
    // A write in progress still reads the front frame's bytes until its handler runs.
    out_.erase(writing_ ? out_.begin() + 1 : out_.begin(), out_.end());
    if (broker_.ProcessDisconnected(process_, RequestBroker::Clock::now())) {
        // Its last connection: once the grace has passed (a connection the worker opened just
        // before it ended may not be accepted yet), see whether it has ended with requests out.
        auto timer = std::make_shared<asio::steady_timer>(socket_.get_executor(), broker_.EndGrace());
        timer->async_wait([self = shared_from_this(), timer](const boost::system::error_code& ec) {
            if (!ec) {
                self->broker_.FailTakenIfEnded(self->process_, RequestBroker::Clock::now());
            }
        });
    }
}
