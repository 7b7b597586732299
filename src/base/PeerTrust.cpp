#include "base/PeerTrust.h"

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/PropertyLoader.h"

namespace {

constexpr size_t kPasswdBufBytes = 16384;

// The user name of uid, or "" when the system knows none.
std::string UserName(uid_t uid) {
    std::vector<char> buf(kPasswdBufBytes);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return "";
    }
    return found->pw_name;
}

// The uid of the user called name; false when there is no such user.
bool UserId(const std::string& name, uid_t& uid) {
    std::vector<char> buf(kPasswdBufBytes);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    uid = found->pw_uid;
    return true;
}

// Whether a gateway of another user is admitted, logging why not.
bool GatewayUserTrusted(const ucred& cred) {
    std::string allowed = getStrProperty(kTrustedGatewayUserKey);
    uid_t allowedUid = 0;
    bool known = !allowed.empty() && UserId(allowed, allowedUid);
    if (known && allowedUid == cred.uid) {
        return true;
    }
    std::string name = UserName(cred.uid);
    std::string who = "user " + (name.empty() ? std::string("without a name") : name) + " (uid " +
                      std::to_string(cred.uid) + ", pid " + std::to_string(cred.pid) + ")";
    if (allowed.empty()) {
        LOG_WARN("gateway peer not trusted: " + who + " is neither our user nor root; set " +
                 kTrustedGatewayUserKey + " in container.json to allow it");
    } else {
        LOG_WARN("gateway peer not trusted: " + who + " is neither our user, root nor the " +
                 kTrustedGatewayUserKey + " " + allowed + " of container.json" +
                 (known ? "" : " (no such user)"));
    }
    return false;
}

}  // namespace

int CheckPeerTrusted(int fd, PeerTrust trust, pid_t* peerPid) {
    struct ucred cred {};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        int err = errno;
        LOG_INFO("get peer cred fail," + std::to_string(err) + "," + strerror(err));
        return err;
    }
    if (peerPid != nullptr) {
        *peerPid = cred.pid;
    }
    if (trust == PeerTrust::OwnUser) {
        if (cred.uid == geteuid()) {
            return 0;
        }
        LOG_INFO("peer uid mismatch, close fd:" + std::to_string(fd) +
                 ", peer uid:" + std::to_string(cred.uid) + ", peer pid:" + std::to_string(cred.pid));
        return EACCES;
    }
    if (cred.uid == geteuid() || cred.uid == 0) {
        return 0;
    }
    if (trust == PeerTrust::Gateway) {
        return GatewayUserTrusted(cred) ? 0 : EACCES;
    }
    LOG_INFO("peer not trusted, uid:" + std::to_string(cred.uid) + ", pid:" + std::to_string(cred.pid));
    return EACCES;
}

void ExportTrustedGatewayUser() {
    std::string allowed = getStrProperty(kTrustedGatewayUserKey);
    if (allowed.empty()) {
        unsetenv(kTrustedGatewayUserEnv);
        return;
    }
    setenv(kTrustedGatewayUserEnv, allowed.c_str(), 1);
    LOG_INFO(std::string("trusted gateway user: ") + allowed);
}
