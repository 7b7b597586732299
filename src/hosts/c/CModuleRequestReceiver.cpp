#include "hosts/c/CModuleRequestReceiver.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cstring>

#include "base/Log.h"
#include "base/PeerTrust.h"
#include "base/ProcessFlags.h"
#include "hosts/c/CModuleMgt.h"
#include "hosts/c/ReqHandlerMgt.h"
#include "proto/GatewayProtocol.h"

namespace {

// A shutdown of a socket that is not (or no longer) connected is not worth a line.
bool AlreadyClosed(const boost::system::error_code& ec) {
    return ec == boost::asio::error::not_connected || ec == boost::asio::error::bad_descriptor;
}

}  // namespace

std::shared_ptr<CModuleRequestReceiver> CModuleRequestReceiver::create(const std::string& gatewayPath,
                                                                       const ModuleKey& key,
                                                                       CModuleMgt* mgt) {
    return std::shared_ptr<CModuleRequestReceiver>(new CModuleRequestReceiver(gatewayPath, key, mgt));
}

CModuleRequestReceiver::CModuleRequestReceiver(const std::string& gatewayPath, const ModuleKey& key,
                                               CModuleMgt* mgt)
    : socket(CModuleMgt::IoContext()),
      executor(CModuleMgt::IoContext().get_executor()),
      gatewayPath(gatewayPath),
      pullMsg(Serialize(BuildPullReq(key))),
      moduleKey(key),
      moduleMgt(mgt) {
    memset(readBuf, 0, sizeof(readBuf));
    memset(writeBuf, 0, sizeof(writeBuf));
    LOG_INFO("create " + gatewayPath + ":" + key.GetName() + ":" + key.GetVersion());
}

CModuleRequestReceiver::~CModuleRequestReceiver() {
    // Only reached once no handler or posted operation refers to the receiver any more.
    boost::system::error_code ec;
    socket.close(ec);
}

int32_t CModuleRequestReceiver::start() {
    if (gatewayPath.size() > MAX_PATH_LEN) {
        LOG_INFO("gateway path too long, bytes:" + std::to_string(gatewayPath.size()) + " " +
                 moduleKey.ToString());
        return -1;
    }
    auto self = shared_from_this();
    boost::asio::post(executor, [self] { self->Connect(); });
    return 0;
}

void CModuleRequestReceiver::stop() {
    if (receivingState.exchange(STATE_STOPPED) == STATE_STOPPED) {
        return;
    }
    auto self = shared_from_this();
    boost::asio::post(executor, [self] { self->CloseSocket(); });
}

void CModuleRequestReceiver::SetNotReceive() {
    int32_t state = receivingState.load();
    while (state != STATE_STOPPED && !receivingState.compare_exchange_weak(state, STATE_NOT_RECEIVING)) {
    }
}

void CModuleRequestReceiver::reconect() {
    int exiting = workerExiting.load();
    if (exiting != 0) {
        LOG_INFO("reconnect, exiting status:" + std::to_string(exiting));
        return;
    }
    LOG_INFO("reconnect");
    auto self = shared_from_this();
    boost::asio::post(executor, [self] { self->ReconnectInLoop(); });
}

void CModuleRequestReceiver::ReconnectInLoop() {
    if (reading) {
        // The read may have completed with a message whose handler has not run yet: let it run
        // (cancel ends the read at once if nothing came), then reconnect.
        reconnectAfterRead = true;
        boost::system::error_code ec;
        socket.cancel(ec);
        return;
    }
    ReconnectNow();
}

void CModuleRequestReceiver::ReconnectNow() {
    reconnectAfterRead = false;
    // A request the gateway already handed over on this connection is taken, not dropped with it.
    TakeDeliveredMessage();
    boost::system::error_code ec;
    socket.shutdown(boost::asio::socket_base::shutdown_both, ec);
    if (ec && !AlreadyClosed(ec)) {
        LOG_INFO("sock shutdown fail, " + ec.message());
    }
    ec.clear();
    socket.close(ec);
    if (ec) {
        LOG_INFO("sock close fail, " + ec.message());
    }
    // Whatever the old connection had delivered of a message is gone with it.
    parser.Reset();
    bufStart = bufEnd = 0;
    ++connGen;
    if (gatewayPath.size() > MAX_PATH_LEN) {
        LOG_INFO("gateway path too long, bytes:" + std::to_string(gatewayPath.size()) + " " +
                 moduleKey.ToString());
        return;
    }
    Connect();
}

void CModuleRequestReceiver::Connect() {
    auto self = shared_from_this();
    uint64_t gen = connGen;
    socket.async_connect(boost::asio::local::stream_protocol::endpoint(gatewayPath),
                         [self, gen](const boost::system::error_code& ec) { self->onConnect(ec, gen); });
}

void CModuleRequestReceiver::CloseSocket() {
    boost::system::error_code ec;
    socket.close(ec);
}

void CModuleRequestReceiver::onConnect(const boost::system::error_code& ec, uint64_t gen) {
    if (gen != connGen) {
        return;  // a connect that reconect has abandoned
    }
    if (ec) {
        LOG_INFO("connect fail," + ec.message());
        stop();
        return;
    }
    if (int err = CheckPeerTrusted(socket.native_handle(), PeerTrust::Gateway); err != 0) {
        LOG_INFO("connect fail," + std::string(strerror(err)));
        stop();
        return;
    }
    LOG_INFO("onConnect");
    // doWrite tries the pull at once and must not block the loop when the socket is full.
    boost::system::error_code nbEc;
    socket.non_blocking(true, nbEc);
    doWrite(pullMsg);
}

void CModuleRequestReceiver::doWrite(const std::string& msg) {
    int exiting = workerExiting.load();
    if (receivingState.load() != STATE_RECEIVING || exiting != 0) {
        LOG_INFO("not start, exiting status:" + std::to_string(exiting));
        return;
    }
    size_t len = std::min(msg.size(), BUF_SIZE);
    memcpy(writeBuf, msg.data(), len);
    uint64_t gen = connGen;
    // The pull is a few dozen bytes and the socket is nearly always writable: sent here, it
    // saves a trip through the event loop per request. Only what does not fit at once (or a
    // socket not yet in non-blocking mode) goes the asynchronous way.
    size_t sent = 0;
    if (socket.non_blocking()) {
        boost::system::error_code ec;
        sent = socket.send(boost::asio::buffer(writeBuf, len), 0, ec);
        if (ec && ec != boost::asio::error::would_block && ec != boost::asio::error::try_again) {
            onWrite(ec, gen);
            return;
        }
        if (ec) {
            sent = 0;
        }
        if (sent == len) {
            onWrite(ec, gen);
            return;
        }
    }
    auto self = shared_from_this();
    boost::asio::async_write(
        socket, boost::asio::buffer(writeBuf + sent, len - sent),
        [self, gen](const boost::system::error_code& ec, size_t) { self->onWrite(ec, gen); });
}

void CModuleRequestReceiver::onWrite(const boost::system::error_code& ec, uint64_t gen) {
    if (ec) {
        LOG_INFO("onWrite fails, msg:" + ec.message());
        return;
    }
    if (gen != connGen) {
        return;
    }
    doRead();
}

void CModuleRequestReceiver::doRead() {
    // Bytes already buffered (they followed the last message) are parsed before the socket is
    // read again.
    if (bufStart < bufEnd) {
        // Through the loop, not a direct call: a buffer full of small bad messages would
        // otherwise nest one call chain per message.
        auto self = shared_from_this();
        uint64_t gen = connGen;
        boost::asio::post(executor, [self, gen] { self->onRead(boost::system::error_code(), 0, gen); });
        return;
    }
    bufStart = bufEnd = 0;
    auto self = shared_from_this();
    uint64_t gen = connGen;
    reading = true;
    socket.async_read_some(
        boost::asio::buffer(readBuf, BUF_SIZE),
        [self, gen](const boost::system::error_code& ec, size_t bytes) { self->onRead(ec, bytes, gen); });
}

void CModuleRequestReceiver::onRead(const boost::system::error_code& ec, size_t bytes, uint64_t gen) {
    if (gen == connGen) {
        reading = false;  // a completion of this connection's read (or a posted round: none was out)
        if (reconnectAfterRead) {
            if (!ec && bytes > 0) {
                bufEnd += bytes;
                (void)ConsumeBuffered();
            }
            ReconnectNow();
            return;
        }
    }
    if (ec) {
        LOG_INFO("readComplete err:" + ec.message());
        LOG_ERROR_CODE(ec.value(), "onRead fails:" + ec.message());
        return;
    }
    if (gen != connGen) {
        return;
    }
    bufEnd += bytes;
    if (ConsumeBuffered() == Step::NEED_MORE) {
        doRead();
        return;
    }
    doWrite(pullMsg);
}

CModuleRequestReceiver::Step CModuleRequestReceiver::ConsumeBuffered() {
    size_t consumed = 0;
    RespStreamParser::Result result = parser.FeedBuffer(readBuf + bufStart, bufEnd - bufStart, consumed);
    bufStart += consumed;
    switch (result) {
        case RespStreamParser::Result::NEED_MORE:
            return Step::NEED_MORE;  // the parser holds what it took: the buffer is free again
        case RespStreamParser::Result::BAD:
            LOG_INFO("parseOneMsg fail,-1");
            return Step::BAD;
        case RespStreamParser::Result::COMPLETE:
            break;
    }
    HandleMessage(parser.TakeValues());
    return Step::HANDLED;
}

void CModuleRequestReceiver::TakeDeliveredMessage() {
    // The gateway answers the pull still outstanding with at most one message; whatever of it has
    // arrived is read now, without waiting for more.
    boost::system::error_code ec;
    while (socket.is_open() && socket.available(ec) > 0 && !ec) {
        if (bufStart < bufEnd && ConsumeBuffered() != Step::NEED_MORE) {
            return;
        }
        size_t n = socket.read_some(boost::asio::buffer(readBuf, BUF_SIZE), ec);
        if (ec || n == 0) {
            return;
        }
        bufStart = 0;
        bufEnd = n;
        if (ConsumeBuffered() != Step::NEED_MORE) {
            return;
        }
    }
}

int32_t CModuleRequestReceiver::parseRequest(const std::vector<std::string>& values, RequestPojo& request) {
    if (values.size() < 4) {
        LOG_INFO("CModuleRequestReceiver::parseRequest input param error");
        return -1;
    }
    if (values[0] != "message") {
        LOG_INFO("cmd not ok" + values[0]);
        return -1;
    }
    LOG_INFO("CModuleRequestReceiver::parseRequest, " + values[1]);
    request.requestId = values[2];
    request.requestStr = values[3];
    std::string err;
    if (!request.ParseGatewayRequest(values[3], err)) {
        LOG_INFO("parse requestStr fail," + err);
        return -1;
    }
    return 0;
}

void CModuleRequestReceiver::HandleMessage(const std::vector<std::string>& values) {
    RequestPojo request;
    int32_t rc = parseRequest(values, request);
    if (rc != 0) {
        LOG_INFO("parseRequest fail," + std::to_string(rc));
        return;
    }
    if (CheckAndLoadModule() != 0) {
        LOG_INFO("request drops," + moduleKey.GetName());
        return;
    }
    request.moduleName = moduleKey.GetName();
    request.version = moduleKey.GetVersion();
    moduleMgt->IncreRef(moduleKey);
    ReqHandlerMgt::getInstance()->addToMsgQueue(request);
}

int32_t CModuleRequestReceiver::CheckAndLoadModule() {
    int32_t rc = moduleMgt->CheckAndLoadModule(moduleKey);
    if (rc != 0) {
        LOG_INFO("loadModule fail," + std::to_string(rc));
    }
    return rc;
}
