// The gateway socket as a peer sees it: any bytes on up to two connections of one process (the
// input, split at "\0\0next\n"). Before they arrive, request "taken" has been handed to another
// process and "queued" waits for a pull of calc 1.0. Whatever is sent: nothing crashes or leaks,
// "taken" is never finished from here (only the process that took a request answers it),
// "queued" is finished only when these connections pulled (never while it waits in its queue),
// and no request is finished twice.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "FuzzCheck.h"
#include "GatewayLog.h"
#include "RequestBroker.h"
#include "UdsPeerSession.h"

namespace {

const char CONFIG[] =
    "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"},"
    "{\"Name\":\"echo\",\"Version\":\"2\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"}]}";
const std::string SPLIT("\0\0next\n", 7);

struct Owner : IRequestOwner {
    std::map<std::string, int> finished;
    void Complete(std::shared_ptr<PendingRequest> request, unsigned, std::string) override {
        ++finished[request->Id()];
    }
};

// A worker of another process (pid 1) that pulled calc 1.0.
struct OtherWorker : IGatewayPeer {
    PeerProcess process{1, 1};
    void Deliver(std::shared_ptr<PendingRequest>) override {}
    void AnswerConfig(std::shared_ptr<const AppConfig>) override {}
    void AnswerDemand(const std::string&) override {}
    const PeerProcess& Process() const override { return process; }
};

// The far end of one connection and what it still has to send.
struct Far {
    int fd = -1;
    std::string toSend;
    size_t sent = 0;
};

// Sends what fits and reads (and drops) what came; true when anything moved.
bool Pump(Far& far) {
    bool moved = false;
    if (far.sent < far.toSend.size()) {
        ssize_t n = send(far.fd, far.toSend.data() + far.sent, far.toSend.size() - far.sent,
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            far.sent += static_cast<size_t>(n);
            moved = true;
        } else if (n < 0 && errno != EAGAIN) {
            far.sent = far.toSend.size();  // the gateway closed the connection
        }
        if (far.sent == far.toSend.size()) {
            shutdown(far.fd, SHUT_WR);
        }
    }
    char buf[65536];
    ssize_t n;
    while ((n = recv(far.fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
        moved = true;
    }
    return moved;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The sessions log every protocol breach; keep libFuzzer's output readable.
    GatewayLog::SetOutput(open("/dev/null", O_WRONLY | O_CLOEXEC));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> streams;
    size_t cut = input.find(SPLIT);
    streams.push_back(input.substr(0, cut));
    if (cut != std::string::npos) {
        streams.push_back(input.substr(cut + SPLIT.size()));
    }

    boost::asio::io_context context;
    auto owner = std::make_shared<Owner>();
    std::vector<Far> far(streams.size());
    {
        std::string error;
        RequestBroker broker{RequestBroker::Limits()};
        broker.SetConfig(AppConfig::Parse(CONFIG, 1, error));
        auto taken = std::make_shared<PendingRequest>("taken", "frame", owner);
        auto queued = std::make_shared<PendingRequest>(
            "queued", "*4\r\n$7\r\nmessage\r\n$4\r\ncalc\r\n$6\r\nqueued\r\n$2\r\n{}\r\n", owner);
        auto other = std::make_shared<OtherWorker>();
        broker.Pull("calc||1.0", other, true);
        broker.Submit("calc", taken, RequestBroker::Clock::now());
        broker.Submit("calc", queued, RequestBroker::Clock::now());

        for (size_t i = 0; i < streams.size(); ++i) {
            int fds[2];
            FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
            far[i].fd = fds[1];
            far[i].toSend = std::move(streams[i]);
            if (far[i].toSend.empty()) {
                shutdown(fds[1], SHUT_WR);
            }
            UdsPeerSession::Socket socket(context, boost::asio::local::stream_protocol(), fds[0]);
            std::make_shared<UdsPeerSession>(std::move(socket), broker, i + 1)->Start();
        }
        for (;;) {
            bool moved = false;
            for (Far& f : far) {
                moved = Pump(f) || moved;
            }
            if (context.poll() == 0 && !moved) {
                break;
            }
        }
        // Held pulls keep their sessions; they must go before the event loop does.
        broker.Clear();
    }
    bool pulled = false;
    for (Far& f : far) {
        pulled = pulled || f.toSend.find("pullreq") != std::string::npos;
        close(f.fd);
    }
    FUZZ_CHECK(owner->finished.count("taken") == 0);
    FUZZ_CHECK(owner->finished.count("queued") == 0 || pulled);
    for (const auto& entry : owner->finished) {
        FUZZ_CHECK(entry.second == 1);
    }
    return 0;
}
