package main

import (
	"net"
	"sync"
)

// replyConn is the one connection on which every module's responses go to the gateway. The
// gateway never answers on it.
//
// Responses that arrive while another goroutine writes are queued and go out with that writer's
// next write, so under load one system call carries several of them and nobody waits for the
// connection.
//
// Locking: mu guards queue, ends, spare, spareEnds and writing; connMu guards gateway and conn
// and is held for a whole write, so frames never interleave. connMu is never taken with mu held.
type replyConn struct {
	mu        sync.Mutex
	queue     []byte // frames waiting for the writer, back to back
	ends      []int  // where each queued frame ends in queue
	spare     []byte // the last written batch, reused for the next queue
	spareEnds []int
	writing   bool // a goroutine is writing; it takes whatever is queued before it stops

	connMu  sync.Mutex
	gateway string
	conn    net.Conn
}

var replies replyConn

func (r *replyConn) setGateway(gateway string) {
	r.connMu.Lock()
	defer r.connMu.Unlock()
	if r.gateway != gateway && r.conn != nil {
		r.conn.Close()
		r.conn = nil
	}
	r.gateway = gateway
}

// send queues a frame and, unless another goroutine is writing already, writes the queue until
// it is empty.
func (r *replyConn) send(frame []byte) {
	r.mu.Lock()
	r.queue = append(r.queue, frame...)
	r.ends = append(r.ends, len(r.queue))
	if r.writing {
		r.mu.Unlock()
		return
	}
	r.writing = true
	for len(r.queue) > 0 {
		batch, ends := r.queue, r.ends
		r.queue, r.ends = r.spare[:0], r.spareEnds[:0]
		r.mu.Unlock()
		r.write(batch, ends)
		r.mu.Lock()
		r.spare, r.spareEnds = batch[:0], ends[:0]
	}
	r.writing = false
	r.mu.Unlock()
}

// busy is true while responses are queued or being written.
func (r *replyConn) busy() bool {
	r.mu.Lock()
	defer r.mu.Unlock()
	return r.writing || len(r.queue) > 0
}

// write sends a batch of whole frames, dialling when there is no connection. After a failed
// write it dials once more and sends again from the first frame the gateway may not have got
// whole; what still fails is dropped.
func (r *replyConn) write(batch []byte, ends []int) {
	r.connMu.Lock()
	defer r.connMu.Unlock()
	for attempt := 0; attempt < 2 && len(batch) > 0; attempt++ {
		if r.conn == nil {
			conn, err := dialGateway(r.gateway)
			if err != nil {
				logf("reply connection to %s failed: %v", r.gateway, err)
				return
			}
			r.conn = conn
		}
		n, err := r.conn.Write(batch)
		if err == nil {
			return
		}
		logf("reply write failed: %v", err)
		r.conn.Close()
		r.conn = nil
		// Frames written whole before the failure are not sent twice.
		sent, whole := 0, 0
		for whole < len(ends) && ends[whole] <= n {
			sent = ends[whole]
			whole++
		}
		batch, ends = batch[sent:], ends[whole:]
		for i := range ends {
			ends[i] -= sent
		}
	}
}
