package com.quorla.brv.tomcatuds.business;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.SocketChannel;
import java.util.ArrayList;
import java.util.List;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * The process's connection for "responsereq" messages; the gateway never answers on it.
 *
 * <p>A response that arrives while another thread writes is queued and goes out with that
 * writer's next write (one system call for several responses, and no thread waits for the
 * connection). Locking: the queue and writing are guarded by queueLock; the channel and its
 * address by this, held for a whole write so frames never interleave. this is never taken
 * while queueLock is held.
 */
final class GatewayReply {
    private static final Logger LOG = Logger.getLogger(GatewayReply.class.getName());
    private static final GatewayReply INSTANCE = new GatewayReply();

    /** A frame waiting for the writer and the gateway it goes to. */
    private static final class Pending {
        final String udsAddr;
        final byte[] frame;

        Pending(String udsAddr, byte[] frame) {
            this.udsAddr = udsAddr;
            this.frame = frame;
        }
    }

    private final Object queueLock = new Object();
    private List<Pending> queue = new ArrayList<>();
    private boolean writing;

    private SocketChannel channel;
    private String channelAddr;

    static GatewayReply get() {
        return INSTANCE;
    }

    /**
     * Sends one response, or queues it for the thread that is writing; a broken connection is
     * re-opened once before a response is given up.
     */
    void send(String udsAddr, String clientId, String requestId, int status, byte[] body, int length) {
        byte[] frame = RespCodec.encodeReply(clientId, requestId, status, body, length);
        List<Pending> batch;
        synchronized (queueLock) {
            queue.add(new Pending(udsAddr, frame));
            if (writing) {
                return;
            }
            writing = true;
            batch = take();
        }
        while (batch != null) {
            write(batch);
            synchronized (queueLock) {
                batch = queue.isEmpty() ? null : take();
                writing = batch != null;
            }
        }
    }

    /** True while a response is queued or being written. */
    boolean busy() {
        synchronized (queueLock) {
            return writing || !queue.isEmpty();
        }
    }

    private List<Pending> take() {
        List<Pending> batch = queue;
        queue = new ArrayList<>();
        return batch;
    }

    /** Writes the frames in order, those for one gateway address together. */
    private synchronized void write(List<Pending> batch) {
        int from = 0;
        while (from < batch.size()) {
            String addr = batch.get(from).udsAddr;
            int to = from;
            int bytes = 0;
            while (to < batch.size() && batch.get(to).udsAddr.equals(addr)) {
                bytes += batch.get(to).frame.length;
                to++;
            }
            ByteBuffer buf;
            if (to - from == 1) {
                buf = ByteBuffer.wrap(batch.get(from).frame);  // a large answer is not copied again
            } else {
                buf = ByteBuffer.allocate(bytes);
                for (int i = from; i < to; i++) {
                    buf.put(batch.get(i).frame);
                }
                buf.flip();
            }
            writeTo(addr, buf, batch.subList(from, to));
            from = to;
        }
    }

    private void writeTo(String udsAddr, ByteBuffer buf, List<Pending> frames) {
        for (int attempt = 0; attempt < 2; attempt++) {
            try {
                if (channel == null || !udsAddr.equals(channelAddr)) {
                    closeQuietly();
                    channel = GatewaySocket.open(udsAddr);
                    channelAddr = udsAddr;
                }
                while (buf.hasRemaining()) {
                    channel.write(buf);
                }
                return;
            } catch (IOException e) {
                LOG.log(Level.WARNING, "responsereq to " + udsAddr + " failed: " + e);
                closeQuietly();
                // Frames written whole before the failure are not sent twice.
                int start = 0;
                for (Pending p : frames) {
                    if (start + p.frame.length > buf.position()) {
                        break;
                    }
                    start += p.frame.length;
                }
                buf.position(start);
            }
        }
    }

    private void closeQuietly() {
        if (channel != null) {
            try {
                channel.close();
            } catch (IOException ignored) {
                // Nothing to do about a failed close.
            }
        }
        channel = null;
        channelAddr = null;
    }
}
