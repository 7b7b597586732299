#include "proto/RespFrame.h"

RespFrameResult CheckRespFrame(const char* data, size_t size, std::vector<std::string>* parts) {
    RespStreamParser reader(RespStreamParser::Mode::ANY);
    RespFrameResult result;
    size_t consumed = 0;
    switch (reader.FeedBuffer(data, size, consumed)) {
        case RespStreamParser::Result::NEED_MORE:
            break;
        case RespStreamParser::Result::BAD:
            result.status = RespFrameStatus::BAD;
            result.error = reader.Error();
            break;
        case RespStreamParser::Result::COMPLETE:
            result.status = RespFrameStatus::COMPLETE;
            result.length = consumed;
            if (parts != nullptr) {
                for (std::string& value : reader.TakeValues()) {
                    parts->push_back(std::move(value));
                }
            }
            break;
    }
    return result;
}
