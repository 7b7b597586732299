package com.quorla.brv.tomcatuds.business;

import java.util.HashMap;
import java.util.Map;

/** Counts requests handed to Tomcat and not yet answered, per module key and in all. */
final class InFlight {
    /** Guarded by this. */
    private final Map<String, Integer> perKey = new HashMap<>();
    private int total;

    synchronized void begin(String key) {
        perKey.merge(key, 1, Integer::sum);
        total++;
    }

    synchronized void end(String key) {
        Integer n = perKey.get(key);
        if (n == null) {
            return;
        }
        if (n <= 1) {
            perKey.remove(key);
        } else {
            perKey.put(key, n - 1);
        }
        total--;
    }

    synchronized int total() {
        return total;
    }

    synchronized int of(String key) {
        return perKey.getOrDefault(key, 0);
    }
}
