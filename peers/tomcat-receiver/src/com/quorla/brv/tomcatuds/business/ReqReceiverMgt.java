package com.quorla.brv.tomcatuds.business;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.SynchronousQueue;
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
    /** Spare threads at most: a puller for every connection and 16 slow requests. */
    private static final int SPARE_THREADS = 32;
    /** A request running this long hands its connection's pulling to a spare thread. */
    private static final long SLOW_NANOS = TimeUnit.MILLISECONDS.toNanos(20);
    private static final long WATCH_BUSY_MS = 10;
    private static final long WATCH_IDLE_MS = 100;
    /** Pull connections per module (each keeps one request in flight), as the worker says: 1-16. */
    static final int PULL_CONNECTIONS =
            Math.max(1, Math.min(16, Integer.getInteger("tomcatuds.pullConnections", 1)));

    /** Guarded by the class: each module key's pullers. */
    private static final Map<String, List<ModulePuller>> PULLERS = new HashMap<>();
    private static final InFlight IN_FLIGHT = new InFlight();
    private static final ExecutorService EXECUTOR = newExecutor();
    /** Guarded by the class: the thread that finds slow requests, started with the first receiver. */
    private static Thread watcher;

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
            if (watcher == null) {
                watcher = new Thread(ReqReceiverMgt::watchSlowRequests, "tomcatuds-slow-watch");
                watcher.setDaemon(true);
                watcher.start();
            }
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

    /** True when every request taken from the gateway has been answered to it. */
    public static boolean checkWhetherStopOver() {
        return IN_FLIGHT.total() == 0 && !GatewayReply.get().busy();
    }

    /** Requests of key handed to Tomcat and not yet answered. */
    static int inFlightOf(String key) {
        return IN_FLIGHT.of(key);
    }

    /** Hands the pulling of a connection whose request runs long to a spare thread. */
    private static void watchSlowRequests() {
        for (;;) {
            try {
                Thread.sleep(IN_FLIGHT.total() > 0 ? WATCH_BUSY_MS : WATCH_IDLE_MS);
            } catch (InterruptedException e) {
                return;
            }
            List<ModulePuller> all = new ArrayList<>();
            synchronized (ReqReceiverMgt.class) {
                PULLERS.values().forEach(all::addAll);
            }
            long now = System.nanoTime();
            for (ModulePuller p : all) {
                p.takeOverIfSlow(now, SLOW_NANOS);
            }
        }
    }

    /** Spare threads: started when needed, never queued behind each other, ended when idle. */
    private static ExecutorService newExecutor() {
        AtomicInteger n = new AtomicInteger();
        return new ThreadPoolExecutor(0, SPARE_THREADS, 60, TimeUnit.SECONDS, new SynchronousQueue<>(), r -> {
            Thread t = new Thread(r, "tomcatuds-worker-" + n.incrementAndGet());
            t.setDaemon(true);
            return t;
        });
    }
}
