package com.quorla.brv.tomcatuds.business;

import java.net.ConnectException;
import java.net.URI;
import java.net.URLEncoder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Runs one gateway request against the in-process Tomcat: handed to its connector's adapter on the
 * calling thread when that is possible (CoyoteExchange), otherwise over HTTP/1.1 on 127.0.0.1, on
 * connections kept between requests. Both ways see the same request line and headers.
 */
final class TomcatForwarder {
    /** Set by the connection itself; copying them would corrupt the forwarded request. */
    private static final Set<String> SKIPPED_HEADERS = Set.of("host", "content-length", "connection",
            "transfer-encoding", "keep-alive", "upgrade", "expect");
    /** The methods a request may name; any other is answered 405. */
    private static final Set<String> METHODS = Set.of("GET", "POST", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE");
    /** Sent when the request names none, as Java's own HTTP client does. */
    private static final String DEFAULT_USER_AGENT = "Java/" + System.getProperty("java.version");
    private static final String DEFAULT_ACCEPT = "text/html, image/gif, image/jpeg, *; q=.2, */*; q=.2";
    private static final String FORM_TYPE = "application/x-www-form-urlencoded";
    /** -Dtomcatuds.inProcess=false sends every request over HTTP. */
    static final boolean IN_PROCESS = !"false".equalsIgnoreCase(System.getProperty("tomcatuds.inProcess"));

    private static final TomcatClient CLIENT = new TomcatClient();
    /** This process's Tomcat port, looked up once (a JMX query costs more than a request). */
    private static volatile int cachedPort = LocalTomcat.NONE;
    /** Requests answered by the adapter in process and over HTTP. */
    private static final AtomicLong IN_PROCESS_COUNT = new AtomicLong();
    private static final AtomicLong HTTP_COUNT = new AtomicLong();

    /** Status and body of a finished request; body[0, length) may be a buffer the next request on this thread reuses. */
    static final class Result {
        final int status;
        final byte[] body;
        final int length;

        Result(int status, byte[] body, int length) {
            this.status = status;
            this.body = body;
            this.length = length;
        }

        Result(int status, String text) {
            this(status, text.getBytes(StandardCharsets.UTF_8));
        }

        private Result(int status, byte[] body) {
            this(status, body, body.length);
        }

        String text() {
            return new String(body, 0, length, StandardCharsets.UTF_8);
        }
    }

    /** A request as Tomcat receives it: the target as sent on a request line, and the header fields in order. */
    static final class Call {
        final String method;
        final String rawPath;
        /** Null when the target has no "?". */
        final String rawQuery;
        final List<String[]> headers;
        /** Null when the request carries no body. */
        final byte[] content;

        Call(String method, String rawPath, String rawQuery, List<String[]> headers, byte[] content) {
            this.method = method;
            this.rawPath = rawPath;
            this.rawQuery = rawQuery;
            this.headers = headers;
            this.content = content;
        }
    }

    private TomcatForwarder() {
    }

    static Result forward(String requestJson, String configuredPort) {
        return forward(requestJson, configuredPort, IN_PROCESS);
    }

    @SuppressWarnings("unchecked")
    static Result forward(String requestJson, String configuredPort, boolean inProcess) {
        Map<String, Object> req;
        try {
            Object parsed = MiniJson.parse(requestJson);
            if (!(parsed instanceof Map)) {
                return new Result(500, "request is not a JSON object");
            }
            req = (Map<String, Object>) parsed;
        } catch (IllegalArgumentException e) {
            return new Result(500, "bad request JSON: " + e.getMessage());
        }
        int port = port(configuredPort);
        if (port <= 0) {
            return new Result(500, "tomcat not ready");
        }
        String path = text(req.get("ReqUrl"));
        if (!path.startsWith("/")) {
            path = "/" + path;
        }
        String method = text(req.get("Method")).toUpperCase();
        if (method.isEmpty()) {
            method = "GET";
        }
        String body = text(req.get("ReqBody"));
        String query = queryString(req.get("ReqQuery"));
        boolean withBody = !body.isEmpty() && !"GET".equals(method) && !"HEAD".equals(method);
        if (!METHODS.contains(method) || (withBody && "TRACE".equals(method))) {
            return new Result(405, "method not supported: " + method);
        }
        try {
            // Parsing the target as a URI refuses what a request line cannot carry.
            URI uri = new URI("http://127.0.0.1:" + port + path + (query.isEmpty() ? "" : "?" + query));
            byte[] content = withBody ? body.getBytes(StandardCharsets.UTF_8) : null;
            String rawPath = uri.getRawPath() == null || uri.getRawPath().isEmpty() ? "/" : uri.getRawPath();
            Call call = new Call(method, rawPath, uri.getRawQuery(), headers(req.get("Header"), port, content), content);
            if (inProcess) {
                Result direct = CoyoteExchange.run(call, port);
                if (direct != null) {
                    IN_PROCESS_COUNT.incrementAndGet();
                    return direct;
                }
            }
            TomcatClient.Response response;
            try {
                response = CLIENT.exchange(port, head(call), content, "HEAD".equals(method));
            } catch (ConnectException e) {
                // Tomcat's connector may have moved: look the port up again for the next request.
                cachedPort = LocalTomcat.NONE;
                CLIENT.clear();
                throw e;
            }
            HTTP_COUNT.incrementAndGet();
            return new Result(response.status, response.body, response.body.length);
        } catch (Exception e) {
            return new Result(500, "tomcat request failed: " + e);
        }
    }

    /** Requests answered so far by the adapter in process. */
    static long inProcessCount() {
        return IN_PROCESS_COUNT.get();
    }

    /** Requests answered so far over HTTP. */
    static long httpCount() {
        return HTTP_COUNT.get();
    }

    private static int port(String configuredPort) {
        int port = cachedPort;
        if (port <= 0) {
            port = LocalTomcat.httpPort(configuredPort);
            cachedPort = port;
        }
        return port;
    }

    private static byte[] head(Call call) {
        StringBuilder sb = new StringBuilder(256);
        sb.append(call.method).append(' ').append(call.rawPath);
        if (call.rawQuery != null) {
            sb.append('?').append(call.rawQuery);
        }
        sb.append(" HTTP/1.1\r\n");
        for (String[] h : call.headers) {
            sb.append(h[0]).append(": ").append(h[1]).append("\r\n");
        }
        sb.append("\r\n");
        return sb.toString().getBytes(StandardCharsets.UTF_8);
    }

    static String text(Object value) {
        return value == null ? "" : value.toString();
    }

    @SuppressWarnings("unchecked")
    private static String queryString(Object query) {
        if (!(query instanceof Map)) {
            return "";
        }
        StringBuilder sb = new StringBuilder();
        for (Map.Entry<String, Object> e : ((Map<String, Object>) query).entrySet()) {
            if (sb.length() > 0) {
                sb.append('&');
            }
            sb.append(URLEncoder.encode(e.getKey(), StandardCharsets.UTF_8));
            sb.append('=');
            sb.append(URLEncoder.encode(text(e.getValue()), StandardCharsets.UTF_8));
        }
        return sb.toString();
    }

    /**
     * The header fields Tomcat gets, in order: Host, the request's own that HTTP can carry, then
     * the defaults for those it does not name and the body's length.
     */
    private static List<String[]> headers(Object headers, int port, byte[] content) {
        List<String[]> out = new ArrayList<>(8);
        out.add(new String[] {"Host", "127.0.0.1:" + port});
        Set<String> named = copyHeaders(headers, out);
        if (!named.contains("user-agent")) {
            out.add(new String[] {"User-Agent", DEFAULT_USER_AGENT});
        }
        if (!named.contains("accept")) {
            out.add(new String[] {"Accept", DEFAULT_ACCEPT});
        }
        if (content != null) {
            if (!named.contains("content-type")) {
                out.add(new String[] {"Content-Type", FORM_TYPE});
            }
            out.add(new String[] {"Content-Length", Integer.toString(content.length)});
        }
        return out;
    }

    /** Adds the request's headers that HTTP can carry; returns their names in lower case. */
    @SuppressWarnings("unchecked")
    private static Set<String> copyHeaders(Object headers, List<String[]> out) {
        Set<String> named = new HashSet<>();
        if (!(headers instanceof Map)) {
            return named;
        }
        for (Map.Entry<String, Object> e : ((Map<String, Object>) headers).entrySet()) {
            String name = e.getKey().toLowerCase();
            if (SKIPPED_HEADERS.contains(name) || !(e.getValue() instanceof List) || !isToken(name)) {
                continue;
            }
            List<Object> values = (List<Object>) e.getValue();
            if (values.isEmpty()) {
                continue;
            }
            StringBuilder joined = new StringBuilder();
            for (Object v : values) {
                if (joined.length() > 0) {
                    joined.append(' ');
                }
                joined.append(text(v));
            }
            // A value that would end the header line early is dropped; the request still goes out.
            if (joined.indexOf("\r") >= 0 || joined.indexOf("\n") >= 0 || joined.indexOf("\0") >= 0) {
                continue;
            }
            named.add(name);
            out.add(new String[] {e.getKey(), joined.toString()});
        }
        return named;
    }

    private static boolean isToken(String name) {
        if (name.isEmpty()) {
            return false;
        }
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            if (c <= ' ' || c >= 0x7f || "()<>@,;:\\\"/[]?={}".indexOf(c) >= 0) {
                return false;
            }
        }
        return true;
    }
}
