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
 * when the process at the other end runs as our user, as root, or as the user that Vessel's setting
 * trustedGatewayUser names (the worker passes it in VESSEL_TRUSTED_GATEWAY_USER).
 */
final class GatewaySocket {
    static final String TRUSTED_USER_ENV = "VESSEL_TRUSTED_GATEWAY_USER";

    private GatewaySocket() {
    }

    static SocketChannel open(String udsAddr) throws IOException {
        SocketChannel ch = SocketChannel.open(StandardProtocolFamily.UNIX);
        try {
            ch.connect(UnixDomainSocketAddress.of(udsAddr));
            UnixDomainPrincipal peer = ch.getOption(ExtendedSocketOptions.SO_PEERCRED);
            String refusal = refusal(peer.user().getName(), System.getProperty("user.name"),
                    System.getenv(TRUSTED_USER_ENV));
            if (refusal != null) {
                throw new IOException(refusal + " (at " + udsAddr + ")");
            }
            return ch;
        } catch (IOException | RuntimeException e) {
            ch.close();
            throw e;
        }
    }

    /** Null when a gateway run by user may be talked to, else the reason it may not. */
    static String refusal(String user, String ownUser, String trustedUser) {
        if (user.equals(ownUser) || user.equals("root")) {
            return null;
        }
        if (trustedUser == null || trustedUser.isEmpty()) {
            return "gateway peer not trusted: user " + user + " is neither our user nor root; "
                    + "set trustedGatewayUser in container.json to allow it";
        }
        if (user.equals(trustedUser)) {
            return null;
        }
        return "gateway peer not trusted: user " + user + " is neither our user, root nor the "
                + "trustedGatewayUser " + trustedUser + " of container.json";
    }
}
