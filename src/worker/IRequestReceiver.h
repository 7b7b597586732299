// What every module's request receiver offers the worker's registry: start, stop, drain,
// reconnect, and whether its work is over.
#pragma once

#include <cstdint>

class IRequestReceiver {
public:
    static constexpr int32_t STATE_STOPPED = 0;
    static constexpr int32_t STATE_NOT_RECEIVING = 1;
    static constexpr int32_t STATE_RECEIVING = 2;

    virtual int32_t start() = 0;
    // Stops for good: no new requests, connection closed.
    virtual void stop() = 0;
    // Takes no new requests (drain), unless already stopped.
    virtual void SetNotReceive() = 0;
    // True when the receiver takes no new requests.
    virtual bool IsNotReceiving() = 0;
    // Drops and re-opens the gateway connection.
    virtual void reconect() = 0;
    // True when nothing of the module's work is in flight.
    virtual bool CheckStopOver() = 0;
    // True when the module is ready to serve.
    virtual bool ModuleHealthCheck() = 0;
    virtual ~IRequestReceiver() = default;
};
