#include "RequestId.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GatewayLog.h"

namespace {

std::atomic<uint64_t> gCounter{1};

// Random words, fetched from the kernel a batch at a time per thread.
class RandomBatch {
public:
    uint64_t Take() {
        if (next_ == COUNT) {
            Fill();
        }
        return words_[next_++];
    }

private:
    static constexpr size_t COUNT = 64;

    void Fill() {
        auto* p = reinterpret_cast<unsigned char*>(words_);
        size_t left = sizeof(words_);
        while (left > 0) {
            ssize_t n = getrandom(p, left, 0);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                // Guessable ids would let any peer answer any request: better not to run at all.
                GatewayLog::Error(std::string("getrandom failed: ") + strerror(errno));
                std::abort();
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        next_ = 0;
    }

    uint64_t words_[COUNT] = {};
    size_t next_ = COUNT;
};

}  // namespace

std::string RequestId::Next() {
    thread_local RandomBatch batch;
    uint64_t random = batch.Take();
    uint64_t count = gCounter.fetch_add(1, std::memory_order_relaxed);
    char text[40];
    snprintf(text, sizeof(text), "%016llx-%llx", static_cast<unsigned long long>(random),
             static_cast<unsigned long long>(count));
    return text;
}
