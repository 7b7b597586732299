// Who may talk on the gateway socket: a process of the gateway's own user, of root, or of the
// one user named with --trusted-user. Anyone else who can reach the socket file (its mode, or a
// directory of its own choosing) could otherwise take requests, with their headers, and answer
// them. Checked once per connection, from the kernel's credentials of the connecting process.
#pragma once

#include <sys/types.h>

#include <string>

class PeerUserCheck {
public:
    // trustedUser "" admits nobody else. False with error set when it names no user.
    bool Init(const std::string& trustedUser, std::string& error);
    // True when the process at the other end of fd may stay. Otherwise refusal is the log line
    // naming it and the flag that would admit it.
    bool Admit(int fd, std::string& refusal) const;

    // The name of uid, or "" when the system knows none.
    static std::string UserName(uid_t uid);

private:
    uid_t ownUid_ = 0;
    std::string trustedName_;
    uid_t trustedUid_ = 0;
    bool haveTrusted_ = false;
};
