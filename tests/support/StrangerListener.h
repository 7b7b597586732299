// A Unix socket listener run by another user (nobody), as a local attacker squatting a socket
// path in /tmp would be. It accepts connections and keeps every byte it receives. Needs root.
#pragma once

#include <string>

#include "support/ChildProcess.h"

namespace testsupport {

class StrangerListener {
public:
    StrangerListener() = default;
    ~StrangerListener();
    StrangerListener(const StrangerListener&) = delete;
    StrangerListener& operator=(const StrangerListener&) = delete;

    // Binds path as uid/gid 65534 in a child; true once it listens.
    bool Start(const std::string& path);
    // The bytes the listener has received so far, over all its connections.
    std::string Received();

private:
    ChildProcess child_;
    int pipeFd_ = -1;  // the child forwards what it receives here
    std::string received_;
    std::string path_;
};

}  // namespace testsupport
