#include "support/ContainerConfig.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <ctime>

#include "support/TestSupport.h"

namespace testsupport {

void WriteContainerConfig(const std::string& home, const std::string& json) {
    static time_t stamp = time(nullptr) - 100000;
    mkdir((home + "/conf").c_str(), 0755);
    std::string path = home + "/conf/container.json";
    WriteFile(path, json);
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = ++stamp;
    times[0].tv_usec = times[1].tv_usec = 0;
    utimes(path.c_str(), times);
}

}  // namespace testsupport
