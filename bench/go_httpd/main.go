// Command go_httpd is the Go sample's natural server for the benchmark: a plain net/http server
// giving the same answer as the hello module (examples/go-module/hello) through Vessel.
//
//	go_httpd 127.0.0.1:28182
package main

import (
	"fmt"
	"io"
	"log"
	"net/http"
	"os"
	"strings"
)

// hello is the sample module's Handle, written against net/http.
func hello(w http.ResponseWriter, r *http.Request) {
	query := r.URL.Query()
	name := query.Get("name")
	if name == "" {
		name = "world"
	}
	if query.Get("fail") != "" {
		http.Error(w, "failing as asked", http.StatusInternalServerError)
		return
	}
	body, _ := io.ReadAll(r.Body)
	var b strings.Builder
	fmt.Fprintf(&b, "Hello, %s!", name)
	if r.Method == http.MethodPost && len(body) > 0 {
		fmt.Fprintf(&b, " You sent %d bytes.", len(body))
	}
	b.WriteString(" (hello 1.0)")
	w.Header().Set("Content-Type", "text/plain; charset=utf-8")
	io.WriteString(w, b.String())
}

func main() {
	if len(os.Args) != 2 {
		fmt.Fprintln(os.Stderr, "usage: go_httpd host:port")
		os.Exit(2)
	}
	http.HandleFunc("/hello/", hello)
	log.Fatal(http.ListenAndServe(os.Args[1], nil))
}
