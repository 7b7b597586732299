package com.quorla.brv.tomcatuds.business;

import java.net.HttpURLConnection;
import java.net.URI;
import java.util.logging.Logger;

/** Tells the worker whether a module's web application answers its health-check URL. */
public final class HealthChecker {
    private static final Logger LOG = Logger.getLogger(HealthChecker.class.getName());
    static final int TIMEOUT_MS = 3000;

    private HealthChecker() {
    }

    /** True when GET url on this process's Tomcat answers 200. */
    public static boolean queryModuleLoad(String url, String port, String key, String udsAddr) {
        int local = LocalTomcat.httpPort(port == null ? "" : port);
        if (local <= 0 || url == null) {
            return false;
        }
        HttpURLConnection conn = null;
        try {
            String path = url.startsWith("/") ? url : "/" + url;
            conn = (HttpURLConnection) new URI("http://127.0.0.1:" + local + path).toURL().openConnection();
            conn.setConnectTimeout(TIMEOUT_MS);
            conn.setReadTimeout(TIMEOUT_MS);
            conn.setInstanceFollowRedirects(false);
            conn.setRequestMethod("GET");
            int status = conn.getResponseCode();
            if (status != 200) {
                LOG.info("health check of " + key + " at port " + local + path + " answered " + status);
            }
            return status == 200;
        } catch (Exception e) {
            LOG.info("health check of " + key + " failed: " + e);
            return false;
        } finally {
            if (conn != null) {
                conn.disconnect();
            }
        }
    }
}
