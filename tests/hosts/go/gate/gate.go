// Command gate is a Go module for the loader's tests: a request with ?gate=<file> is answered
// only once that file exists, so a test decides when a request stops being in flight; ?panic=1
// makes the handler panic.
package main

import (
	"os"
	"time"
)

func Handle(method, url, body string, query, header map[string]string) (int, string) {
	if query["panic"] != "" {
		panic("asked to panic")
	}
	if gate := query["gate"]; gate != "" {
		deadline := time.Now().Add(2 * time.Minute)
		for time.Now().Before(deadline) {
			if _, err := os.Stat(gate); err == nil {
				return 200, "opened " + method + " " + url + " " + header["X-Test"]
			}
			time.Sleep(5 * time.Millisecond)
		}
		return 500, "gate never opened"
	}
	return 200, "gate " + method + " " + url + " " + body
}

func main() {}
