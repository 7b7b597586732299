package com.quorla.brv.tomcatuds.business;

import java.net.ConnectException;
import java.net.URI;
import java.net.URLEncoder;
import java.nio.charset.StandardCharsets;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * Runs one gateway request against the in-process Tomcat over HTTP/1.1 on 127.0.0.1, on
 * connections kept between requests.
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

    private static final TomcatClient CLIENT = new TomcatClient();
    /** This process's Tomcat port, looked up once (a JMX query costs more than a request). */
    private static volatile int cachedPort = LocalTomcat.NONE;

    /** Status and body of a finished request. */
    static final class Result {
        final int status;
        final String body;

        Result(int status, String body) {
            this.status = status;
            this.body = body;
        }
    }

    private TomcatForwarder() {
    }

    @SuppressWarnings("unchecked")
    static Result forward(String requestJson, String configuredPort) {
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
            byte[] head = head(method, uri, port, req.get("Header"), content);
            TomcatClient.Response response;
            try {
                response = CLIENT.exchange(port, head, content, "HEAD".equals(method));
            } catch (ConnectException e) {
                // Tomcat's connector may have moved: look the port up again for the next request.
                cachedPort = LocalTomcat.NONE;
                CLIENT.clear();
                throw e;
            }
            return new Result(response.status, new String(response.body, StandardCharsets.UTF_8));
        } catch (Exception e) {
            return new Result(500, "tomcat request failed: " + e);
        }
    }

    private static int port(String configuredPort) {
        int port = cachedPort;
        if (port <= 0) {
            port = LocalTomcat.httpPort(configuredPort);
            cachedPort = port;
        }
        return port;
    }

    private static byte[] head(String method, URI uri, int port, Object headers, byte[] content) {
        StringBuilder sb = new StringBuilder(256);
        sb.append(method).append(' ').append(uri.getRawPath() == null || uri.getRawPath().isEmpty()
                ? "/" : uri.getRawPath());
        if (uri.getRawQuery() != null) {
            sb.append('?').append(uri.getRawQuery());
        }
        sb.append(" HTTP/1.1\r\nHost: 127.0.0.1:").append(port).append("\r\n");
        Set<String> named = copyHeaders(headers, sb);
        if (!named.contains("user-agent")) {
            sb.append("User-Agent: ").append(DEFAULT_USER_AGENT).append("\r\n");
        }
        if (!named.contains("accept")) {
            sb.append("Accept: ").append(DEFAULT_ACCEPT).append("\r\n");
        }
        if (content != null) {
            if (!named.contains("content-type")) {
                sb.append("Content-Type: ").append(FORM_TYPE).append("\r\n");
            }
            sb.append("Content-Length: ").append(content.length).append("\r\n");
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

    /** Appends the request's headers that HTTP can carry; returns their names in lower case. */
    @SuppressWarnings("unchecked")
    private static Set<String> copyHeaders(Object headers, StringBuilder sb) {
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
            sb.append(e.getKey()).append(": ").append(joined).append("\r\n");
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
