package main

import (
	"math/rand"
	"reflect"
	"strings"
	"testing"
)

// decodeFully is parseRequest without the one-pass reader: the reference it must agree with.
func decodeFully(text string) (*request, error) {
	saved := plainEnabled
	plainEnabled = false
	defer func() { plainEnabled = saved }()
	return parseRequest(text)
}

// Random request texts, some broken on purpose: what the one-pass reader takes, it must read as
// full decoding does.
func TestPlainReaderReadsWhatItTakesAsFullDecodingDoes(t *testing.T) {
	random := rand.New(rand.NewSource(29))
	pick := func(options ...string) string { return options[random.Intn(len(options))] }
	space := func() string { return pick("", "", "", " ", "\n\t", "\r ") }
	str := func() string {
		if random.Intn(25) == 0 { // what the one-pass reader leaves to full decoding
			return `"` + pick(`\u00e9`, "\xc3\xa9", "\x01", `\x`, "\xff") + `"`
		}
		return `"` + pick("", "a", "/calc/add", "GET", `\"q\"`, `\/\\`, `\n\t\b\f\r`, "\x7f", "[{", " sp ") + `"`
	}
	value := func() string {
		if random.Intn(25) == 0 {
			return pick("7", "null", "true", "[]", "{}", `["a"]`, `{"k":"v"}`)
		}
		return str()
	}
	taken := 0
	for i := 0; i < 20000; i++ {
		names := []string{"ReqUrl", "Method", "ReqBody", "ReqQuery", "Header"}
		for n := random.Intn(3); n > 0; n-- {
			names = append(names, pick("ReqUrl", "ReqQuery", "Header", "ReqBody"))
		}
		if random.Intn(10) == 0 {
			names = append(names, pick("Extra", "reqUrl"))
		}
		random.Shuffle(len(names), func(a, b int) { names[a], names[b] = names[b], names[a] })
		if random.Intn(10) == 0 {
			names = names[1:]
		}
		members := []string{}
		for _, name := range names {
			v := value()
			switch {
			case name == "ReqQuery" && random.Intn(5) != 0:
				v = `{"x":` + value() + `,"y":"2",` + space() + `"` + pick("x", "z", "") + `":` + value() + "}"
			case name == "Header" && random.Intn(5) != 0:
				v = `{"H":[` + value() + `],"Host":["a",` + value() + `],"` + pick("X", "H") + `":` + pick("[", "[", "[", "") + value() + pick("]", "]", "]", "") + "}"
			}
			members = append(members, space()+`"`+name+`":`+space()+v)
		}
		text := "{" + strings.Join(members, ",") + "}" + space()
		if random.Intn(4) == 0 {
			at := random.Intn(len(text))
			text = text[:at] + pick(",", "}", `"`, `\`, "]", "x") + text[at:]
		}
		if random.Intn(4) == 0 {
			at := random.Intn(len(text))
			text = text[:at] + text[at+1:]
		}
		fast, ok := parsePlainRequest(text)
		if !ok {
			continue
		}
		taken++
		full, err := decodeFully(text)
		if err != nil {
			t.Fatalf("taken, but full decoding refuses it (%v): %q", err, text)
		}
		if !reflect.DeepEqual(fast, full) {
			t.Fatalf("%q\n one pass %+v\n full     %+v", text, *fast, *full)
		}
	}
	if taken < 1000 {
		t.Fatalf("only %d of 20000 texts taken", taken)
	}
}

func BenchmarkParseRequest(b *testing.B) {
	text := `{"ReqUrl":"/hello/greet","Method":"GET","ReqBody":"","ReqQuery":{"name":"Ann"},` +
		`"Header":{"Host":["127.0.0.1:18811"],"User-Agent":["wrk"]}}`
	for i := 0; i < b.N; i++ {
		if _, err := parseRequest(text); err != nil {
			b.Fatal(err)
		}
	}
}
