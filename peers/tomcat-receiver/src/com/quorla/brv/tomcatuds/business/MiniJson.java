package com.quorla.brv.tomcatuds.business;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A small JSON reader for the gateway's request text: objects become LinkedHashMap, arrays
 * ArrayList, strings String, numbers their text, true/false Boolean, null null.
 */
final class MiniJson {
    private static final int MAX_DEPTH = 32;
    private final String text;
    private int pos;

    private MiniJson(String text) {
        this.text = text;
    }

    static Object parse(String text) {
        MiniJson p = new MiniJson(text);
        Object value = p.value(0);
        p.skipBlanks();
        if (p.pos != text.length()) {
            throw p.error("trailing text");
        }
        return value;
    }

    private Object value(int depth) {
        if (depth > MAX_DEPTH) {
            throw error("nested too deep");
        }
        skipBlanks();
        if (pos >= text.length()) {
            throw error("unexpected end");
        }
        char c = text.charAt(pos);
        switch (c) {
            case '{':
                return object(depth);
            case '[':
                return array(depth);
            case '"':
                return string();
            case 't':
                return literal("true", Boolean.TRUE);
            case 'f':
                return literal("false", Boolean.FALSE);
            case 'n':
                return literal("null", null);
            default:
                return number();
        }
    }

    private Map<String, Object> object(int depth) {
        Map<String, Object> map = new LinkedHashMap<>();
        pos++;
        skipBlanks();
        if (peek() == '}') {
            pos++;
            return map;
        }
        for (;;) {
            skipBlanks();
            if (peek() != '"') {
                throw error("member name expected");
            }
            String name = string();
            skipBlanks();
            expect(':');
            map.put(name, value(depth + 1));
            skipBlanks();
            char c = next();
            if (c == '}') {
                return map;
            }
            if (c != ',') {
                throw error("',' or '}' expected");
            }
        }
    }

    private List<Object> array(int depth) {
        List<Object> list = new ArrayList<>();
        pos++;
        skipBlanks();
        if (peek() == ']') {
            pos++;
            return list;
        }
        for (;;) {
            list.add(value(depth + 1));
            skipBlanks();
            char c = next();
            if (c == ']') {
                return list;
            }
            if (c != ',') {
                throw error("',' or ']' expected");
            }
        }
    }

    private String string() {
        expect('"');
        StringBuilder sb = new StringBuilder();
        for (;;) {
            char c = next();
            if (c == '"') {
                return sb.toString();
            }
            if (c != '\\') {
                sb.append(c);
                continue;
            }
            char e = next();
            switch (e) {
                case '"': case '\\': case '/': sb.append(e); break;
                case 'b': sb.append('\b'); break;
                case 'f': sb.append('\f'); break;
                case 'n': sb.append('\n'); break;
                case 'r': sb.append('\r'); break;
                case 't': sb.append('\t'); break;
                case 'u':
                    if (pos + 4 > text.length()) {
                        throw error("short \\u escape");
                    }
                    try {
                        sb.append((char) Integer.parseInt(text.substring(pos, pos + 4), 16));
                    } catch (NumberFormatException ex) {
                        throw error("bad \\u escape");
                    }
                    pos += 4;
                    break;
                default:
                    throw error("bad escape");
            }
        }
    }

    private String number() {
        int start = pos;
        while (pos < text.length() && "+-0123456789.eE".indexOf(text.charAt(pos)) >= 0) {
            pos++;
        }
        if (start == pos) {
            throw error("value expected");
        }
        return text.substring(start, pos);
    }

    private Object literal(String word, Object value) {
        if (!text.startsWith(word, pos)) {
            throw error(word + " expected");
        }
        pos += word.length();
        return value;
    }

    private void skipBlanks() {
        while (pos < text.length() && " \t\r\n".indexOf(text.charAt(pos)) >= 0) {
            pos++;
        }
    }

    private char peek() {
        return pos < text.length() ? text.charAt(pos) : '\0';
    }

    private char next() {
        if (pos >= text.length()) {
            throw error("unexpected end");
        }
        return text.charAt(pos++);
    }

    private void expect(char c) {
        if (next() != c) {
            throw error("'" + c + "' expected");
        }
    }

    private IllegalArgumentException error(String what) {
        return new IllegalArgumentException("bad JSON at " + pos + ": " + what);
    }
}
