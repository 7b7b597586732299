// Who may be at the other end of a Unix socket we connect to. The sockets live in /tmp, where any
// local user can bind a path first; a process of another user there would receive our requests
// and answers, so a connection is kept only when the peer runs as our user or as root. A gateway
// may also run as the one user that the setting trustedGatewayUser (container.json) names; the
// master channel never admits anyone else.
#pragma once

#include <sys/types.h>

enum class PeerTrust {
    OwnUser,        // who connects to the master's channel: only workers, our own processes
    OwnUserOrRoot,  // the master channel seen from a worker (and any socket not named below)
    Gateway,        // the gateway's socket: also the trustedGatewayUser
};

// The container.json key, and the environment variable through which a worker hands its value
// to the Java receivers and the Go loader (they read no settings file of their own).
constexpr const char* kTrustedGatewayUserKey = "trustedGatewayUser";
constexpr const char* kTrustedGatewayUserEnv = "VESSEL_TRUSTED_GATEWAY_USER";

// 0 when the connected socket fd's peer is trusted; EACCES (logged with the peer's user, uid and
// pid, and for a gateway with the setting that would admit it) when it is not, or the errno of
// reading the peer's credentials. peerPid, when given, receives the peer's process id once read.
int CheckPeerTrusted(int fd, PeerTrust trust = PeerTrust::OwnUserOrRoot, pid_t* peerPid = nullptr);

// Sets (or, when the setting is absent or empty, removes) VESSEL_TRUSTED_GATEWAY_USER from the
// setting. A worker calls it once while it is still single-threaded, before any Java VM or Go
// runtime copies the environment.
void ExportTrustedGatewayUser();
