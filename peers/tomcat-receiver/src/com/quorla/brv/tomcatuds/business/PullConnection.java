package com.quorla.brv.tomcatuds.business;

import java.io.BufferedInputStream;
import java.io.Closeable;
import java.io.IOException;
import java.io.InputStream;
import java.io.InterruptedIOException;
import java.nio.ByteBuffer;
import java.nio.channels.CancelledKeyException;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.ClosedSelectorException;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.SocketChannel;

/**
 * One pull connection to the gateway, waited on through a selector instead of a blocking read.
 *
 * <p>A thread blocked in read(2) on a Unix socket sleeps where the kernel also wakes it whenever
 * the peer takes in what we wrote: the gateway reading our "pullreq" woke the puller for nothing,
 * about once in every request it ran. A selector wakes for what it waits for alone.
 *
 * <p>One thread at a time reads and writes (the pulling thread); close may come from any thread
 * and ends a wait in progress.
 */
final class PullConnection implements Closeable {
    private final SocketChannel channel;
    private final Selector selector;
    private final SelectionKey key;
    private final InputStream in;

    private PullConnection(SocketChannel channel, Selector selector) throws IOException {
        this.channel = channel;
        this.selector = selector;
        channel.configureBlocking(false);
        this.key = channel.register(selector, SelectionKey.OP_READ);
        this.in = new BufferedInputStream(new Input());
    }

    static PullConnection open(String udsAddr) throws IOException {
        SocketChannel ch = GatewaySocket.open(udsAddr);
        Selector sel = null;
        try {
            sel = Selector.open();
            return new PullConnection(ch, sel);
        } catch (IOException | RuntimeException e) {
            ch.close();
            if (sel != null) {
                sel.close();
            }
            throw e;
        }
    }

    /** The buffered stream of what the gateway sends. */
    InputStream input() {
        return in;
    }

    void write(ByteBuffer buf) throws IOException {
        while (buf.hasRemaining()) {
            if (channel.write(buf) == 0) {
                await(SelectionKey.OP_WRITE);
            }
        }
    }

    @Override
    public void close() throws IOException {
        try {
            channel.close();
        } finally {
            selector.close();  // wakes a thread waiting in select and lets the socket go
        }
    }

    /** Waits until the channel is ready for op (or the wait ends for another reason). */
    private void await(int op) throws IOException {
        if (Thread.currentThread().isInterrupted()) {
            throw new InterruptedIOException("pull connection wait interrupted");
        }
        try {
            key.interestOps(op);
            selector.select(ready -> {
            });
        } catch (ClosedSelectorException | CancelledKeyException e) {
            throw new ClosedChannelException();
        }
        if (!channel.isOpen()) {
            throw new ClosedChannelException();
        }
    }

    private final class Input extends InputStream {
        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            int n = read(one, 0, 1);
            return n < 0 ? -1 : one[0] & 0xff;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            if (len == 0) {
                return 0;
            }
            ByteBuffer buf = ByteBuffer.wrap(b, off, len);
            for (;;) {
                int n = channel.read(buf);
                if (n != 0) {
                    return n;
                }
                await(SelectionKey.OP_READ);
            }
        }
    }
}
