package com.quorla.brv.tomcatuds.business;

import java.util.HashMap;
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

    /** Guarded by the class: pullers by module key. */
    private static final Map<String, ModulePuller> PULLERS = new HashMap<>();
    private static final InFlight IN_FLIGHT = new InFlight();
    private static final ExecutorService EXECUTOR = newExecutor();

    private ReqReceiverMgt() {
    }

    /** Starts pulling for key as client key||pid from the gateway at udsAddr (restarts it when running). */
    public static void insertRequestReceiver(String key, String pid, String udsAddr) {
        if (key == null || pid == null || udsAddr == null) {
            throw new IllegalArgumentException("key, pid and gateway address are required");
        }
        ModulePuller puller = new ModulePuller(key, pid, udsAddr, DEFAULT_PORT, EXECUTOR, IN_FLIGHT);
        ModulePuller old;
        synchronized (ReqReceiverMgt.class) {
            old = PULLERS.put(key, puller);
        }
        if (old != null) {
            old.stop();
        }
        puller.start();
        LOG.info("receiver started for " + key + " pid " + pid + " at " + udsAddr);
    }

    /** Stops pulling for key; its requests in flight still get their responses. */
    public static void clearRequestReceiver(String key) {
        ModulePuller puller;
        synchronized (ReqReceiverMgt.class) {
            puller = PULLERS.remove(key);
        }
        if (puller != null) {
            puller.stop();
            LOG.info("receiver cleared for " + key);
        }
    }

    /** Re-opens the pull connection of key. */
    public static void reconnect(String key) {
        ModulePuller puller;
        synchronized (ReqReceiverMgt.class) {
            puller = PULLERS.get(key);
        }
        if (puller != null) {
            puller.reconnect();
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
