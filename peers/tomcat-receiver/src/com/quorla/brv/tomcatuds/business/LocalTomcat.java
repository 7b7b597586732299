package com.quorla.brv.tomcatuds.business;

import java.lang.management.ManagementFactory;
import javax.management.MBeanServer;
import javax.management.ObjectName;

/**
 * Finds the HTTP port of the Tomcat that runs in this process. Another worker's Tomcat may listen
 * on the configured port, so the port is taken from this process's own connector when JMX can
 * tell it; the configured port is only the fallback when JMX cannot be asked at all.
 */
final class LocalTomcat {
    /** No started HTTP connector in this process. */
    static final int NONE = -1;

    private LocalTomcat() {
    }

    static int httpPort(String configuredPort) {
        try {
            MBeanServer mbs = ManagementFactory.getPlatformMBeanServer();
            for (ObjectName name : mbs.queryNames(new ObjectName("*:type=Connector,*"), null)) {
                String protocol = String.valueOf(mbs.getAttribute(name, "protocol"));
                String state = String.valueOf(mbs.getAttribute(name, "stateName"));
                Object port = mbs.getAttribute(name, "localPort");
                if (protocol.toUpperCase().contains("AJP") || !"STARTED".equals(state)) {
                    continue;
                }
                if (port instanceof Integer && (Integer) port > 0) {
                    return (Integer) port;
                }
            }
            return NONE;
        } catch (Exception | LinkageError e) {
            try {
                return Integer.parseInt(configuredPort.trim());
            } catch (NumberFormatException nfe) {
                return NONE;
            }
        }
    }
}
