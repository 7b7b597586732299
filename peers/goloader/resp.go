package main

import (
	"bufio"
	"errors"
	"fmt"
	"io"
	"strconv"
	"strings"
)

// Bounds on what the gateway may send in one frame; anything larger is a bad frame.
const (
	maxFrameParts = 1024
	maxPartBytes  = 64 << 20
)

var errBadFrame = errors.New("bad frame")

// encodeFrame writes parts as one array of bulk strings: "*n", then "$len" and the bytes of each
// part, every header and element closed by CR LF. Nothing is escaped; lengths count bytes.
func encodeFrame(parts ...string) []byte {
	var b strings.Builder
	b.WriteString("*")
	b.WriteString(strconv.Itoa(len(parts)))
	b.WriteString("\r\n")
	for _, p := range parts {
		b.WriteString("$")
		b.WriteString(strconv.Itoa(len(p)))
		b.WriteString("\r\n")
		b.WriteString(p)
		b.WriteString("\r\n")
	}
	return []byte(b.String())
}

// readHeader reads one "<kind><decimal>\r\n" header line.
func readHeader(r *bufio.Reader, kind byte) (int, error) {
	line, err := r.ReadString('\n')
	if err != nil {
		return 0, err
	}
	if len(line) < 4 || line[0] != kind || line[len(line)-2] != '\r' {
		return 0, fmt.Errorf("%w: header %q", errBadFrame, line)
	}
	n, err := strconv.Atoi(line[1 : len(line)-2])
	if err != nil {
		return 0, fmt.Errorf("%w: header %q", errBadFrame, line)
	}
	return n, nil
}

// readFrame reads one whole array of bulk strings. Lengths are counted, so a value may hold CR
// or LF. Null or oversized elements make the frame bad.
func readFrame(r *bufio.Reader) ([]string, error) {
	count, err := readHeader(r, '*')
	if err != nil {
		return nil, err
	}
	if count < 1 || count > maxFrameParts {
		return nil, fmt.Errorf("%w: %d elements", errBadFrame, count)
	}
	parts := make([]string, 0, count)
	for i := 0; i < count; i++ {
		n, err := readHeader(r, '$')
		if err != nil {
			return nil, err
		}
		if n < 0 || n > maxPartBytes {
			return nil, fmt.Errorf("%w: element of %d bytes", errBadFrame, n)
		}
		buf := make([]byte, n+2)
		if _, err := io.ReadFull(r, buf); err != nil {
			return nil, err
		}
		if buf[n] != '\r' || buf[n+1] != '\n' {
			return nil, fmt.Errorf("%w: element not closed by CR LF", errBadFrame)
		}
		parts = append(parts, string(buf[:n]))
	}
	return parts, nil
}
