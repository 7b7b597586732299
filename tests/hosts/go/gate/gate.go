// Command gate is a Go module for the worker test: a request is answered once the file its
// query's "gate" names exists, so the test decides how long it is in flight.
package main

import (
	"os"
	"time"
)

func Handle(method, url, body string, query, header map[string]string) (int, string) {
	for _, err := os.Stat(query["gate"]); err != nil; _, err = os.Stat(query["gate"]) {
		time.Sleep(5 * time.Millisecond)
	}
	return 200, "opened " + method + " " + url + " " + header["X-Test"]
}

func main() {}
