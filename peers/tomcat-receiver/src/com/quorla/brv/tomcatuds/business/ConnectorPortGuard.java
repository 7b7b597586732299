package com.quorla.brv.tomcatuds.business;

import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import org.apache.catalina.Lifecycle;
import org.apache.catalina.LifecycleEvent;
import org.apache.catalina.LifecycleListener;
import org.apache.catalina.Server;
import org.apache.catalina.Service;
import org.apache.catalina.connector.Connector;
import org.apache.juli.logging.Log;
import org.apache.juli.logging.LogFactory;

/**
 * Server listener that lets two workers with the same server.xml overlap (a replacement worker
 * starts while the old one still drains): before the connectors bind, a connector whose port is
 * taken by another process moves to a free port. The receiver side finds the port actually bound
 * through JMX, so requests and health checks always reach this process's own Tomcat.
 *
 * <p>It also keeps the server it listens to: JMX names the connectors but does not hand them
 * out, and the receiver side needs the connector itself to run requests through its adapter.
 */
public final class ConnectorPortGuard implements LifecycleListener {
    private static final Log LOG = LogFactory.getLog(ConnectorPortGuard.class);
    private static volatile Server server;

    /** The server this listener was configured on; null when server.xml does not name it. */
    static Server server() {
        return server;
    }

    @Override
    public void lifecycleEvent(LifecycleEvent event) {
        if (!Lifecycle.BEFORE_INIT_EVENT.equals(event.getType()) || !(event.getLifecycle() instanceof Server)) {
            return;
        }
        server = (Server) event.getLifecycle();
        for (Service service : ((Server) event.getLifecycle()).findServices()) {
            for (Connector connector : service.findConnectors()) {
                int port = connector.getPortWithOffset();
                if (port > 0 && !isFree(connector.getProperty("address"), port)) {
                    LOG.warn("port " + port + " is in use by another process; connector "
                            + connector.getProtocol() + " moves to a free port");
                    connector.setPort(0);
                }
            }
        }
    }

    static boolean isFree(Object address, int port) {
        try (ServerSocket socket = new ServerSocket()) {
            socket.setReuseAddress(true);
            InetAddress host = null;
            if (address instanceof InetAddress) {
                host = (InetAddress) address;
            } else if (address != null && !address.toString().isEmpty()) {
                host = InetAddress.getByName(address.toString());
            }
            socket.bind(host == null ? new InetSocketAddress(port) : new InetSocketAddress(host, port));
            return true;
        } catch (IOException e) {
            return false;
        }
    }
}
