package main

// plainReader reads the common shape of the gateway's request text in one pass: an object of the
// five members only, ReqUrl, Method and ReqBody strings, ReqQuery an object of strings, Header an
// object of non-empty lists of strings, every string ASCII without \u escapes. Anything else,
// valid or not, it leaves to parseRequest's full decoding (ok false), which then decides.
type plainReader struct {
	s string
	p int
}

func parsePlainRequest(text string) (req *request, ok bool) {
	r := plainReader{s: text}
	req = &request{query: map[string]string{}, header: map[string]string{}}
	var seen [5]bool
	// A member given twice keeps its last value, as decoding into a map does.
	ok = r.object(func(name string) bool {
		switch name {
		case "ReqUrl":
			seen[0] = true
			return r.str(&req.url)
		case "Method":
			seen[1] = true
			return r.str(&req.method)
		case "ReqBody":
			seen[2] = true
			return r.str(&req.body)
		case "ReqQuery":
			seen[3] = true
			req.query = map[string]string{}
			return r.object(func(key string) bool {
				var value string
				if !r.str(&value) {
					return false
				}
				req.query[key] = value
				return true
			})
		case "Header":
			seen[4] = true
			req.header = map[string]string{}
			return r.object(func(key string) bool { return r.list(key, req.header) })
		}
		return false
	})
	r.space()
	if !ok || r.p != len(r.s) || seen != [5]bool{true, true, true, true, true} {
		return nil, false
	}
	return req, true
}

func (r *plainReader) space() {
	for r.p < len(r.s) && (r.s[r.p] == ' ' || r.s[r.p] == '\t' || r.s[r.p] == '\n' || r.s[r.p] == '\r') {
		r.p++
	}
}

func (r *plainReader) take(c byte) bool {
	r.space()
	if r.p < len(r.s) && r.s[r.p] == c {
		r.p++
		return true
	}
	return false
}

// object reads {"name": value, ...}, handing each name to member, which reads the value.
func (r *plainReader) object(member func(name string) bool) bool {
	if !r.take('{') {
		return false
	}
	if r.take('}') {
		return true
	}
	for {
		var name string
		if !r.str(&name) || !r.take(':') || !member(name) {
			return false
		}
		if r.take('}') {
			return true
		}
		if !r.take(',') {
			return false
		}
	}
}

// str reads a string into out.
func (r *plainReader) str(out *string) bool {
	if !r.take('"') {
		return false
	}
	start := r.p
	for r.p < len(r.s) {
		c := r.s[r.p]
		switch {
		case c == '"':
			*out = r.s[start:r.p]
			r.p++
			return true
		case c == '\\':
			return r.escaped(start, out)
		case c < 0x20 || c >= 0x80:
			return false // a control byte or UTF-8: the full decoding's rules
		}
		r.p++
	}
	return false
}

// escaped finishes a string from its first backslash on.
func (r *plainReader) escaped(start int, out *string) bool {
	b := []byte(r.s[start:r.p])
	for r.p < len(r.s) {
		c := r.s[r.p]
		r.p++
		switch {
		case c == '"':
			*out = string(b)
			return true
		case c == '\\':
			if r.p == len(r.s) {
				return false
			}
			e := r.s[r.p]
			r.p++
			switch e {
			case '"', '\\', '/':
				b = append(b, e)
			case 'b':
				b = append(b, '\b')
			case 'f':
				b = append(b, '\f')
			case 'n':
				b = append(b, '\n')
			case 'r':
				b = append(b, '\r')
			case 't':
				b = append(b, '\t')
			default:
				return false // \u, or not an escape
			}
		case c < 0x20 || c >= 0x80:
			return false
		default:
			b = append(b, c)
		}
	}
	return false
}

// list reads a header's non-empty list of strings into header[name], joined by single blanks.
func (r *plainReader) list(name string, header map[string]string) bool {
	if !r.take('[') {
		return false
	}
	joined := ""
	for first := true; ; first = false {
		var value string
		if !r.str(&value) {
			return false
		}
		if !first {
			joined += " "
		}
		joined += value
		if r.take(']') {
			header[name] = joined
			return true
		}
		if !r.take(',') {
			return false
		}
	}
}
