package com.quorla.brv.tomcatuds.business;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.RejectedExecutionException;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Pulls one module's requests from the gateway on a connection of its own ("pullreq", then the
 * "message" answer) and runs each against Tomcat on its own thread: handing every request to
 * another thread cost more than most requests. The next pull goes out before a request runs, so
 * the gateway can have the next message waiting when it ends. A request that runs longer than
 * a moment does not hold up the connection: takeOverIfSlow hands the connection to a thread of
 * the executor, which goes on pulling while the slow request finishes on the old thread.
 */
final class ModulePuller implements Runnable {
    private static final Logger LOG = Logger.getLogger(ModulePuller.class.getName());
    private static final long RETRY_PAUSE_MS = 1000;

    private final String key;
    private final String clientId;
    private final byte[] pullFrame;
    private final String udsAddr;
    private final String configuredPort;
    private final ExecutorService executor;
    private final InFlight inFlight;
    private volatile boolean active = true;
    /**
     * Guarded by this: the pull connection (replaced on reconnect), the pulling
     * thread's turn (a thread pulls only while its turn is the current one) and when the request
     * that the pulling thread runs began (System.nanoTime(), 0 while it pulls); pulled: a pull on
     * the channel waits for its message (a thread taking the pulling over must not pull again).
     */
    private PullConnection channel;
    private long turn;
    private long busySince;
    private boolean pulled;
    private Thread thread;

    ModulePuller(String key, String pid, String udsAddr, String configuredPort, ExecutorService executor,
                 InFlight inFlight) {
        this.key = key;
        this.clientId = key + "||" + pid;
        this.pullFrame = RespCodec.encode("pullreq", clientId);
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

    /** Stops pulling for good; requests already taken still get their responses. */
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
        long myTurn;
        synchronized (this) {
            myTurn = turn;
        }
        pull(myTurn);
    }

    /**
     * When the request the pulling thread runs began more than slowNanos before now, a thread of
     * the executor takes over the pulling; false when nothing was taken over.
     */
    synchronized boolean takeOverIfSlow(long now, long slowNanos) {
        if (!active || busySince == 0 || now - busySince < slowNanos) {
            return false;
        }
        // Under the lock, so the slow thread sees either its turn or the taker's, never a turn
        // that is given back.
        long since = busySince;
        long next = ++turn;
        busySince = 0;
        try {
            executor.execute(() -> pull(next));
            return true;
        } catch (RejectedExecutionException e) {
            // Every spare thread is busy: the slow thread goes on pulling when its request ends.
            turn = next - 1;
            busySince = since;
            return false;
        }
    }

    private synchronized boolean myTurn(long myTurn) {
        return turn == myTurn;
    }

    private void pull(long myTurn) {
        while (active && myTurn(myTurn)) {
            try {
                PullConnection ch = channel(myTurn);
                if (ch == null) {
                    return;
                }
                InputStream input = ch.input();
                while (active) {
                    boolean pullFirst;
                    synchronized (this) {
                        pullFirst = !pulled;
                    }
                    if (pullFirst) {
                        writePull(ch);
                    }
                    List<String> parts = RespCodec.decode(input);
                    synchronized (this) {
                        pulled = false;
                    }
                    if (!handle(parts, myTurn, ch)) {
                        return;  // another thread pulls now
                    }
                }
            } catch (IOException e) {
                closeChannel();
                if (active && myTurn(myTurn)) {
                    LOG.log(Level.INFO, "pull connection of " + key + " lost: " + e);
                    pause();
                }
            }
        }
    }

    private void writePull(PullConnection ch) throws IOException {
        ch.write(ByteBuffer.wrap(pullFrame));
    }

    /**
     * Runs one gateway answer, with the next pull sent before it runs; false when this thread no
     * longer pulls after it. A failed pull is thrown once the request is answered.
     */
    private boolean handle(List<String> parts, long myTurn, PullConnection ch) throws IOException {
        if (parts.size() < 4 || !"message".equals(parts.get(0))) {
            LOG.warning("unexpected gateway answer for " + key + ": " + (parts.isEmpty() ? "" : parts.get(0)));
            return true;
        }
        boolean pullNow;
        synchronized (this) {
            pullNow = active && channel == ch;
            pulled = pullNow;
        }
        IOException pullFailure = null;
        if (pullNow) {
            try {
                writePull(ch);
            } catch (IOException e) {
                pullFailure = e;
            }
        }
        inFlight.begin(key);
        synchronized (this) {
            busySince = System.nanoTime();
            if (busySince == 0) {
                busySince = 1;
            }
        }
        try {
            TomcatForwarder.Result result = TomcatForwarder.forward(parts.get(3), configuredPort);
            GatewayReply.get().send(udsAddr, clientId, parts.get(2), result.status, result.body, result.length);
        } finally {
            inFlight.end(key);
        }
        boolean mine;
        synchronized (this) {
            busySince = 0;
            mine = turn == myTurn;
        }
        if (pullFailure != null) {
            throw pullFailure;
        }
        return mine;
    }

    /** The open connection, opened when there is none; null when this thread's turn is over. */
    private synchronized PullConnection channel(long myTurn) throws IOException {
        if (!active) {
            throw new IOException("puller stopped");
        }
        if (turn != myTurn) {
            return null;
        }
        if (channel == null) {
            channel = PullConnection.open(udsAddr);
            pulled = false;
        }
        return channel;
    }

    private void closeChannel() {
        PullConnection ch;
        synchronized (this) {
            ch = channel;
            channel = null;
            pulled = false;
        }
        if (ch != null) {
            try {
                ch.close();
            } catch (IOException ignored) {
                // The wait in progress ends either way.
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
