#include "IoContextPool.h"

IoContextPool::IoContextPool(unsigned count) {
    for (unsigned i = 0; i < (count == 0 ? 1 : count); ++i) {
        // Each context is run by exactly one thread: tell Asio so it can skip its locking.
        contexts_.push_back(std::make_unique<boost::asio::io_context>(1));
        guards_.push_back(boost::asio::make_work_guard(*contexts_.back()));
    }
}

IoContextPool::~IoContextPool() {
    Stop();
}

boost::asio::io_context& IoContextPool::Next() {
    boost::asio::io_context& ctx = *contexts_[next_];
    next_ = (next_ + 1) % contexts_.size();
    return ctx;
}

void IoContextPool::Run() {
    std::vector<std::thread> threads;
    for (size_t i = 1; i < contexts_.size(); ++i) {
        threads.emplace_back([ctx = contexts_[i].get()]() { ctx->run(); });
    }
    contexts_[0]->run();
    for (auto& t : threads) {
        t.join();
    }
}

void IoContextPool::Stop() {
    guards_.clear();
    for (auto& ctx : contexts_) {
        ctx->stop();
    }
}
