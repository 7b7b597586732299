package com.quorla.brv.tomcatuds.business;

import java.io.BufferedInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.Channels;
import java.nio.channels.SocketChannel;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Pulls one module's requests from the gateway on a connection of its own ("pullreq", then the
 * "message" answer), hands each to the executor that runs it against Tomcat, and pulls again.
 */
final class ModulePuller implements Runnable {
    private static final Logger LOG = Logger.getLogger(ModulePuller.class.getName());
    private static final long RETRY_PAUSE_MS = 1000;

    private final String key;
    private final String clientId;
    private final String udsAddr;
    private final String configuredPort;
    private final ExecutorService executor;
    private final InFlight inFlight;
    private volatile boolean active = true;
    /** Guarded by this: the pull connection, replaced on reconnect. */
    private SocketChannel channel;
    private Thread thread;

    ModulePuller(String key, String pid, String udsAddr, String configuredPort, ExecutorService executor,
                 InFlight inFlight) {
        this.key = key;
        this.clientId = key + "||" + pid;
        this.udsAddr = udsAddr;
        this.configuredPort = configuredPort;
        this.executor = executor;
        this.inFlight = inFlight;
    }

    synchronized void start() {
        thread = new Thread(this, "pull-" + key);
        thread.setDaemon(true);
        thread.start();
    }

    /** Stops pulling for good; requests already handed out still get their responses. */
    void stop() {
        active = false;
        closeChannel();
        synchronized (this) {
            notifyAll();
        }
    }

    /** Drops the connection; the pull loop opens a new one. */
    void reconnect() {
        closeChannel();
    }

    boolean isActive() {
        return active;
    }

    @Override
    public void run() {
        while (active) {
            try {
                SocketChannel ch = openChannel();
                InputStream in = new BufferedInputStream(Channels.newInputStream(ch));
                while (active) {
                    ByteBuffer pull = ByteBuffer.wrap(RespCodec.encode("pullreq", clientId));
                    while (pull.hasRemaining()) {
                        ch.write(pull);
                    }
                    handle(RespCodec.decode(in));
                }
            } catch (IOException e) {
                closeChannel();
                if (active) {
                    LOG.log(Level.INFO, "pull connection of " + key + " lost: " + e);
                    pause();
                }
            }
        }
    }

    private void handle(List<String> parts) {
        if (parts.size() < 4 || !"message".equals(parts.get(0))) {
            LOG.warning("unexpected gateway answer for " + key + ": " + (parts.isEmpty() ? "" : parts.get(0)));
            return;
        }
        String requestId = parts.get(2);
        String requestJson = parts.get(3);
        inFlight.begin(key);
        try {
            executor.execute(() -> {
                try {
                    TomcatForwarder.Result result =
                            TomcatForwarder.forward(requestJson, LocalTomcat.httpPort(configuredPort));
                    GatewayReply.get().send(udsAddr, clientId, requestId, result.status, result.body);
                } finally {
                    inFlight.end(key);
                }
            });
        } catch (RuntimeException e) {
            inFlight.end(key);
            LOG.log(Level.WARNING, "request of " + key + " not run: " + e);
        }
    }

    private synchronized SocketChannel openChannel() throws IOException {
        if (!active) {
            throw new IOException("puller stopped");
        }
        SocketChannel ch = GatewaySocket.open(udsAddr);
        channel = ch;
        return ch;
    }

    private void closeChannel() {
        SocketChannel ch;
        synchronized (this) {
            ch = channel;
            channel = null;
        }
        if (ch != null) {
            try {
                ch.close();
            } catch (IOException ignored) {
                // The blocked read ends either way.
            }
        }
    }

    private synchronized void pause() {
        try {
            if (active) {
                wait(RETRY_PAUSE_MS);
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            active = false;
        }
    }
}
