package com.quorla.brv.tomcatuds.business;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.SocketChannel;
import java.util.logging.Level;
import java.util.logging.Logger;

/** The process's connection for "responsereq" messages; the gateway never answers on it. */
final class GatewayReply {
    private static final Logger LOG = Logger.getLogger(GatewayReply.class.getName());
    private static final GatewayReply INSTANCE = new GatewayReply();

    /** Guarded by this: the open channel and the address it was opened for. */
    private SocketChannel channel;
    private String channelAddr;

    static GatewayReply get() {
        return INSTANCE;
    }

    /** Sends one response; a broken connection is re-opened once before the response is given up. */
    synchronized boolean send(String udsAddr, String clientId, String requestId, int status, String body) {
        byte[] frame = RespCodec.encode("responsereq", clientId, requestId, Integer.toString(status), body, "");
        for (int attempt = 0; attempt < 2; attempt++) {
            try {
                if (channel == null || !udsAddr.equals(channelAddr)) {
                    closeQuietly();
                    channel = GatewaySocket.open(udsAddr);
                    channelAddr = udsAddr;
                }
                ByteBuffer buf = ByteBuffer.wrap(frame);
                while (buf.hasRemaining()) {
                    channel.write(buf);
                }
                return true;
            } catch (IOException e) {
                LOG.log(Level.WARNING, "responsereq to " + udsAddr + " failed: " + e);
                closeQuietly();
            }
        }
        return false;
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
