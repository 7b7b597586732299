// The container's tunable settings from container.json: integers through getProperty, strings
// through getStrProperty, each re-read when the file's modification time changes and falling
// back to built-in defaults for absent keys.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// Integer setting; the default when the key is absent or -1; -1 (logged) for an unknown name.
int32_t getProperty(const std::string& name);

// How many pull connections a worker opens per module: modulePullConnections within 1-16, or
// whenUnset (the module kind's own default) when the setting is absent.
int32_t ModulePullConnections(int32_t whenUnset);

// String setting; the default when absent or empty; "" (logged) for an unknown name.
std::string getStrProperty(const std::string& name);

// Process-wide holder of the two setting caches (one per getter, each filled on its getter's
// first call and inherited by forked workers).
//
// Locking: each cache's mutex guards its entries and remembered time, and is held across a
// whole getter call (refresh and lookup), so that several threads can ask at once. The two
// mutexes are never held together; logging locks are taken under them (order: cache, then log).
// In a forked child a mutex held by another parent thread at fork time is replaced, together
// with the cache it guarded (see the fork handler).
class PropertyLoader {
public:
    struct PropertyCache {
        std::mutex mutex;
        std::map<std::string, std::string> entries;
        int64_t lastModifyTime = 0;  // seconds since the epoch; 0 before the first good read
    };

    static PropertyLoader& GetInstance();

    int32_t getProperty(const std::string& name);
    std::string getStrProperty(const std::string& name);

    // Re-reads cache from the file when its modification time differs from the remembered one.
    // The caller holds cache.mutex.
    static void loadConfigFile(PropertyCache& cache);

    // The file that a refresh reads, given the current working directory and VESSEL_HOME.
    static std::string ConfigFilePath();

    // Reads the file now, whatever its modification time (the master's SIGHUP), and makes both
    // caches hold exactly what it says. 0, or the stat error / -1 for an unreadable file, which
    // leaves the caches as they were. Takes each cache's mutex in turn.
    int Reload();

private:
    PropertyLoader();
    ~PropertyLoader() = default;  // never called: the loader lives to the end of the process
    PropertyLoader(const PropertyLoader&) = delete;
    PropertyLoader& operator=(const PropertyLoader&) = delete;

    static void AfterForkInChild();
    // Parses the file into entries (logging each as read); false when it cannot be parsed.
    static bool ReadEntries(const std::string& path, std::map<std::string, std::string>& entries);
    static void RenewIfAbandoned(PropertyCache*& cache);

    PropertyCache* intCache_;
    PropertyCache* strCache_;
};
