package main

import (
	"bufio"
	"fmt"
	"net"
	"os"
	"path/filepath"
	"plugin"
	"strconv"
	"sync"
	"time"
)

// Handler is what a module plugin exports as "Handle": method, URL, body, query parameters and
// headers in; status code and response body out.
type Handler = func(method, url, body string, query, header map[string]string) (int, string)

// How long a module waits before it dials the gateway again after a failed connection.
const (
	firstRetryDelay = 100 * time.Millisecond
	maxRetryDelay   = 2 * time.Second
)

// module serves one loaded module: pull loops, each on a gateway connection of its own (one
// request in flight per connection), and one goroutine per request in flight.
//
// Locking: mu guards serving, pulling, inflight and conns. Never held while talking to the
// gateway or running the module's handler.
type module struct {
	name, version, location string
	handle                  Handler

	mu       sync.Mutex
	serving  bool                  // pulls new requests
	pulling  int                   // pull loops not ended yet; they may still hand over a request
	inflight int                   // requests taken from the gateway and not answered yet
	conns    map[net.Conn]struct{} // the pull connections, closed to stop the loops
	stop     chan struct{}
}

// openHandler opens <location>/<name>.so as a Go plugin and looks up its "Handle".
func openHandler(location, name string) (Handler, int, error) {
	path := filepath.Join(location, name+".so")
	p, err := plugin.Open(path)
	if err != nil {
		return nil, resultOpenFailed, err
	}
	sym, err := p.Lookup("Handle")
	if err != nil {
		return nil, resultNoHandler, err
	}
	h, ok := sym.(Handler)
	if !ok {
		return nil, resultNoHandler, fmt.Errorf("%s: Handle has type %T", path, sym)
	}
	return h, 0, nil
}

func (m *module) clientID() string {
	return m.name + "||" + m.version + "||" + strconv.Itoa(os.Getpid())
}

// startServing starts loops pull loops, counting those of an earlier serve still on their way out
// (they see the new stop channel and keep going).
func (m *module) startServing(gateway string, loops int) {
	m.mu.Lock()
	defer m.mu.Unlock()
	if m.serving {
		return
	}
	m.serving = true
	m.stop = make(chan struct{})
	for ; m.pulling < loops; m.pulling++ {
		go m.pullLoop(gateway)
	}
}

// stopServing ends the pull loops; requests in flight still get their answers.
func (m *module) stopServing() {
	m.mu.Lock()
	defer m.mu.Unlock()
	if !m.serving {
		return
	}
	m.serving = false
	close(m.stop)
	for conn := range m.conns {
		conn.Close()
	}
}

// busy is true while the module pulls or has requests in flight.
func (m *module) busy() bool {
	m.mu.Lock()
	defer m.mu.Unlock()
	return m.serving || m.pulling > 0 || m.inflight > 0
}

func (m *module) pullLoop(gateway string) {
	delay := firstRetryDelay
	for {
		m.mu.Lock()
		stop := m.stop
		if !m.serving {
			m.pulling--
			m.mu.Unlock()
			return
		}
		m.mu.Unlock()

		conn, err := dialGateway(gateway)
		if err != nil {
			logf("module %s:%s cannot reach the gateway %s: %v", m.name, m.version, gateway, err)
			select {
			case <-stop:
			case <-time.After(delay):
			}
			if delay *= 2; delay > maxRetryDelay {
				delay = maxRetryDelay
			}
			continue
		}
		delay = firstRetryDelay
		m.mu.Lock()
		stillServing := m.serving
		if stillServing {
			if m.conns == nil {
				m.conns = map[net.Conn]struct{}{}
			}
			m.conns[conn] = struct{}{}
		}
		m.mu.Unlock()
		if !stillServing {
			conn.Close()
			continue
		}
		err = m.pullOn(conn)
		m.mu.Lock()
		delete(m.conns, conn)
		stillServing = m.serving
		m.mu.Unlock()
		conn.Close()
		if stillServing {
			logf("module %s:%s lost its gateway connection: %v", m.name, m.version, err)
		}
	}
}

// pullOn sends "pullreq" and takes the gateway's "message" replies one after the other until
// the connection fails or is closed.
func (m *module) pullOn(conn net.Conn) error {
	reader := bufio.NewReader(conn)
	pull := encodeFrame("pullreq", m.clientID())
	for {
		if _, err := conn.Write(pull); err != nil {
			return err
		}
		parts, err := readFrame(reader)
		if err != nil {
			return err
		}
		if len(parts) != 4 || parts[0] != "message" || parts[2] == "" {
			logf("module %s:%s got an unexpected reply of %d elements, first %q", m.name, m.version,
				len(parts), parts[0])
			continue
		}
		m.mu.Lock()
		m.inflight++
		m.mu.Unlock()
		go m.serve(parts[2], parts[3])
	}
}

// serve runs one request in the module and sends its response on the reply connection.
func (m *module) serve(requestID, text string) {
	defer func() {
		m.mu.Lock()
		m.inflight--
		m.mu.Unlock()
	}()
	status, body := 500, ""
	req, err := parseRequest(text)
	if err != nil {
		logf("module %s:%s request %s: bad request text: %v", m.name, m.version, requestID, err)
		body = "bad request text: " + err.Error()
	} else {
		status, body = m.run(req)
	}
	replies.send(encodeFrame("responsereq", m.clientID(), requestID, strconv.Itoa(status), body, ""))
}

// run calls the module's handler; a panic becomes status 500.
func (m *module) run(req *request) (status int, body string) {
	defer func() {
		if r := recover(); r != nil {
			status, body = 500, fmt.Sprintf("module %s:%s failed: %v", m.name, m.version, r)
			logf("%s", body)
		}
	}()
	status, body = m.handle(req.method, req.url, req.body, req.query, req.header)
	if status < 0 {
		status = 500
	}
	return status, body
}
