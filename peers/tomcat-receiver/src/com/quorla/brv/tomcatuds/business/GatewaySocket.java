package com.quorla.brv.tomcatuds.business;

import java.io.IOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.SocketChannel;
import jdk.net.ExtendedSocketOptions;
import jdk.net.UnixDomainPrincipal;

/**
 * Opens connections to the gateway's socket. The socket lives in /tmp, where any local user could
 * bind the path first and would then receive our requests and answers, so a connection is kept only
 * when the process at the other end runs as our user or as root.
 */
final class GatewaySocket {
    private GatewaySocket() {
    }

    static SocketChannel open(String udsAddr) throws IOException {
        SocketChannel ch = SocketChannel.open(StandardProtocolFamily.UNIX);
        try {
            ch.connect(UnixDomainSocketAddress.of(udsAddr));
            UnixDomainPrincipal peer = ch.getOption(ExtendedSocketOptions.SO_PEERCRED);
            String user = peer.user().getName();
            if (!user.equals(System.getProperty("user.name")) && !user.equals("root")) {
                throw new IOException("peer not trusted, user:" + user + " at " + udsAddr);
            }
            return ch;
        } catch (IOException | RuntimeException e) {
            ch.close();
            throw e;
        }
    }
}
