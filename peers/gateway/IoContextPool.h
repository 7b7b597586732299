// The event loops of the gateway: one io_context per thread, so a connection's handlers always
// run on one thread and need no locks of their own. New connections are spread round-robin.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <thread>
#include <vector>

class IoContextPool {
public:
    explicit IoContextPool(unsigned count);
    ~IoContextPool();
    IoContextPool(const IoContextPool&) = delete;
    IoContextPool& operator=(const IoContextPool&) = delete;

    boost::asio::io_context& First() { return *contexts_[0]; }
    boost::asio::io_context& Next();
    // Runs the loops; the first one on the calling thread. Returns once Stop() was called and
    // every thread has ended.
    void Run();
    void Stop();

private:
    using Guard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
    std::vector<std::unique_ptr<boost::asio::io_context>> contexts_;
    std::vector<Guard> guards_;
    size_t next_ = 0;  // only touched by the accepting thread
};
