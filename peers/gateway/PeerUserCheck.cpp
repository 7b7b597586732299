#include "PeerUserCheck.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr size_t PASSWD_BUF_BYTES = 16384;

}  // namespace

std::string PeerUserCheck::UserName(uid_t uid) {
    std::vector<char> buf(PASSWD_BUF_BYTES);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return "";
    }
    return found->pw_name;
}

bool PeerUserCheck::Init(const std::string& trustedUser, std::string& error) {
    ownUid_ = geteuid();
    trustedName_ = trustedUser;
    haveTrusted_ = false;
    if (trustedUser.empty()) {
        return true;
    }
    std::vector<char> buf(PASSWD_BUF_BYTES);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwnam_r(trustedUser.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        error = "--trusted-user " + trustedUser + ": no such user";
        return false;
    }
    trustedUid_ = found->pw_uid;
    haveTrusted_ = true;
    return true;
}

bool PeerUserCheck::Admit(int fd, std::string& refusal) const {
    struct ucred cred {};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        refusal = std::string("gateway socket peer refused: its user cannot be read: ") + strerror(errno);
        return false;
    }
    if (cred.uid == ownUid_ || cred.uid == 0 || (haveTrusted_ && cred.uid == trustedUid_)) {
        return true;
    }
    std::string name = UserName(cred.uid);
    std::string who = "user " + (name.empty() ? std::string("without a name") : name) + " (uid " +
                      std::to_string(cred.uid) + ", pid " + std::to_string(cred.pid) + ")";
    if (haveTrusted_) {
        refusal = "gateway socket peer refused: " + who +
                  " is neither our user, root nor the --trusted-user " + trustedName_;
    } else {
        refusal = "gateway socket peer refused: " + who +
                  " is neither our user nor root; start vessel-gateway with --trusted-user " +
                  (name.empty() ? std::string("<name>") : name) + " to allow it";
    }
    return false;
}
