package main

import (
	"fmt"
	"net"
	"os"
	"syscall"
)

// dialGateway connects to the gateway's socket and keeps the connection only when the process
// at the other end runs as our user or as root: the socket lives in /tmp, where any local user
// could have bound the path first and would then receive our requests and answers.
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
	if cred.Uid != uint32(os.Geteuid()) && cred.Uid != 0 {
		return fmt.Errorf("peer not trusted, uid:%d, pid:%d", cred.Uid, cred.Pid)
	}
	return nil
}
