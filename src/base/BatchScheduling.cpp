#include "base/BatchScheduling.h"

#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <string.h>

#include <cstdlib>
#include <string>

#include "base/Log.h"

namespace {

// A thread started by one not yet changed, while a pass ran, is found by the next pass.
constexpr int MAX_PASSES = 5;

}  // namespace

void BatchScheduling::Pass(int& changed, int& failed, int& error) {
    changed = 0;
    failed = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        failed = 1;
        error = errno;
        return;
    }
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long tid = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || tid <= 0) {
            continue;
        }
        // On Linux these calls take a thread id and act on that thread alone.
        const int policy = sched_getscheduler(static_cast<pid_t>(tid));
        if (policy == SCHED_BATCH || (policy < 0 && errno == ESRCH)) {
            continue;  // done, or the thread has ended
        }
        sched_param param{};
        if (sched_setscheduler(static_cast<pid_t>(tid), SCHED_BATCH, &param) == 0) {
            ++changed;
        } else if (errno != ESRCH) {
            ++failed;
            error = errno;
        }
    }
    closedir(dir);
}

int BatchScheduling::ApplyToProcess() {
    int total = 0;
    int changed = 0;
    int failed = 0;
    int error = 0;
    for (int pass = 0; pass < MAX_PASSES; ++pass) {
        Pass(changed, failed, error);
        total += changed;
        if (changed == 0) {
            break;
        }
    }
    if (failed > 0) {
        LOG_WARN("batch scheduling: " + std::to_string(failed) +
                 " threads keep their policy: " + strerror(error));
    } else {
        LOG_INFO("batch scheduling: " + std::to_string(total) + " threads changed");
    }
    return failed;
}
