package com.quorla.brv.tomcatuds.business;

import java.io.EOFException;
import java.io.IOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;

/**
 * A pull connection against a Unix socket played by this check: a frame that arrives in pieces is
 * read whole, a write larger than the socket buffers waits for room and arrives intact, a close
 * from another thread ends a wait at once, and the gateway's close ends a read. Exit status 0
 * when all hold.
 */
public final class PullConnectionCheck {
    private static int failures;
    private static final ExecutorService POOL = Executors.newCachedThreadPool(r -> {
        Thread t = new Thread(r);
        t.setDaemon(true);
        return t;
    });

    public static void main(String[] args) throws Exception {
        Path dir = Files.createTempDirectory("vessel-pullconn");
        Path sock = dir.resolve("gw.sock");
        try (ServerSocketChannel server = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            server.bind(UnixDomainSocketAddress.of(sock));
            checkPiecesAndLargeWrite(server, sock.toString());
            checkCloseEndsWait(server, sock.toString());
            checkGatewayCloseEndsRead(server, sock.toString());
        } finally {
            Files.deleteIfExists(sock);
            Files.deleteIfExists(dir);
        }
        System.out.println(failures == 0 ? "pull connection check passed" : failures + " failures");
        System.exit(failures == 0 ? 0 : 1);
    }

    private static void checkPiecesAndLargeWrite(ServerSocketChannel server, String path) throws Exception {
        try (PullConnection conn = PullConnection.open(path); SocketChannel gw = server.accept()) {
            CompletableFuture<List<String>> read = CompletableFuture.supplyAsync(() -> decode(conn), POOL);
            byte[] frame = RespCodec.encode("message", "calc", "id-1", "{\"ReqUrl\":\"/calc/add\"}");
            writeAll(gw, Arrays.copyOfRange(frame, 0, 7));
            Thread.sleep(100);  // the reader waits in the middle of the frame
            writeAll(gw, Arrays.copyOfRange(frame, 7, frame.length));
            expect("frame read whole", List.of("message", "calc", "id-1", "{\"ReqUrl\":\"/calc/add\"}"),
                    read.get(10, TimeUnit.SECONDS));

            // Far more than the socket buffers hold: the writer must wait for room, not spin or drop.
            byte[] big = new byte[8 << 20];
            for (int i = 0; i < big.length; i++) {
                big[i] = (byte) (i * 31 + 7);
            }
            CompletableFuture<Void> write = CompletableFuture.runAsync(() -> {
                try {
                    conn.write(ByteBuffer.wrap(big));
                } catch (IOException e) {
                    throw new RuntimeException(e);
                }
            }, POOL);
            Thread.sleep(100);
            ByteBuffer got = ByteBuffer.allocate(big.length);
            while (got.hasRemaining() && gw.read(got) >= 0) {
                continue;
            }
            write.get(10, TimeUnit.SECONDS);
            expect("large write arrives intact", true, Arrays.equals(big, got.array()));
        }
    }

    private static void checkCloseEndsWait(ServerSocketChannel server, String path) throws Exception {
        PullConnection conn = PullConnection.open(path);
        SocketChannel gw = server.accept();  // open, silent: the reader waits for a frame
        try {
            CompletableFuture<String> read = CompletableFuture.supplyAsync(() -> failureOf(conn), POOL);
            Thread.sleep(200);
            conn.close();
            expect("close from another thread ends the wait", "ClosedChannelException",
                    read.get(5, TimeUnit.SECONDS));
        } finally {
            gw.close();
            conn.close();
        }
    }

    private static void checkGatewayCloseEndsRead(ServerSocketChannel server, String path) throws Exception {
        try (PullConnection conn = PullConnection.open(path)) {
            SocketChannel gw = server.accept();
            CompletableFuture<String> read = CompletableFuture.supplyAsync(() -> failureOf(conn), POOL);
            Thread.sleep(200);
            gw.close();
            expect("the gateway's close ends the read", EOFException.class.getSimpleName(),
                    read.get(5, TimeUnit.SECONDS));
        }
    }

    private static List<String> decode(PullConnection conn) {
        try {
            return RespCodec.decode(conn.input());
        } catch (IOException e) {
            throw new RuntimeException(e);
        }
    }

    /** The simple name of what a read of one frame throws, or "none". */
    private static String failureOf(PullConnection conn) {
        try {
            RespCodec.decode(conn.input());
            return "none";
        } catch (IOException e) {
            return e.getClass().getSimpleName();
        }
    }

    private static void writeAll(SocketChannel ch, byte[] bytes) throws IOException {
        ByteBuffer buf = ByteBuffer.wrap(bytes);
        while (buf.hasRemaining()) {
            ch.write(buf);
        }
    }

    private static void expect(String what, Object want, Object got) {
        if (!want.equals(got)) {
            failures++;
            System.out.println("FAIL " + what + ": expected " + want + ", got " + got);
        }
    }
}
