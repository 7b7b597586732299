// A tmpfs of its own mounted on a directory for one test: a file system that is read-only or
// small, where permission bits would not stop root. Unmounted lazily on destruction, so a
// process still using it cannot keep it.
#pragma once

#include <string>

namespace testsupport {

class TmpfsMount {
public:
    // flags as for mount(2) (MS_RDONLY...), options as "size=64k".
    TmpfsMount(const std::string& dir, unsigned long flags, const std::string& options);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool Mounted() const { return error_ == 0; }
    // Why the mount failed, for GTEST_SKIP.
    std::string Why() const;
    // Writes to path until its file system is full; the errno of the failed write (ENOSPC).
    static int FillUp(const std::string& path);

private:
    std::string dir_;
    int error_ = 0;
};

}  // namespace testsupport
