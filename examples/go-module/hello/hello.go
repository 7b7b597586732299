// Command hello is a sample Go module for Vessel, built as a Go plugin (hello.so). It greets the
// caller: GET /hello/...?name=Ann answers "Hello, Ann! (hello 1.0)".
package main

import (
	"fmt"
	"strings"
)

// tag names the build in every answer, so a caller can tell which build served it. Set at build
// time with -ldflags "-X main.tag=2.0" (in a plugin, "main" stands for the plugin's package).
var tag = "1.0"

// Handle serves one request. The loader calls it on a goroutine of its own per request.
func Handle(method, url, body string, query, header map[string]string) (int, string) {
	name := query["name"]
	if name == "" {
		name = "world"
	}
	if query["fail"] != "" {
		return 500, "failing as asked"
	}
	var b strings.Builder
	fmt.Fprintf(&b, "Hello, %s!", name)
	if method == "POST" && body != "" {
		fmt.Fprintf(&b, " You sent %d bytes.", len(body))
	}
	fmt.Fprintf(&b, " (hello %s)", tag)
	return 200, b.String()
}

func main() {}
