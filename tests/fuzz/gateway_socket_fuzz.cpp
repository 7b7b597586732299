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
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AppConfig.h"
#include "FuzzSupport.h"
#include "GatewayLog.h"
#include "RequestBroker.h"
#include "UdsPeerSession.h"

namespace {

const char CONFIG[] =
    "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"},"
    "{\"Name\":\"echo\",\"Version\":\"2\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"}]}";

// Owns both requests, and is the worker of another process (pid 1) that took "taken".
struct Fake : IRequestOwner, IGatewayPeer {
    std::map<std::string, int> finished;
    PeerProcess process{1, 1};
    void Complete(std::shared_ptr<PendingRequest> request, unsigned, std::string) override {
        ++finished[request->Id()];
    }
    void Deliver(std::shared_ptr<PendingRequest>) override {}
    void AnswerConfig(std::shared_ptr<const AppConfig>) override {}
    void AnswerDemand(const std::string&) override {}
    const PeerProcess& Process() const override { return process; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    GatewayLog::SetOutput(open("/dev/null", O_WRONLY | O_CLOEXEC));  // each protocol breach is logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size), split("\0\0next\n", 7);
    const size_t cut = input.find(split);
    std::vector<std::string> streams{input.substr(0, cut)};
    if (cut != std::string::npos) streams.push_back(input.substr(cut + split.size()));
    std::vector<int> far(streams.size());
    auto owner = std::make_shared<Fake>();
    {
        boost::asio::io_context context;
        std::string error;
        RequestBroker broker{RequestBroker::Limits()};
        broker.SetConfig(AppConfig::Parse(CONFIG, 1, error));
        broker.Pull("calc||1.0", owner, true);
        broker.Submit("calc", std::make_shared<PendingRequest>("taken", "frame", owner),
                      RequestBroker::Clock::now());
        const std::string message = "*4\r\n$7\r\nmessage\r\n$4\r\ncalc\r\n$6\r\nqueued\r\n$2\r\n{}\r\n";
        broker.Submit("calc", std::make_shared<PendingRequest>("queued", message, owner),
                      RequestBroker::Clock::now());
        for (size_t i = 0; i < streams.size(); ++i) {
            int fds[2];
            FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
            far[i] = fds[1];
            // What fits in the socket's buffer, all of a small input.
            send(far[i], streams[i].data(), streams[i].size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            shutdown(far[i], SHUT_WR);
            UdsPeerSession::Socket socket(context, boost::asio::local::stream_protocol(), fds[0]);
            std::make_shared<UdsPeerSession>(std::move(socket), broker, i + 1)->Start();
        }
        auto drained = [&far] {  // the answers, dropped: true when there were any
            bool any = false;
            char buf[65536];
            for (int fd : far)
                while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) any = true;
            return any;
        };
        while (context.poll() > 0 || drained()) {
        }
        broker.Clear();  // held pulls keep their sessions: they must go before the event loop does
    }
    for (int fd : far) close(fd);
    FUZZ_CHECK(owner->finished.count("taken") == 0);
    FUZZ_CHECK(owner->finished.count("queued") == 0 || input.find("pullreq") != std::string::npos);
    for (const auto& entry : owner->finished) FUZZ_CHECK(entry.second == 1);
    return 0;
}
