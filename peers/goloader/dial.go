package main

import (
	"fmt"
	"net"
	"os"
	"os/user"
	"strconv"
	"syscall"
)

// trustedUserEnv carries Vessel's setting trustedGatewayUser: the worker exports it before it
// loads this library.
const trustedUserEnv = "VESSEL_TRUSTED_GATEWAY_USER"

// dialGateway connects to the gateway's socket and keeps the connection only when the process
// at the other end runs as our user, as root or as the trustedGatewayUser: the socket lives in
// /tmp, where any local user could have bound the path first and would then receive our
// requests and answers.
func dialGateway(path string) (net.Conn, error) {
	conn, err := net.Dial("unix", path)
	if err != nil {
		return nil, err
	}
	if err := checkPeer(conn); err != nil {
		conn.Close()
		return nil, err
	}
	return conn, nil
}

func checkPeer(conn net.Conn) error {
	uc, ok := conn.(*net.UnixConn)
	if !ok {
		return fmt.Errorf("not a unix socket")
	}
	raw, err := uc.SyscallConn()
	if err != nil {
		return err
	}
	var cred *syscall.Ucred
	var credErr error
	if err := raw.Control(func(fd uintptr) {
		cred, credErr = syscall.GetsockoptUcred(int(fd), syscall.SOL_SOCKET, syscall.SO_PEERCRED)
	}); err != nil {
		return err
	}
	if credErr != nil {
		return credErr
	}
	return peerRefusal(cred.Uid, cred.Pid, os.Getenv(trustedUserEnv))
}

// peerRefusal is nil when a gateway run by uid may be talked to, else the reason it may not.
func peerRefusal(uid uint32, pid int32, trusted string) error {
	if uid == uint32(os.Geteuid()) || uid == 0 {
		return nil
	}
	known := false
	if trusted != "" {
		if u, err := user.Lookup(trusted); err == nil {
			known = true
			if u.Uid == strconv.FormatUint(uint64(uid), 10) {
				return nil
			}
		}
	}
	name := "without a name"
	if u, err := user.LookupId(strconv.FormatUint(uint64(uid), 10)); err == nil {
		name = u.Username
	}
	who := fmt.Sprintf("user %s (uid %d, pid %d)", name, uid, pid)
	if trusted == "" {
		return fmt.Errorf("gateway peer not trusted: %s is neither our user nor root; "+
			"set trustedGatewayUser in container.json to allow it", who)
	}
	suffix := ""
	if !known {
		suffix = " (no such user)"
	}
	return fmt.Errorf("gateway peer not trusted: %s is neither our user, root nor the "+
		"trustedGatewayUser %s of container.json%s", who, trusted, suffix)
}
