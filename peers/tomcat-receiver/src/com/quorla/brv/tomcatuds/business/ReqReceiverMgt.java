package com.quorla.brv.tomcatuds.business;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.logging.Logger;

/**
 * Entry points the worker calls through JNI: start, stop and reconnect the pulling of a module's
 * requests, and tell whether every handed-out request has been answered.
 */
public final class ReqReceiverMgt {
    private static final Logger LOG = Logger.getLogger(ReqReceiverMgt.class.getName());
    /** The port the health check is given; used only when this process's own cannot be found. */
    static final String DEFAULT_PORT = "32018";
    private static final int WORKER_THREADS = 16;
    /** Pull connections per module (each keeps one request in flight), as the worker says: 1-16. */
    static final int PULL_CONNECTIONS =
            Math.max(1, Math.min(16, Integer.getInteger("tomcatuds.pullConnections", 1)));

    /** Guarded by the class: each module key's pullers. */
    private static final Map<String, List<ModulePuller>> PULLERS = new HashMap<>();
    private static final InFlight IN_FLIGHT = new InFlight();
    private static final ExecutorService EXECUTOR = newExecutor();

    private ReqReceiverMgt() {
    }

    /** Starts pulling for key as client key||pid from the gateway at udsAddr (restarts it when running). */
    public static void insertRequestReceiver(String key, String pid, String udsAddr) {
        if (key == null || pid == null || udsAddr == null) {
            throw new IllegalArgumentException("key, pid and gateway address are required");
        }
        List<ModulePuller> pullers = new ArrayList<>();
        for (int i = 0; i < PULL_CONNECTIONS; i++) {
            pullers.add(new ModulePuller(key, pid, udsAddr, DEFAULT_PORT, EXECUTOR, IN_FLIGHT));
        }
        List<ModulePuller> old;
        synchronized (ReqReceiverMgt.class) {
            old = PULLERS.put(key, pullers);
        }
        if (old != null) {
            old.forEach(ModulePuller::stop);
        }
        pullers.forEach(ModulePuller::start);
        LOG.info("receiver started for " + key + " pid " + pid + " at " + udsAddr);
    }

    /** Stops pulling for key; its requests in flight still get their responses. */
    public static void clearRequestReceiver(String key) {
        List<ModulePuller> pullers;
        synchronized (ReqReceiverMgt.class) {
            pullers = PULLERS.remove(key);
        }
        if (pullers != null) {
            pullers.forEach(ModulePuller::stop);
            LOG.info("receiver cleared for " + key);
        }
    }

    /** Re-opens the pull connections of key. */
    public static void reconnect(String key) {
        List<ModulePuller> pullers;
        synchronized (ReqReceiverMgt.class) {
            pullers = PULLERS.get(key);
        }
        if (pullers != null) {
            pullers.forEach(ModulePuller::reconnect);
        }
    }

    /** True when no request of any module is waiting for Tomcat's answer. */
    public static boolean checkWhetherStopOver() {
        return IN_FLIGHT.total() == 0;
    }

    /** Requests of key handed to Tomcat and not yet answered. */
    static int inFlightOf(String key) {
        return IN_FLIGHT.of(key);
    }

    private static ExecutorService newExecutor() {
        AtomicInteger n = new AtomicInteger();
        ThreadPoolExecutor pool = new ThreadPoolExecutor(WORKER_THREADS, WORKER_THREADS, 60, TimeUnit.SECONDS,
                new LinkedBlockingQueue<>(), r -> {
                    Thread t = new Thread(r, "tomcatuds-worker-" + n.incrementAndGet());
                    t.setDaemon(true);
                    return t;
                });
        pool.allowCoreThreadTimeOut(true);
        return pool;
    }
}
