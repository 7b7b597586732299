package com.quorla.brv.tomcatuds.business;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.HttpURLConnection;
import java.net.URI;
import java.net.URLEncoder;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Map;
import java.util.Set;

/** Runs one gateway request against the in-process Tomcat over HTTP on 127.0.0.1. */
final class TomcatForwarder {
    static final int CONNECT_TIMEOUT_MS = 5000;
    static final int READ_TIMEOUT_MS = 300000;
    private static final int MAX_BODY_BYTES = 64 * 1024 * 1024;
    /** Set by the connection itself; copying them would corrupt the forwarded request. */
    private static final Set<String> SKIPPED_HEADERS =
            Set.of("host", "content-length", "connection", "transfer-encoding", "keep-alive", "upgrade");

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
    static Result forward(String requestJson, int port) {
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
        if (port <= 0) {
            return new Result(500, "tomcat not ready");
        }
        String path = text(req.get("ReqUrl"));
        if (!path.startsWith("/")) {
            path = "/" + path;
        }
        String method = text(req.get("Method")).toUpperCase();
        String body = text(req.get("ReqBody"));
        String query = queryString(req.get("ReqQuery"));
        HttpURLConnection conn = null;
        try {
            URI uri = new URI("http://127.0.0.1:" + port + path + (query.isEmpty() ? "" : "?" + query));
            conn = (HttpURLConnection) uri.toURL().openConnection();
            conn.setConnectTimeout(CONNECT_TIMEOUT_MS);
            conn.setReadTimeout(READ_TIMEOUT_MS);
            conn.setInstanceFollowRedirects(false);
            conn.setUseCaches(false);
            conn.setRequestMethod(method.isEmpty() ? "GET" : method);
            copyHeaders(req.get("Header"), conn);
            if (!body.isEmpty() && !"GET".equals(method) && !"HEAD".equals(method)) {
                byte[] bytes = body.getBytes(StandardCharsets.UTF_8);
                conn.setDoOutput(true);
                conn.setFixedLengthStreamingMode(bytes.length);
                try (OutputStream out = conn.getOutputStream()) {
                    out.write(bytes);
                }
            }
            int status = conn.getResponseCode();
            InputStream in = status >= 400 ? conn.getErrorStream() : conn.getInputStream();
            return new Result(status, in == null ? "" : readAll(in));
        } catch (java.net.ProtocolException e) {
            return new Result(405, "method not supported: " + method);
        } catch (Exception e) {
            return new Result(500, "tomcat request failed: " + e);
        } finally {
            if (conn != null) {
                conn.disconnect();
            }
        }
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

    @SuppressWarnings("unchecked")
    private static void copyHeaders(Object headers, HttpURLConnection conn) {
        if (!(headers instanceof Map)) {
            return;
        }
        for (Map.Entry<String, Object> e : ((Map<String, Object>) headers).entrySet()) {
            if (SKIPPED_HEADERS.contains(e.getKey().toLowerCase()) || !(e.getValue() instanceof List)) {
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
            try {
                conn.setRequestProperty(e.getKey(), joined.toString());
            } catch (IllegalArgumentException | IllegalStateException ignored) {
                // A header name HTTP cannot carry is dropped; the request still goes out.
            }
        }
    }

    private static String readAll(InputStream in) throws IOException {
        try (InputStream input = in) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buf = new byte[8192];
            int n;
            while ((n = input.read(buf)) > 0) {
                if (out.size() + n > MAX_BODY_BYTES) {
                    throw new IOException("response body too large");
                }
                out.write(buf, 0, n);
            }
            return out.toString(StandardCharsets.UTF_8);
        }
    }
}
