// The C worker's request queue, its dispatcher, and the pool of 16 handler threads that run
// requests in their modules. Process-wide singleton.
//
// While the reply connection is up and nothing waits for it, a request read on the receivers'
// loop runs on the loop's thread once the pull after it is sent (LoopRunners), or, when that
// thread may not take it, goes straight to the pool; otherwise it waits in the queue, and the
// dispatcher brings the connection back and hands the queue out in order.
//
// Locking: the queue's own mutex guards the queued requests, their count and the wake flag; the
// pause mutex only pairs the retry pause with Wake(). Order: pause mutex, then queue mutex.
// Neither is held while the gateway is contacted, a task is posted or a module runs.
#pragma once

#include <chrono>
#include <cstddef>

#include "hosts/c/RequestPojo.h"

class ReqHandlerMgt {
public:
    static constexpr size_t POOL_THREADS = 16;
    // How many handlers one module may hold: most, never all (a neighbour's request starts at
    // once however slow the first module's requests are).
    static constexpr size_t MODULE_SHARE = 12;
    static constexpr std::chrono::milliseconds DEFAULT_RETRY_PAUSE{10000};

    static ReqHandlerMgt* getInstance();

    // Hands a request to the pool, or queues it while the reply connection is not up (the
    // receiver has already counted it against its module).
    void addToMsgQueue(const RequestPojo& request);
    void addToMsgQueue(RequestPojo&& request);
    // The dispatcher: runs until the queue is empty after a graceful quit or a wake.
    void run();
    // Makes the dispatcher give up waiting (set once, never cleared).
    void Wake();
    // True when nothing is queued.
    bool QueueEmpty();
    // Requests accepted and not yet answered (queued, dispatched or running): counted from
    // addToMsgQueue until their reply was sent or failed.
    size_t InFlight();

    // How long the dispatcher waits before it retries an unreachable gateway (10 s unless a
    // test shortens it).
    static void SetRetryPause(std::chrono::milliseconds pause);

private:
    ReqHandlerMgt();
    ~ReqHandlerMgt() = delete;
    void Dispatch(RequestPojo&& request);
    void Post(RequestPojo&& request);
    // Leaves request to run on the loop's thread, within its module's share of the handlers.
    bool RunOnLoop(RequestPojo& request);
    void PauseBeforeRetry();
    struct Impl;
    Impl* impl;
};
