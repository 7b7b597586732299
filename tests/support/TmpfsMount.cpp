#include "support/TmpfsMount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace testsupport {

TmpfsMount::TmpfsMount(const std::string& dir, unsigned long flags, const std::string& options) : dir_(dir) {
    error_ = mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) == 0 ? 0 : errno;
}

TmpfsMount::~TmpfsMount() {
    if (Mounted()) umount2(dir_.c_str(), MNT_DETACH);
}

std::string TmpfsMount::Why() const {
    return "cannot mount a tmpfs on " + dir_ + " (" + strerror(error_) +
           "); these tests need root or CAP_SYS_ADMIN";
}

int TmpfsMount::FillUp(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    std::vector<char> block(4096, 'x');
    int err = 0;
    // Page-sized writes at page-aligned offsets: a tmpfs has no partial block left over.
    for (int i = 0; i < 100000 && err == 0; ++i)
        if (write(fd, block.data(), block.size()) < 0) err = errno;
    close(fd);
    return err;
}

}  // namespace testsupport
