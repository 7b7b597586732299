package com.quorla.brv.tomcatuds.business;

import jakarta.servlet.AsyncContext;
import jakarta.servlet.ServletException;
import jakarta.servlet.http.Cookie;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import jakarta.servlet.http.HttpSession;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.TreeMap;
import org.apache.catalina.Context;
import org.apache.catalina.Wrapper;
import org.apache.catalina.connector.Connector;
import org.apache.catalina.connector.Request;
import org.apache.catalina.connector.Response;
import org.apache.catalina.startup.Tomcat;
import org.apache.catalina.valves.ValveBase;
import org.apache.coyote.AbstractProtocol;
import org.apache.coyote.RequestGroupInfo;

/**
 * The receiver's two ways into Tomcat against an embedded one: every request answered in process
 * (through the connector's adapter) must get the status and body it gets over HTTP, and the
 * requests that cannot be served in process must go over HTTP. Exit status 0 when all hold.
 */
public final class InProcessCheck {
    private static int failures;

    public static void main(String[] args) throws Exception {
        File base = Files.createTempDirectory("vessel-inprocess").toFile();
        Tomcat tomcat = new Tomcat();
        tomcat.setBaseDir(base.getPath());
        Connector connector = new Connector("HTTP/1.1");
        connector.setPort(0);
        connector.setProperty("address", "127.0.0.1");
        tomcat.setConnector(connector);
        tomcat.getServer().addLifecycleListener(new ConnectorPortGuard());
        Context ctx = tomcat.addContext("", base.getPath());
        add(ctx, "echo", new Echo(), false);
        add(ctx, "session", new SessionCount(), false);
        add(ctx, "fail", new Fail(), false);
        add(ctx, "big", new Big(), false);
        add(ctx, "async", new Async(), true);
        tomcat.getEngine().getPipeline().addValve(new ValveBase(true) {
            @Override
            public void invoke(Request request, Response response) throws IOException, ServletException {
                if (request.getHeader("X-Valve-Throws") != null) {
                    throw new IllegalStateException("valve failed");  // escapes the adapter
                }
                getNext().invoke(request, response);
            }
        });
        tomcat.start();
        String port = Integer.toString(connector.getLocalPort());
        try {
            run(port, (RequestGroupInfo) ((AbstractProtocol<?>) connector.getProtocolHandler()).getHandler().getGlobal());
        } finally {
            tomcat.stop();
            tomcat.destroy();
        }
        System.out.println(failures == 0 ? "all checks passed" : failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    private static void run(String port, RequestGroupInfo counters) {
        String big = "x".repeat(30000);
        String[][] same = {
            {"GET with query and headers", req("GET", "/t/echo", "", "{\"a b\":\"1&2\",\"c\":\"\\u00e9\"}",
                    "\"X-Test\":[\"a\",\"b\"],\"Cookie\":[\"k=v\"],\"User-Agent\":[\"check\"]")},
            {"POST with body", req("POST", "/t/echo", big, "{}", "\"Content-Type\":[\"text/plain\"]")},
            {"POST form", req("POST", "/t/echo", "f=1&g=%C3%A9", "{\"form\":\"1\"}", "")},
            {"HEAD", req("HEAD", "/t/echo", "", "{}", "")},
            {"dot segments", req("GET", "/x/../t/./echo", "", "{}", "")},
            {"encoded dot segments", req("GET", "/t/%2e%2e/t/%2E/echo", "", "{}", "")},
            {"encoded dots above the root", req("GET", "/%2e%2e/t/echo", "", "{}", "")},
            {"encoded slash", req("GET", "/t%2fecho", "", "{}", "")},
            {"path parameters", req("GET", "/t;a=1/echo;b=2", "", "{}", "")},
            {"404", req("GET", "/nothing/here", "", "{}", "")},
            {"servlet throws", req("GET", "/t/fail", "", "{}", "")},
            {"servlet throws after committing", req("GET", "/t/fail", "", "{\"late\":\"1\"}", "")},
            {"adapter throws", req("GET", "/t/echo", "", "{}", "\"X-Valve-Throws\":[\"1\"]")},
            {"large body", req("GET", "/t/big", "", "{\"n\":\"5000000\"}", "")},
            {"not UTF-8", req("GET", "/t/big", "", "{\"bin\":\"1\"}", "")},
            {"204 drops the body", req("GET", "/t/big", "", "{\"status\":\"204\"}", "")},
            {"304 drops the body", req("GET", "/t/big", "", "{\"status\":\"304\"}", "")},
            {"TRACE", req("TRACE", "/t/echo", "", "{}", "")},
        };
        long inProcess = TomcatForwarder.inProcessCount();
        for (String[] c : same) {
            long[] before = totals(counters);
            Answer direct = call(c[1], port, true);
            long[] counted = minus(totals(counters), before);
            Answer http = call(c[1], port, false);
            check(c[0], direct.equals(http), "in process " + direct + "\n  over HTTP " + http);
            // The connector's request counters (Tomcat's JMX totals) move alike both ways.
            long[] byHttp = awaitDelta(counters, plus(before, counted), counted);
            check(c[0] + ": counted alike", Arrays.equals(byHttp, counted),
                    "requests, errors, bytes sent, received in process " + Arrays.toString(counted)
                            + ", over HTTP " + Arrays.toString(byHttp));
        }
        check("each of them in process", TomcatForwarder.inProcessCount() - inProcess == same.length,
                (TomcatForwarder.inProcessCount() - inProcess) + " of " + same.length);
        check("a large body whole", call(req("GET", "/t/big", "", "{\"n\":\"5000000\"}", ""), port, true)
                .body.length == 5000000, "");
        check("a thread goes on after the adapter threw",
                call(req("GET", "/t/echo", "", "{}", ""), port, true).status == 200, "");

        // A session made over one way is found by the other, from its cookie or from the URL.
        String id = call(req("GET", "/t/session", "", "{}", ""), port, true).text().split("\\|")[0];
        Answer byCookie = call(req("GET", "/t/session", "", "{}", "\"Cookie\":[\"JSESSIONID=" + id + "\"]"), port, false);
        Answer byUrl = call(req("GET", "/t/session;jsessionid=" + id, "", "{}", ""), port, true);
        check("session by cookie and by URL", byCookie.text().equals(id + "|2")
                && byUrl.text().equals(id + "|3"), byCookie + " then " + byUrl);

        // What may turn asynchronous, and what Tomcat's parser would see differently, goes over HTTP.
        long overHttp = TomcatForwarder.httpCount();
        Answer async = call(req("GET", "/t/async", "", "{}", ""), port, true);
        Answer odd = call(req("GET", "/t/echo", "", "{}", "\"X-Odd\":[\" spaced \"]"), port, true);
        check("async servlet answered over HTTP", async.status == 200 && async.text().equals("async done")
                && TomcatForwarder.httpCount() - overHttp == 2 && odd.status == 200, async + " / " + odd);

        // The reply frame is the one the body's text gave before: malformed UTF-8 as U+FFFD.
        byte[][] bodies = {{}, "plain é €".getBytes(StandardCharsets.UTF_8), {(byte) 0xff, 'a'},
            {(byte) 0xed, (byte) 0xa0, (byte) 0x80}, {(byte) 0xe0, (byte) 0x80, (byte) 0xaf},
            {(byte) 0xf4, (byte) 0x90, (byte) 0x80, (byte) 0x80}, {(byte) 0xf0, (byte) 0x9f, (byte) 0x98},
            {(byte) 0xc3}, {(byte) 0xf0, (byte) 0x9f, (byte) 0x98, (byte) 0x80, (byte) 0xc2, (byte) 0xa9}};
        for (byte[] b : bodies) {
            byte[] before = RespCodec.encode("responsereq", "m||1||2", "id", "200",
                    new String(b, StandardCharsets.UTF_8), "");
            check("frame of " + Arrays.toString(b),
                    Arrays.equals(RespCodec.encodeReply("m||1||2", "id", 200, b, b.length), before), "");
        }
    }

    private static long[] totals(RequestGroupInfo g) {
        return new long[] {g.getRequestCount(), g.getErrorCount(), g.getBytesSent(), g.getBytesReceived()};
    }

    /**
     * What the totals moved by since from, once that is want or 5 s have passed: the connector's
     * processor counts a request just after its answer went out.
     */
    private static long[] awaitDelta(RequestGroupInfo g, long[] from, long[] want) {
        long deadline = System.nanoTime() + 5_000_000_000L;
        long[] d = minus(totals(g), from);
        while (!Arrays.equals(d, want) && System.nanoTime() < deadline) {
            Thread.onSpinWait();
            d = minus(totals(g), from);
        }
        return d;
    }

    private static long[] plus(long[] a, long[] b) {
        long[] s = new long[a.length];
        for (int i = 0; i < a.length; i++) {
            s[i] = a[i] + b[i];
        }
        return s;
    }

    private static long[] minus(long[] a, long[] b) {
        long[] d = new long[a.length];
        for (int i = 0; i < a.length; i++) {
            d[i] = a[i] - b[i];
        }
        return d;
    }

    private static String req(String method, String path, String body, String query, String headers) {
        return "{\"ReqUrl\":\"" + path + "\",\"Method\":\"" + method + "\",\"ReqBody\":\"" + body
                + "\",\"ReqQuery\":" + query + ",\"Header\":{" + headers + "}}";
    }

    private static Answer call(String json, String port, boolean inProcess) {
        TomcatForwarder.Result r = TomcatForwarder.forward(json, port, inProcess);
        return new Answer(r.status, Arrays.copyOf(r.body, r.length));  // the buffer is reused
    }

    private static void check(String what, boolean ok, String detail) {
        if (!ok) {
            failures++;
            System.out.println("FAIL " + what + (detail.isEmpty() ? "" : ": " + detail));
        }
    }

    @SuppressWarnings("deprecation")  // the mapping call Tomcat's own Tomcat.addServlet users make
    private static void add(Context ctx, String name, HttpServlet servlet, boolean async) {
        Wrapper w = Tomcat.addServlet(ctx, name, servlet);
        w.setAsyncSupported(async);
        ctx.addServletMappingDecoded("/t/" + name, name, false);
    }

    private static final class Answer {
        final int status;
        final byte[] body;

        Answer(int status, byte[] body) {
            this.status = status;
            this.body = body;
        }

        String text() {
            return new String(body, StandardCharsets.UTF_8);
        }

        boolean equals(Answer o) {
            return status == o.status && Arrays.equals(body, o.body);
        }

        @Override
        public String toString() {
            String t = text();
            return status + " " + (t.length() > 300 ? t.substring(0, 300) + "..." : t);
        }
    }

    /** What the application sees of a request: target, parameters, header fields, addresses, body. */
    private static final class Echo extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void service(HttpServletRequest r, HttpServletResponse resp) throws IOException {
            StringBuilder sb = new StringBuilder();
            sb.append(r.getMethod()).append(' ').append(r.getRequestURI()).append(" servlet=").append(r.getServletPath())
                    .append(" info=").append(r.getPathInfo()).append(" query=").append(r.getQueryString())
                    .append(" scheme=").append(r.getScheme()).append(' ').append(r.getProtocol())
                    .append(" server=").append(r.getServerName()).append(':').append(r.getServerPort())
                    .append(" remote=").append(r.getRemoteAddr()).append('/').append(r.getRemoteHost())
                    .append(" local=").append(r.getLocalAddr()).append('/').append(r.getLocalName()).append(':')
                    .append(r.getLocalPort()).append(" secure=").append(r.isSecure())
                    .append(" length=").append(r.getContentLengthLong()).append(" type=").append(r.getContentType())
                    .append(" url=").append(r.getRequestURL()).append('\n');
            for (String name : Collections.list(r.getHeaderNames())) {
                sb.append(name).append(": ").append(Collections.list(r.getHeaders(name))).append('\n');
            }
            if (r.getParameter("form") != null) {
                sb.append(new TreeMap<>(r.getParameterMap()).entrySet().stream()
                        .map(e -> e.getKey() + "=" + List.of(e.getValue())).reduce("", String::concat));
            } else {
                sb.append(new String(r.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
            }
            resp.setContentType("text/plain;charset=UTF-8");
            resp.getWriter().write(sb.toString());
        }
    }

    private static final class SessionCount extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void doGet(HttpServletRequest r, HttpServletResponse resp) throws IOException {
            HttpSession s = r.getSession(true);
            Integer n = (Integer) s.getAttribute("n");
            n = n == null ? 1 : n + 1;
            s.setAttribute("n", n);
            resp.addCookie(new Cookie("seen", n.toString()));
            resp.getWriter().write(s.getId() + "|" + n);
        }
    }

    private static final class Fail extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void doGet(HttpServletRequest r, HttpServletResponse resp) throws IOException, ServletException {
            if (r.getParameter("late") != null) {
                resp.getWriter().write("partial answer");
                resp.flushBuffer();
            }
            throw new ServletException("servlet failed");
        }
    }

    private static final class Big extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void doGet(HttpServletRequest r, HttpServletResponse resp) throws IOException {
            if (r.getParameter("status") != null) {
                resp.setStatus(Integer.parseInt(r.getParameter("status")));
            }
            if (r.getParameter("bin") != null) {
                resp.getOutputStream().write(new byte[] {'a', (byte) 0xff, (byte) 0xed, (byte) 0xa0, (byte) 0x80, 'z'});
                return;
            }
            int n = r.getParameter("n") == null ? 100 : Integer.parseInt(r.getParameter("n"));
            byte[] line = "0123456789abcdefghijklmnopqrstuvwxyz\n".getBytes(StandardCharsets.US_ASCII);
            for (int i = 0; i < n; i += line.length) {
                resp.getOutputStream().write(line, 0, Math.min(line.length, n - i));
            }
        }
    }

    private static final class Async extends HttpServlet {
        private static final long serialVersionUID = 1L;

        @Override
        protected void doGet(HttpServletRequest r, HttpServletResponse resp) {
            AsyncContext ac = r.startAsync();
            ac.start(() -> {
                try {
                    ac.getResponse().getWriter().write("async done");
                } catch (IOException e) {
                    throw new IllegalStateException(e);
                } finally {
                    ac.complete();
                }
            });
        }
    }
}
