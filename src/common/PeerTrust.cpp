#include "common/PeerTrust.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/Log.h"

int CheckPeerTrusted(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        int err = errno;
        LOG_INFO("get peer cred fail," + std::to_string(err) + "," + strerror(err));
        return err;
    }
    if (cred.uid != geteuid() && cred.uid != 0) {
        LOG_INFO("peer not trusted, uid:" + std::to_string(cred.uid) + ", pid:" + std::to_string(cred.pid));
        return EACCES;
    }
    return 0;
}
