// Command goloader is built as libgoloader.so: the loader library through which a Vessel worker
// hosts Go modules. Its five C-callable exports take Go strings and return Go integers.
package main

import "C"

import (
	"log"
	"os"
	"strings"
	"sync"
)

// Results of LoadModule.
const (
	resultOK         = 0
	resultNotStarted = 1 // Start has not given a gateway address
	resultStopped    = 2 // Stop was called
	resultOpenFailed = 3 // <location>/<name>.so could not be opened as a plugin
	resultNoHandler  = 4 // the plugin has no "Handle" of the expected type
	resultBadName    = 5 // empty name
	resultUnknown    = 1 // UnloadModule: no module of that name
)

var logger = log.New(os.Stderr, "goloader: ", log.LstdFlags|log.Lmicroseconds)

func logf(format string, args ...interface{}) { logger.Printf(format, args...) }

// Locking: mu guards gateway, stopped, pullConnections and modules. A module's own lock is taken
// inside it, never the other way round.
var (
	mu              sync.Mutex
	gateway         string
	stopped         bool
	pullConnections = 1                    // pull loops per module
	modules         = map[string]*module{} // by name "||" version
	watchOnce       sync.Once
)

//export Start
func Start(udsAddress string) int {
	// Strings from the caller live only for the call.
	addr := strings.Clone(udsAddress)
	if addr == "" {
		logf("Start: empty gateway address")
		return resultNotStarted
	}
	mu.Lock()
	defer mu.Unlock()
	gateway = addr
	stopped = false
	replies.setGateway(addr)
	logf("started, gateway %s", addr)
	return resultOK
}

// SetPullConnections sets how many pull connections each module loaded from now on opens
// (1-16; outside that range the nearest bound). Always 0.
//
//export SetPullConnections
func SetPullConnections(n int) int {
	mu.Lock()
	defer mu.Unlock()
	switch {
	case n < 1:
		n = 1
	case n > 16:
		n = 16
	}
	pullConnections = n
	return resultOK
}

//export LoadModule
func LoadModule(name, version, location string) int {
	name, version, location = strings.Clone(name), strings.Clone(version), strings.Clone(location)
	if name == "" {
		return resultBadName
	}
	mu.Lock()
	defer mu.Unlock()
	if stopped {
		logf("LoadModule %s:%s refused: stopped", name, version)
		return resultStopped
	}
	if gateway == "" {
		logf("LoadModule %s:%s refused: not started", name, version)
		return resultNotStarted
	}
	key := name + "||" + version
	m := modules[key]
	if m == nil {
		// Opening a plugin runs its init functions; a slow one holds up only other loads.
		handle, rc, err := openHandler(location, name)
		if err != nil {
			logf("LoadModule %s:%s at %s failed: %v", name, version, location, err)
			return rc
		}
		m = newModule(name, version, location, handle)
		modules[key] = m
		watchOnce.Do(func() { go watchSlowRequests() })
	}
	m.startServing(gateway, pullConnections)
	logf("module %s:%s serving from %s", name, version, location)
	return resultOK
}

//export UnloadModule
func UnloadModule(name string) int {
	name = strings.Clone(name)
	mu.Lock()
	defer mu.Unlock()
	found := false
	for _, m := range modules {
		if m.name == name {
			m.stopServing()
			found = true
		}
	}
	if !found {
		return resultUnknown
	}
	logf("module %s no longer serving", name)
	return resultOK
}

// GetLoadedModuleNum counts the modules that still pull or still have requests in flight, and
// forgets the ones that have drained. A plugin cannot be unloaded; it stays mapped.
//
//export GetLoadedModuleNum
func GetLoadedModuleNum() int {
	mu.Lock()
	defer mu.Unlock()
	n := 0
	// A response still queued for the gateway is not answered yet.
	writing := replies.busy()
	for key, m := range modules {
		if writing || m.busy() {
			n++
		} else {
			delete(modules, key)
		}
	}
	return n
}

//export Stop
func Stop() int {
	mu.Lock()
	defer mu.Unlock()
	stopped = true
	for _, m := range modules {
		m.stopServing()
	}
	logf("stopped, %d modules draining", len(modules))
	return resultOK
}

func main() {}
