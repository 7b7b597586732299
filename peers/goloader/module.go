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
	"sync/atomic"
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

// A request running this long hands its connection's pulling to a new goroutine, so a slow
// request never holds up the requests behind it.
const slowRequest = 20 * time.Millisecond

// module serves one loaded module: pull loops, each on a gateway connection of its own (one
// request in flight per connection). A pull loop runs each request on its own goroutine before it
// pulls again (a goroutine per request cost more than most requests: its start, its stack's
// growth, waking another thread); when a request runs longer than slowRequest, takeOverSlow gives
// the loop to a new goroutine and the slow request finishes on the old one.
//
// Locking: mu guards gateway, serving, pulling, inflight, pullers and every puller's fields. Never held
// while talking to the gateway or running the module's handler.
type module struct {
	name, version, location string
	handle                  Handler
	client                  string // name||version||pid, the gateway's client id

	mu       sync.Mutex
	gateway  string               // where the pull loops dial
	serving  bool                 // pulls new requests
	pulling  int                  // pull loops not ended yet; they may still hand over a request
	inflight int                  // requests taken from the gateway and not answered yet
	pullers  map[*puller]struct{} // the pull loops, for takeOverSlow and stopServing
	stop     chan struct{}
}

// puller is one pull loop: its connection (nil while it dials) and which goroutine runs it.
type puller struct {
	conn      net.Conn
	reader    *bufio.Reader
	turn      uint64        // the goroutine holding this turn pulls; others leave
	busySince time.Duration // sinceStart when the running request began; 0 while pulling
	pulled    bool          // a "pullreq" on conn waits for its message
}

// requestsRunning counts the requests that run in any module, so watchSlowRequests looks often
// only while there are some.
var requestsRunning int64

// watchSlowRequests finds the pull loops whose request runs long, for as long as the library is
// loaded.
func watchSlowRequests() {
	for {
		if atomic.LoadInt64(&requestsRunning) > 0 {
			time.Sleep(slowRequest / 2)
		} else {
			time.Sleep(100 * time.Millisecond)
		}
		mu.Lock()
		all := make([]*module, 0, len(modules))
		for _, m := range modules {
			all = append(all, m)
		}
		mu.Unlock()
		now := sinceStart()
		for _, m := range all {
			m.takeOverSlow(now)
		}
	}
}

// start is the origin of sinceStart, a monotonic clock.
var start = time.Now()

func sinceStart() time.Duration { return time.Since(start) + 1 }

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

func newModule(name, version, location string, handle Handler) *module {
	return &module{name: name, version: version, location: location, handle: handle,
		client: name + "||" + version + "||" + strconv.Itoa(os.Getpid()), pullers: map[*puller]struct{}{}}
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
	m.gateway = gateway
	m.stop = make(chan struct{})
	for ; m.pulling < loops; m.pulling++ {
		p := &puller{}
		m.pullers[p] = struct{}{}
		go m.pullLoop(p, 0)
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
	for p := range m.pullers {
		if p.conn != nil {
			p.conn.Close()
		}
	}
}

// takeOverSlow starts a new goroutine for every pull loop whose request has run since before
// now-slowRequest; the old goroutine leaves the loop once its request is answered.
func (m *module) takeOverSlow(now time.Duration) {
	m.mu.Lock()
	defer m.mu.Unlock()
	if !m.serving {
		return
	}
	for p := range m.pullers {
		if p.busySince != 0 && now-p.busySince >= slowRequest {
			p.turn++
			p.busySince = 0
			go m.pullLoop(p, p.turn)
		}
	}
}

// busy is true while the module pulls or has requests in flight.
func (m *module) busy() bool {
	m.mu.Lock()
	defer m.mu.Unlock()
	return m.serving || m.pulling > 0 || m.inflight > 0
}

// pullLoop runs puller p while turn is p's turn: pulls on its connection, dialling the gateway
// again after a failed connection, until the module stops serving.
func (m *module) pullLoop(p *puller, turn uint64) {
	delay := firstRetryDelay
	for {
		m.mu.Lock()
		if p.turn != turn {
			m.mu.Unlock()
			return
		}
		if !m.serving {
			m.pulling--
			delete(m.pullers, p)
			m.mu.Unlock()
			return
		}
		gateway, stop, conn, reader := m.gateway, m.stop, p.conn, p.reader
		m.mu.Unlock()

		if conn == nil {
			c, err := dialGateway(gateway)
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
			if !m.serving || p.turn != turn {
				m.mu.Unlock()
				c.Close()
				continue
			}
			conn, reader = c, bufio.NewReader(c)
			p.conn, p.reader, p.pulled = conn, reader, false
			m.mu.Unlock()
		}
		err := m.pullOn(p, turn, conn, reader)
		if err == nil {
			return // another goroutine runs the loop now
		}
		m.mu.Lock()
		if p.conn == conn {
			p.conn, p.reader = nil, nil
		}
		stillServing := m.serving && p.turn == turn
		m.mu.Unlock()
		conn.Close()
		if stillServing {
			logf("module %s:%s lost its gateway connection: %v", m.name, m.version, err)
		}
	}
}

// pullOn sends "pullreq" and runs the gateway's "message" replies one after the other until the
// connection fails or is closed (the error), or another goroutine takes the loop over (nil). The
// next pull goes out before a request runs, so the gateway can have the next message waiting
// when it ends (a goroutine that takes the loop over finds that pull already sent).
func (m *module) pullOn(p *puller, turn uint64, conn net.Conn, reader *bufio.Reader) error {
	pull := encodeFrame("pullreq", m.client)
	for {
		m.mu.Lock()
		pulled := p.pulled
		m.mu.Unlock()
		if !pulled {
			if _, err := conn.Write(pull); err != nil {
				return err
			}
		}
		parts, err := readFrame(reader)
		m.mu.Lock()
		p.pulled = false
		m.mu.Unlock()
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
		p.busySince = sinceStart()
		pullNow := m.serving
		p.pulled = pullNow
		m.mu.Unlock()
		var pullErr error
		if pullNow {
			_, pullErr = conn.Write(pull)
		}
		atomic.AddInt64(&requestsRunning, 1)
		m.serve(parts[2], parts[3])
		atomic.AddInt64(&requestsRunning, -1)
		m.mu.Lock()
		m.inflight--
		p.busySince = 0
		mine := p.turn == turn
		m.mu.Unlock()
		if pullErr != nil {
			return pullErr
		}
		if !mine {
			return nil
		}
	}
}

// serve runs one request in the module and sends its response on the reply connection.
func (m *module) serve(requestID, text string) {
	status, body := 500, ""
	req, err := parseRequest(text)
	if err != nil {
		logf("module %s:%s request %s: bad request text: %v", m.name, m.version, requestID, err)
		body = "bad request text: " + err.Error()
	} else {
		status, body = m.run(req)
	}
	replies.send(encodeFrame("responsereq", m.client, requestID, strconv.Itoa(status), body, ""))
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
