// Command gate is a Go module for the worker test: a request with ?gate=<file> is answered only
// once that file exists, so the test decides how long it is in flight.
package main

import (
	"os"
	"time"
)

func Handle(method, url, body string, query, header map[string]string) (int, string) {
	for gate := query["gate"]; gate != ""; time.Sleep(5 * time.Millisecond) {
		if _, err := os.Stat(gate); err == nil {
			return 200, "opened " + method + " " + url + " " + header["X-Test"]
		}
	}
	return 200, "gate " + method + " " + url + " " + body
}

func main() {}
