package com.quorla.brv.tomcatuds.business;

import java.io.IOException;
import java.lang.reflect.Method;
import java.net.InetAddress;
import java.net.UnknownHostException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.logging.Level;
import java.util.logging.Logger;
import org.apache.catalina.Context;
import org.apache.catalina.Server;
import org.apache.catalina.Service;
import org.apache.catalina.connector.Connector;
import org.apache.catalina.connector.CoyoteAdapter;
import org.apache.catalina.mapper.Mapper;
import org.apache.catalina.mapper.MappingData;
import org.apache.coyote.ActionCode;
import org.apache.coyote.ActionHook;
import org.apache.coyote.Adapter;
import org.apache.coyote.InputBuffer;
import org.apache.coyote.OutputBuffer;
import org.apache.coyote.ProtocolHandler;
import org.apache.coyote.Request;
import org.apache.coyote.RequestGroupInfo;
import org.apache.coyote.RequestInfo;
import org.apache.coyote.Response;
import org.apache.coyote.http11.AbstractHttp11Protocol;
import org.apache.tomcat.util.buf.ByteChunk;
import org.apache.tomcat.util.buf.MessageBytes;
import org.apache.tomcat.util.buf.UDecoder;
import org.apache.tomcat.util.descriptor.web.FilterDef;
import org.apache.tomcat.util.net.ApplicationBufferHandler;
import org.apache.tomcat.util.net.ServletConnectionImpl;

/**
 * Runs a request through this process's started HTTP connector without a socket: the calling
 * thread fills a Coyote request/response pair and calls the connector's adapter, which decodes,
 * maps and serves it as it serves a request its own processor parsed. This class stands in for
 * that processor (the action hook and the body buffers) and collects the answer. One instance per
 * thread; its pair is recycled between requests.
 *
 * <p>A request goes over HTTP instead (run answers null) when only the connector's own processor
 * could serve it the same way: one that may turn asynchronous (its servlet, or a filter of its
 * context, supports that), a target or header field the connector's parser might refuse or read
 * differently, or a connector with TLS or compression.
 */
final class CoyoteExchange implements ActionHook, InputBuffer, OutputBuffer {
    private static final Logger LOG = Logger.getLogger(CoyoteExchange.class.getName());
    /** Tomcat's own filter: it upgrades WebSocket handshakes only, which never come this way. */
    private static final String WEBSOCKET_FILTER = "org.apache.tomcat.websocket.server.WsFilter";
    /** A larger collecting buffer is not kept for the thread's next request. */
    private static final int KEPT_BUFFER_BYTES = 256 * 1024;
    /** Bytes a request line and header fields may take below the connector's limit, for safety. */
    private static final int HEAD_MARGIN = 64;
    private static final Method REQUEST_HOOK = hookSetter(Request.class);
    private static final Method RESPONSE_HOOK = hookSetter(Response.class);
    private static final AtomicLong CONNECTION_IDS = new AtomicLong();
    private static final ThreadLocal<CoyoteExchange> PER_THREAD = new ThreadLocal<>();

    /** The connector for one port; a new one is looked up when Tomcat's port changes. */
    private static volatile Target target;
    /** The port whose connector cannot be used this way (said once in the log). */
    private static volatile int refusedPort = LocalTomcat.NONE;
    private static volatile String localName;

    private static final class Target {
        final int port;
        final Connector connector;
        final Adapter adapter;
        final Mapper mapper;
        final int maxHeadBytes;
        final int maxHeaderCount;
        /**
         * What the requests served here add to the connector's request counters (its
         * GlobalRequestProcessor in JMX), as its own processors add theirs; null when the
         * connector keeps none. One for all threads: a thread's own would stay listed after the
         * thread ended.
         */
        private final RequestInfo counters;
        private final RequestGroupInfo global;

        Target(int port, Connector connector, Service service, AbstractHttp11Protocol<?> http) {
            this.port = port;
            this.connector = connector;
            this.adapter = http.getAdapter();
            this.mapper = service.getMapper();
            this.maxHeadBytes = http.getMaxHttpRequestHeaderSize();
            this.maxHeaderCount = http.getMaxHeaderCount();
            Object group = http.getHandler() == null ? null : http.getHandler().getGlobal();
            global = group instanceof RequestGroupInfo ? (RequestGroupInfo) group : null;
            counters = global == null ? null : new RequestInfo(new Request());
        }

        /** This connector is the one requests go to from now on: its totals include ours. */
        void adopt() {
            if (counters != null) {
                counters.setGlobalProcessor(global);
            }
        }

        /** Counts one request as the connector's processor does when it ends one. */
        void count(Request req, Response res, int status) {
            if (counters == null) {
                return;
            }
            long ms = (System.nanoTime() - req.getStartTimeNanos()) / 1_000_000;
            synchronized (counters) {
                counters.setRequestCount(counters.getRequestCount() + 1);
                if (status >= 400) {
                    counters.setErrorCount(counters.getErrorCount() + 1);
                }
                counters.setBytesReceived(counters.getBytesReceived() + req.getBytesRead());
                counters.setBytesSent(counters.getBytesSent() + res.getContentWritten());
                counters.setProcessingTime(counters.getProcessingTime() + ms);
                if (ms > counters.getMaxTime()) {
                    counters.setMaxTime(ms);
                    counters.setMaxRequestUri(req.requestURI().toString());
                }
            }
        }

        /** The connector is no longer this one: what was counted stays in its totals. */
        void release() {
            if (counters != null) {
                counters.setGlobalProcessor(null);
            }
        }
    }

    private final Target tc;
    private final Request req = new Request();
    private final Response res = new Response();
    private final String connectionId = Long.toString(CONNECTION_IDS.incrementAndGet());
    private final UDecoder decoder = new UDecoder();
    private final MessageBytes mapUri = MessageBytes.newInstance();
    private final MessageBytes mapHost = MessageBytes.newInstance();
    private final MappingData mapping = new MappingData();

    private byte[] content;
    private int contentPos;
    private boolean headRequest;
    private byte[] out = new byte[8192];
    private int outLen;
    /** No body goes with the status committed (HEAD, 1xx, 204, 205, 304), as on the wire. */
    private boolean bodyless;
    private boolean tooLarge;
    /** Tomcat asked to close the connection at once: over HTTP the answer would be cut off. */
    private boolean closedNow;

    private CoyoteExchange(Target tc) throws ReflectiveOperationException {
        this.tc = tc;
        req.setResponse(res);
        REQUEST_HOOK.invoke(req, this);
        RESPONSE_HOOK.invoke(res, this);
        req.setInputBuffer(this);
        res.setOutputBuffer(this);
    }

    /**
     * Serves call through the adapter of the connector on port, on this thread; null when it has
     * to go over HTTP.
     */
    static TomcatForwarder.Result run(TomcatForwarder.Call call, int port) {
        Target t = target(port);
        if (t == null) {
            return null;
        }
        CoyoteExchange ex = PER_THREAD.get();
        try {
            if (ex == null || ex.tc != t) {
                ex = new CoyoteExchange(t);
                PER_THREAD.set(ex);
            }
        } catch (ReflectiveOperationException | RuntimeException e) {
            LOG.log(Level.WARNING, "cannot prepare a request for Tomcat's adapter: " + e);
            return null;
        }
        try {
            if (!ex.fits(call) || !ex.synchronous(call.rawPath)) {
                return null;
            }
        } catch (Throwable e) {
            // Nothing was handed to Tomcat yet: the request can still go over HTTP.
            LOG.log(Level.WARNING, "cannot map " + call.rawPath + " in process: " + e);
            PER_THREAD.remove();
            return null;
        }
        return ex.serve(call);
    }

    private static Method hookSetter(Class<?> cls) {
        try {
            // Package-private in Coyote: its processors set it, and this class stands in for one.
            Method m = cls.getDeclaredMethod("setHook", ActionHook.class);
            m.setAccessible(true);
            return m;
        } catch (ReflectiveOperationException | RuntimeException e) {
            return null;
        }
    }

    private static Target target(int port) {
        Target t = target;
        if (t != null && t.port == port) {
            return t.connector.getState().isAvailable() ? t : null;
        }
        if (port == refusedPort) {
            return null;
        }
        synchronized (CoyoteExchange.class) {
            t = target;
            if (t != null && t.port == port) {
                return t;
            }
            String refusal = null;
            Server server = ConnectorPortGuard.server();
            if (REQUEST_HOOK == null || RESPONSE_HOOK == null) {
                refusal = "this Tomcat's Coyote request has no action hook to set";
            } else if (server == null) {
                refusal = "server.xml names no " + ConnectorPortGuard.class.getSimpleName() + " listener";
            } else {
                t = find(server, port);
                if (t == null) {
                    refusal = "no plain HTTP/1.1 connector without TLS or compression on port " + port;
                } else if (!t.connector.getState().isAvailable()) {
                    return null;  // not started yet or stopping: over HTTP this time, asked again next time
                }
            }
            if (t == null) {
                refusedPort = port;
                LOG.info("requests go to tomcat over HTTP on port " + port + ": " + refusal);
                return null;
            }
            if (target != null) {
                target.release();
            }
            t.adopt();
            target = t;
            LOG.info("requests go to tomcat's adapter in process (connector port " + port + ")");
            return t;
        }
    }

    private static Target find(Server server, int port) {
        for (Service service : server.findServices()) {
            for (Connector c : service.findConnectors()) {
                if (c.getLocalPort() != port) {
                    continue;
                }
                ProtocolHandler ph = c.getProtocolHandler();
                if (!(ph instanceof AbstractHttp11Protocol) || ph.getAdapter() == null || c.getSecure()
                        || !"http".equals(c.getScheme()) || c.getUseIPVHosts()) {
                    return null;
                }
                AbstractHttp11Protocol<?> http = (AbstractHttp11Protocol<?>) ph;
                if (http.isSSLEnabled() || !"off".equalsIgnoreCase(http.getCompression())) {
                    return null;
                }
                return new Target(port, c, service, http);
            }
        }
        return null;
    }

    /** True when Tomcat's HTTP parser would take the request line and fields as they are. */
    private boolean fits(TomcatForwarder.Call call) {
        if (!plainTarget(call.rawPath) || (call.rawQuery != null && !plainTarget(call.rawQuery))) {
            return false;
        }
        if (tc.maxHeaderCount >= 0 && call.headers.size() >= tc.maxHeaderCount) {
            return false;
        }
        int head = call.method.length() + call.rawPath.length() + 13
                + (call.rawQuery == null ? 0 : call.rawQuery.length() + 1);
        for (String[] h : call.headers) {
            if (!plainValue(h[1])) {
                return false;
            }
            head += h[0].length() + h[1].length() + 4;
        }
        return head + 2 <= tc.maxHeadBytes - HEAD_MARGIN;
    }

    /** Characters every request target may carry (RFC 3986 path and query characters). */
    private static boolean plainTarget(String s) {
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                    || "-._~!$&'()*+,;=:@/?%".indexOf(c) >= 0)) {
                return false;
            }
        }
        return true;
    }

    /** Visible ASCII and inner spaces: what the parser keeps as it is, with nothing to trim. */
    private static boolean plainValue(String s) {
        int n = s.length();
        if (n > 0 && (s.charAt(0) == ' ' || s.charAt(n - 1) == ' ')) {
            return false;
        }
        for (int i = 0; i < n; i++) {
            char c = s.charAt(i);
            if (c < ' ' || c >= 0x7f) {
                return false;
            }
        }
        return true;
    }

    /**
     * False when the request may turn asynchronous: the servlet the connector's mapper gives its
     * target supports that, or a filter of its context does. The target is decoded and normalised
     * with Tomcat's own steps; one that fails them is answered 400 by the adapter, synchronously.
     */
    private boolean synchronous(String rawPath) {
        byte[] b = rawPath.getBytes(StandardCharsets.ISO_8859_1);
        int len = withoutPathParameters(b);
        mapUri.setBytes(b, 0, len);
        try {
            decoder.convert(mapUri.getByteChunk(), tc.connector.getEncodedSolidusHandlingInternal(),
                    tc.connector.getEncodedReverseSolidusHandlingInternal());
        } catch (IOException e) {
            return true;
        }
        if (!CoyoteAdapter.normalize(mapUri, tc.connector.getAllowBackslash())) {
            return true;
        }
        ByteChunk bc = mapUri.getByteChunk();
        mapUri.setString(new String(bc.getBuffer(), bc.getStart(), bc.getLength(), tc.connector.getURICharset()));
        mapHost.setString("127.0.0.1");
        mapping.recycle();
        try {
            tc.mapper.map(mapHost, mapUri, null, mapping);
        } catch (IOException | RuntimeException e) {
            return false;
        }
        Context context = mapping.context;
        boolean sync = context == null
                || ((mapping.wrapper == null || !mapping.wrapper.isAsyncSupported()) && !asyncFilters(context));
        mapping.recycle();
        return sync;
    }

    private static boolean asyncFilters(Context context) {
        for (FilterDef f : context.findFilterDefs()) {
            if (f.getAsyncSupportedBoolean() && !WEBSOCKET_FILTER.equals(f.getFilterClass())) {
                return true;
            }
        }
        return false;
    }

    /** Drops ";name=value" path parameters from each segment in place, as the adapter does; the new length. */
    static int withoutPathParameters(byte[] b) {
        int n = 0;
        boolean inParameter = false;
        for (byte c : b) {
            if (c == ';') {
                inParameter = true;
            } else if (c == '/') {
                inParameter = false;
            }
            if (!inParameter) {
                b[n++] = c;
            }
        }
        return n;
    }

    private TomcatForwarder.Result serve(TomcatForwarder.Call call) {
        headRequest = "HEAD".equals(call.method);
        content = call.content;
        contentPos = 0;
        outLen = 0;
        bodyless = false;
        tooLarge = false;
        closedNow = false;
        try {
            req.markStartTime();
            req.setMethod(call.method);
            byte[] uri = call.rawPath.getBytes(StandardCharsets.ISO_8859_1);
            req.requestURI().setBytes(uri, 0, uri.length);
            if (call.rawQuery != null) {
                byte[] query = call.rawQuery.getBytes(StandardCharsets.ISO_8859_1);
                req.queryString().setBytes(query, 0, query.length);
            }
            req.protocol().setString("HTTP/1.1");
            req.serverName().setString("127.0.0.1");
            req.setServerPort(tc.port);
            for (String[] h : call.headers) {
                // Tomcat's HTTP parser hands the application header names in lower case.
                req.getMimeHeaders().addValue(h[0].toLowerCase(Locale.ROOT)).setString(h[1]);
            }
            if (content != null) {
                req.setContentLength(content.length);
            }
            tc.adapter.service(req, res);
            if (!res.isCommitted()) {
                commit();
            }
            tc.count(req, res, res.getStatus());
            if (tooLarge) {
                return new TomcatForwarder.Result(500, "tomcat request failed: java.io.IOException: response body too large");
            }
            if (closedNow) {
                // What the HTTP path reports when Tomcat drops the connection during an answer.
                return new TomcatForwarder.Result(500,
                        "tomcat request failed: java.io.EOFException: tomcat closed the connection");
            }
            return new TomcatForwarder.Result(res.getStatus(), out, outLen);
        } catch (Throwable t) {
            // Over HTTP the connector's processor answers 500 without a body; so does this.
            LOG.log(Level.WARNING, "request " + call.method + " " + call.rawPath + " failed in tomcat's adapter", t);
            PER_THREAD.remove();
            tc.count(req, res, 500);
            return new TomcatForwarder.Result(500, new byte[0], 0);
        } finally {
            content = null;
            req.recycle();
            res.recycle();
            if (out.length > KEPT_BUFFER_BYTES) {
                // The result still holds the large buffer; the thread keeps a small one.
                out = new byte[8192];
            }
        }
    }

    private void commit() {
        int status = res.getStatus();
        bodyless = headRequest || status < 200 || status == 204 || status == 205 || status == 304;
        res.setCommitted(true);
    }

    @Override
    public void action(ActionCode code, Object param) {
        switch (code) {
            case COMMIT:
            case CLIENT_FLUSH:
                if (!res.isCommitted()) {
                    commit();
                }
                break;
            case CLOSE:
                if (!res.isCommitted()) {
                    commit();
                }
                break;
            case CLOSE_NOW:
                closedNow = true;
                // As the connector's processor marks it: an answer cut off is an error, in the
                // access log and the request counters, unless the client went away.
                if (res.getStatus() < 400 && !(param instanceof IOException)) {
                    res.setStatus(500);
                }
                break;
            case IS_ERROR:
                ((AtomicBoolean) param).set(closedNow);
                break;
            case IS_IO_ALLOWED:
                ((AtomicBoolean) param).set(!closedNow);
                break;
            case AVAILABLE:
                req.setAvailable(available());
                break;
            case REQUEST_BODY_FULLY_READ:
                ((AtomicBoolean) param).set(available() == 0);
                break;
            case REQ_SET_BODY_REPLAY: {
                ByteChunk replay = (ByteChunk) param;
                content = Arrays.copyOfRange(replay.getBuffer(), replay.getStart(), replay.getEnd());
                contentPos = 0;
                req.setContentLength(content.length);
                break;
            }
            case REQ_HOST_ADDR_ATTRIBUTE:
                req.remoteAddr().setString("127.0.0.1");
                break;
            case REQ_PEER_ADDR_ATTRIBUTE:
                req.peerAddr().setString("127.0.0.1");
                break;
            case REQ_HOST_ATTRIBUTE:
                req.remoteHost().setString(localName());
                break;
            case REQ_LOCAL_NAME_ATTRIBUTE:
                req.localName().setString(localName());
                break;
            case REQ_LOCAL_ADDR_ATTRIBUTE:
                req.localAddr().setString("127.0.0.1");
                break;
            case REQ_LOCALPORT_ATTRIBUTE:
                req.setLocalPort(tc.port);
                break;
            case REQ_REMOTEPORT_ATTRIBUTE:
                req.setRemotePort(0);  // no socket: no client port
                break;
            case ASYNC_START:
                // Checked before dispatch; should anything still try, it fails as where async is unsupported.
                throw new IllegalStateException("asynchronous processing is not available to in-process requests");
            case UPGRADE:
                throw new IllegalStateException("protocol upgrades are not available to in-process requests");
            case ASYNC_IS_ASYNC:
            case ASYNC_IS_STARTED:
            case ASYNC_IS_COMPLETING:
            case ASYNC_IS_DISPATCHING:
            case ASYNC_IS_TIMINGOUT:
            case ASYNC_IS_ERROR:
            case IS_PUSH_SUPPORTED:
                ((AtomicBoolean) param).set(false);
                break;
            case NB_READ_INTEREST:
            case NB_WRITE_INTEREST:
            case IS_TRAILER_FIELDS_READY:
                ((AtomicBoolean) param).set(true);
                break;
            case IS_TRAILER_FIELDS_SUPPORTED:
                ((AtomicBoolean) param).set(!res.isCommitted());
                break;
            case PROTOCOL_REQUEST_ID:
                cast(param).set(null);
                break;
            case SERVLET_CONNECTION:
                cast(param).set(new ServletConnectionImpl(connectionId, "HTTP/1.1", "", false));
                break;
            default:
                // ACK, DISABLE_SWALLOW_INPUT, SSL and the remaining asynchronous codes: nothing to do
                // without a socket or an asynchronous cycle.
                break;
        }
    }

    @SuppressWarnings("unchecked")
    private static AtomicReference<Object> cast(Object param) {
        return (AtomicReference<Object>) param;
    }

    private static String localName() {
        String name = localName;
        if (name == null) {
            try {
                // What the connector reports for its loopback socket.
                name = InetAddress.getByAddress(new byte[] {127, 0, 0, 1}).getHostName();
            } catch (UnknownHostException e) {
                name = "127.0.0.1";
            }
            localName = name;
        }
        return name;
    }

    @Override
    public int doRead(ApplicationBufferHandler handler) {
        int n = available();
        if (n == 0) {
            return -1;
        }
        handler.setByteBuffer(ByteBuffer.wrap(content, contentPos, n));
        contentPos += n;
        return n;
    }

    @Override
    public int available() {
        return content == null ? 0 : content.length - contentPos;
    }

    @Override
    public int doWrite(ByteBuffer chunk) throws IOException {
        if (!res.isCommitted()) {
            commit();
        }
        int n = chunk.remaining();
        if (bodyless) {
            // Dropped without taking it from the chunk, as the connector's filter for answers
            // without a body does: the response then counts no bytes sent.
            return n;
        }
        if ((long) outLen + n > TomcatClient.MAX_BODY_BYTES) {
            tooLarge = true;
            throw new IOException("response body too large");
        }
        if (outLen + n > out.length) {
            out = Arrays.copyOf(out, Math.max(outLen + n, (int) Math.min(TomcatClient.MAX_BODY_BYTES, 2L * out.length)));
        }
        chunk.get(out, outLen, n);
        outLen += n;
        return n;
    }

    @Override
    public long getBytesWritten() {
        return outLen;
    }
}
