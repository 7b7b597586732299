#include "gateway/CModuleRequestReceiver.h"

#include <algorithm>
#include <cstring>

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "common/Log.h"
#include "common/ProcessFlags.h"
#include "gateway/GatewayProtocol.h"
#include "request/ReqHandlerMgt.h"
#include "worker/CModuleMgt.h"

namespace {

// A shutdown of a socket that is not (or no longer) connected is not worth a line.
bool AlreadyClosed(const boost::system::error_code& ec) {
    return ec == boost::asio::error::not_connected || ec == boost::asio::error::bad_descriptor;
}

}  // namespace

std::shared_ptr<CModuleRequestReceiver> CModuleRequestReceiver::create(const std::string& gatewayPath,
                                                                       const ModuleKey& key, CModuleMgt* mgt) {
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
        LOG_INFO("gateway path too long, bytes:" + std::to_string(gatewayPath.size()) + " " + moduleKey.ToString());
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
    // Whatever the old connection had delivered of a reply is gone with it.
    parser.Reset();
    ++connGen;
    if (gatewayPath.size() > MAX_PATH_LEN) {
        LOG_INFO("gateway path too long, bytes:" + std::to_string(gatewayPath.size()) + " " + moduleKey.ToString());
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
    LOG_INFO("onConnect");
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
    auto self = shared_from_this();
    uint64_t gen = connGen;
    boost::asio::async_write(socket, boost::asio::buffer(writeBuf, len),
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
    // One byte per read: a line is never read past its LF, so nothing of a later reply is taken.
    // Reading whatever is available into the buffer (RespStreamParser::FeedBuffer stops at the
    // reply's end) would save the per-byte round trips through the loop.
    auto self = shared_from_this();
    uint64_t gen = connGen;
    boost::asio::async_read(
        socket, boost::asio::buffer(readBuf, sizeof(readBuf)),
        [self](const boost::system::error_code& ec, size_t bytes) { return self->readComplete(ec, bytes); },
        [self, gen](const boost::system::error_code& ec, size_t bytes) { self->onRead(ec, bytes, gen); });
}

size_t CModuleRequestReceiver::readComplete(const boost::system::error_code& ec, size_t bytes) {
    if (ec) {
        LOG_INFO("readComplete err:" + ec.message());
        return 0;
    }
    // Bytes arrive one at a time, so an LF can only be the last one.
    if (bytes > 0 && readBuf[bytes - 1] == '\n') {
        return 0;
    }
    if (bytes >= BUF_SIZE) {
        LOG_INFO("reach max msg");
        return 0;
    }
    return 1;
}

void CModuleRequestReceiver::onRead(const boost::system::error_code& ec, size_t bytes, uint64_t gen) {
    if (ec) {
        LOG_ERROR_CODE(ec.value(), "onRead fails:" + ec.message());
        return;
    }
    if (gen != connGen) {
        return;
    }
    bool complete = false;
    int32_t rc = ParseOneMsg(bytes, complete);
    if (rc != 0) {
        LOG_INFO("parseOneMsg fail," + std::to_string(rc));
        parser.Reset();
        doWrite(pullMsg);
        return;
    }
    if (bytes == BUF_SIZE && readBuf[bytes - 1] != '\n') {
        LOG_INFO("msg trunc, " + std::to_string(bytes) + std::to_string(bytes));
        doRead();
        return;
    }
    if (!complete) {
        doRead();
        return;
    }
    HandleMessage(parser.TakeValues());
    parser.Reset();
    doWrite(pullMsg);
}

int32_t CModuleRequestReceiver::ParseOneMsg(size_t bytes, bool& complete) {
    complete = false;
    switch (parser.FeedRead(readBuf, bytes)) {
        case RespStreamParser::Result::BAD:
            return -1;
        case RespStreamParser::Result::COMPLETE:
            complete = true;
            return 0;
        case RespStreamParser::Result::NEED_MORE:
            break;
    }
    return 0;
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
