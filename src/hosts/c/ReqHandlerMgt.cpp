#include "hosts/c/ReqHandlerMgt.h"

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "base/BlockQueue.h"
#include "base/Log.h"
#include "base/ProcessFlags.h"
#include "hosts/c/HandlerPool.h"
#include "hosts/c/LoopRunners.h"
#include "hosts/c/RequestHandler.h"
#include "hosts/c/RequestReply.h"

namespace {

std::mutex creationMutex;
std::atomic<ReqHandlerMgt*> instance{nullptr};
std::atomic<int64_t> retryPauseMs{ReqHandlerMgt::DEFAULT_RETRY_PAUSE.count()};

// The pool threads inherit the creating thread's signal mask; with everything blocked while they
// start, signals keep going to the thread that waits for them.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t old;
};

}  // namespace

struct ReqHandlerMgt::Impl {
    BlockQueue<RequestPojo> queue;  // its stop flag is the wake flag
    std::atomic<size_t> inFlight{0};
    std::mutex pauseMutex;
    std::condition_variable pauseCond;
    // A request counts as in flight until its handler is done with it.
    HandlerPool pool{POOL_THREADS, MODULE_SHARE, [this](RequestPojo& request) {
                         RequestHandler::run(request);
                         inFlight.fetch_sub(1);
                     }};
};

ReqHandlerMgt* ReqHandlerMgt::getInstance() {
    ReqHandlerMgt* existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return existing;
    }
    std::lock_guard<std::mutex> lock(creationMutex);
    existing = instance.load(std::memory_order_relaxed);
    if (existing == nullptr) {
        AllSignalsBlocked blocked;
        existing = new ReqHandlerMgt();
        instance.store(existing, std::memory_order_release);
    }
    return existing;
}

ReqHandlerMgt::ReqHandlerMgt() : impl(new Impl()) {}

void ReqHandlerMgt::SetRetryPause(std::chrono::milliseconds pause) {
    retryPauseMs = pause.count();
}

void ReqHandlerMgt::addToMsgQueue(const RequestPojo& request) {
    addToMsgQueue(RequestPojo(request));
}

void ReqHandlerMgt::addToMsgQueue(RequestPojo&& request) {
    LOG_INFO(request.moduleName + ":" + request.version);
    // Counted before it is visible in the queue, so "nothing in flight" never misses it.
    impl->inFlight.fetch_add(1);
    // Behind requests that wait for the gateway, a request waits too: they go out in order.
    if (impl->queue.Empty() && RequestReply::getInstance()->IsConnected()) {
        if (!RunOnLoop(request)) {
            Post(std::move(request));
        }
        return;
    }
    impl->queue.Push(std::move(request));
}

bool ReqHandlerMgt::RunOnLoop(RequestPojo& request) {
    LoopRunners& loop = LoopRunners::Instance();
    std::string label = request.moduleName + ":" + request.version;
    if (!loop.MayRunHere(label) || !impl->pool.StartElsewhere(request)) {
        return false;
    }
    loop.RunHere(label, [this, request = std::move(request)]() {
        RequestHandler::run(request);
        impl->pool.EndElsewhere(request);
        impl->inFlight.fetch_sub(1);
    });
    LOG_INFO("next " + label);
    return true;
}

void ReqHandlerMgt::Post(RequestPojo&& request) {
    std::string label = request.moduleName + ":" + request.version;
    impl->pool.Post(std::move(request));
    LOG_INFO("next " + label);
}

void ReqHandlerMgt::run() {
    for (;;) {
        int exiting = workerExiting.load();
        bool woken = impl->queue.Stopped();
        // Only the stop's wake ends it, not the worker's quit alone: until the receivers' loop has
        // ended (the stop joins it before waking this), a message already pulled may still be
        // queued, and with nobody left to dispatch it the drain would never end.
        if (woken && impl->queue.Empty()) {
            LOG_INFO("handler exist " + std::string(woken ? "1" : "0") + ":" + std::to_string(exiting));
            return;
        }
        RequestPojo request;
        if (!impl->queue.Pop(request)) {
            // Woken with nothing queued: request is still the empty one.
            LOG_INFO("force wake up " + request.moduleName + ":" + request.version);
            continue;
        }
        Dispatch(std::move(request));
    }
}

void ReqHandlerMgt::Dispatch(RequestPojo&& request) {
    if (RequestReply::getInstance()->ConnectToGW() == 0) {
        Post(std::move(request));
        return;
    }
    if (impl->queue.Stopped()) {
        // Stopping with no gateway: the reply has nowhere to go, and re-queueing would keep the
        // dispatcher (and the Stop() that joins it) alive for ever.
        RequestHandler::Drop(request);
        impl->inFlight.fetch_sub(1);
        return;
    }
    // Never dropped while running: back to the end of the queue until the gateway is back.
    impl->queue.Push(std::move(request));
    PauseBeforeRetry();
}

void ReqHandlerMgt::PauseBeforeRetry() {
    std::unique_lock<std::mutex> lock(impl->pauseMutex);
    impl->pauseCond.wait_for(lock, std::chrono::milliseconds(retryPauseMs.load()),
                             [this] { return impl->queue.Stopped(); });
}

void ReqHandlerMgt::Wake() {
    impl->queue.Stop();
    {
        // Taken so a dispatcher between its check and its wait cannot miss the wake.
        std::lock_guard<std::mutex> lock(impl->pauseMutex);
    }
    impl->pauseCond.notify_all();
}

bool ReqHandlerMgt::QueueEmpty() {
    return impl->queue.Empty();
}

size_t ReqHandlerMgt::InFlight() {
    return impl->inFlight.load();
}
