package main

import (
	"net"
	"sync"
)

// replyConn is the one connection on which every module's responses go to the gateway. The
// gateway never answers on it.
//
// Locking: mu guards gateway and conn, and is held for the whole write, so frames never interleave.
type replyConn struct {
	mu      sync.Mutex
	gateway string
	conn    net.Conn
}

var replies replyConn

func (r *replyConn) setGateway(gateway string) {
	r.mu.Lock()
	defer r.mu.Unlock()
	if r.gateway != gateway && r.conn != nil {
		r.conn.Close()
		r.conn = nil
	}
	r.gateway = gateway
}

// send writes a frame, dialling (once more after a failed write) when there is no connection.
func (r *replyConn) send(frame []byte) {
	r.mu.Lock()
	defer r.mu.Unlock()
	for attempt := 0; attempt < 2; attempt++ {
		if r.conn == nil {
			conn, err := dialGateway(r.gateway)
			if err != nil {
				logf("reply connection to %s failed: %v", r.gateway, err)
				return
			}
			r.conn = conn
		}
		if _, err := r.conn.Write(frame); err == nil {
			return
		} else {
			logf("reply write failed: %v", err)
		}
		r.conn.Close()
		r.conn = nil
	}
}
