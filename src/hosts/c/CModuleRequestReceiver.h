// Pulls one C module's requests from the gateway on the worker's shared event loop: sends
// "pullreq", reads the "message" line by line, queues the request for the handler pool and pulls
// again at once. The registry stops, drains and reconnects it from other threads.
// The socket is read in chunks of whatever is available (one read per message as a rule), and
// each chunk goes straight to the incremental parser, which keeps a partial message itself.
//
// Threading: every socket operation and completion handler runs on the event-loop thread; stop,
// SetNotReceive, reconect and start may be called from any thread and only post their socket work
// to the loop. The receiving state is atomic. Pending handlers hold a shared_ptr to the receiver,
// so it lives until the last of them has run. No lock is owned.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hosts/c/RequestPojo.h"
#include "model/ModuleKey.h"
#include "proto/RespStreamParser.h"
#include "worker/IRequestReceiver.h"

class CModuleMgt;

class CModuleRequestReceiver : public IRequestReceiver,
                               public std::enable_shared_from_this<CModuleRequestReceiver>,
                               private boost::noncopyable {
public:
    static constexpr size_t BUF_SIZE = 10240;
    // sun_path holds 108 bytes including the terminating NUL.
    static constexpr size_t MAX_PATH_LEN = 107;

    // A receiver in state receiving with its socket closed; the caller registers and starts it.
    static std::shared_ptr<CModuleRequestReceiver> create(const std::string& gatewayPath,
                                                          const ModuleKey& key, CModuleMgt* mgt);
    ~CModuleRequestReceiver() override;

    // 0 once the connect is under way; -1 when the gateway path does not fit a socket address.
    int32_t start() override;
    void stop() override;
    void SetNotReceive() override;
    bool IsNotReceiving() override { return receivingState.load() < STATE_RECEIVING; }
    void reconect() override;
    bool CheckStopOver() override { return true; }
    bool ModuleHealthCheck() override { return true; }

    int32_t State() const { return receivingState.load(); }
    const ModuleKey& Key() const { return moduleKey; }

    // One request as it arrives: the message values into request. 0, or -1 (logged).
    static int32_t parseRequest(const std::vector<std::string>& values, RequestPojo& request);

private:
    CModuleRequestReceiver(const std::string& gatewayPath, const ModuleKey& key, CModuleMgt* mgt);

    // Loop-thread parts of the cycle. gen is the connection generation the operation was started
    // on: completions of a connection that reconect has replaced are ignored.
    void Connect();
    void onConnect(const boost::system::error_code& ec, uint64_t gen);
    void doWrite(const std::string& msg);
    void onWrite(const boost::system::error_code& ec, uint64_t gen);
    void doRead();
    void onRead(const boost::system::error_code& ec, size_t bytes, uint64_t gen);
    // Feeds the buffered bytes to the parser: NEED_MORE when all were taken and the message is
    // incomplete, else the message was handled (HANDLED) or bad (BAD, logged); a pull follows
    // either, and bytes after the message stay buffered for the next round.
    enum class Step { NEED_MORE, BAD, HANDLED };
    Step ConsumeBuffered();
    // Before a reconnect: reads and handles what the gateway already sent on this connection.
    void TakeDeliveredMessage();
    void HandleMessage(const std::vector<std::string>& values);
    int32_t CheckAndLoadModule();
    void CloseSocket();
    // Runs on the loop. With a read outstanding, the reconnect waits for its completion: that
    // read may already hold a message the gateway handed over, which must not be dropped.
    void ReconnectInLoop();
    void ReconnectNow();

    boost::asio::local::stream_protocol::socket socket;
    boost::asio::io_context::executor_type executor;
    // Bytes read and not yet handed to the parser are readBuf[bufStart, bufEnd). Bytes after a
    // complete message (the gateway sends none) wait for the next pull, as they would on the socket.
    char readBuf[BUF_SIZE];
    size_t bufStart = 0;  // loop thread only
    size_t bufEnd = 0;
    char writeBuf[BUF_SIZE];
    std::atomic<int32_t> receivingState{STATE_RECEIVING};
    const std::string gatewayPath;
    const std::string pullMsg;
    const ModuleKey moduleKey;
    CModuleMgt* const moduleMgt;
    RespStreamParser parser;
    uint64_t connGen = 0;             // touched on the loop thread only
    bool reading = false;             // an async read is outstanding (loop thread only)
    bool reconnectAfterRead = false;  // a reconnect waits for that read's completion
};
