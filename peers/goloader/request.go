package main

import (
	"encoding/json"
	"errors"
	"fmt"
	"strings"
)

// request is the gateway's request text: all five members must be present.
type request struct {
	url    string
	method string
	body   string
	query  map[string]string
	header map[string]string
}

// plainEnabled lets the tests compare the one-pass reader with full decoding.
var plainEnabled = true

func parseRequest(text string) (*request, error) {
	// Nearly every request text is plain and read in one pass; full decoding reads the rest.
	if plainEnabled {
		if req, ok := parsePlainRequest(text); ok {
			return req, nil
		}
	}
	var raw map[string]json.RawMessage
	if err := json.Unmarshal([]byte(text), &raw); err != nil {
		return nil, err
	}
	for _, member := range []string{"ReqUrl", "Method", "ReqBody", "ReqQuery", "Header"} {
		if _, ok := raw[member]; !ok {
			return nil, errors.New("missing member " + member)
		}
	}
	req := &request{query: map[string]string{}, header: map[string]string{}}
	for member, dst := range map[string]*string{"ReqUrl": &req.url, "Method": &req.method, "ReqBody": &req.body} {
		if err := json.Unmarshal(raw[member], dst); err != nil {
			return nil, fmt.Errorf("%s: %v", member, err)
		}
	}
	var query map[string]json.RawMessage
	if err := json.Unmarshal(raw["ReqQuery"], &query); err != nil {
		return nil, fmt.Errorf("ReqQuery: %v", err)
	}
	for name, value := range query {
		req.query[name] = valueText(value)
	}
	var header map[string]json.RawMessage
	if err := json.Unmarshal(raw["Header"], &header); err != nil {
		return nil, fmt.Errorf("Header: %v", err)
	}
	for name, value := range header {
		// Only non-empty arrays of strings count; their elements are joined with single blanks.
		var values []string
		if json.Unmarshal(value, &values) == nil && len(values) > 0 {
			req.header[name] = strings.Join(values, " ")
		}
	}
	return req, nil
}

// valueText gives a query value as text: a string as it stands, anything else as its JSON.
func valueText(value json.RawMessage) string {
	var s string
	if json.Unmarshal(value, &s) == nil {
		return s
	}
	return string(value)
}
