// Where a worker's private Catalina base lives, and the removal of bases whose worker has ended.
//
// A worker hosting Java modules runs Tomcat on <warren root>/<its pid>. A graceful quit removes
// that directory; a fast stop, a kill or a crash leaves it behind. Those leftovers are removed
// when their pid no longer names a live process: by the master when it reaps a Java worker, and
// by every Java worker before it creates its own base.
//
// No lock is taken and nothing here is shared between threads, so the calls are safe on the
// master's main thread between fork()s of other threads; they are not async-signal-safe (they
// allocate and log), so never call them from a signal handler.
#pragma once

#include <sys/types.h>

#include <string>

class CatalinaBaseDir {
public:
    // APP_ROOT, or the module's location when APP_ROOT is unset or empty.
    static std::string AppRoot(const std::string& location);
    // True when APP_ROOT is set and non-empty (AppRoot then ignores the location).
    static bool HasAppRoot();
    // AppRoot(location) + "/warren": the parent of every worker's base (and of the repository).
    static std::string WarrenRoot(const std::string& location);
    // WarrenRoot(location) + "/" + pid in decimal.
    static std::string PathFor(const std::string& location, pid_t pid);

    // Removes the base of pid when pid is not a live process. 0 when it is gone (or was never
    // there), EBUSY when pid is alive (left alone), EINVAL for a pid <= 0 or a root that would be
    // "/warren", or the errno of a failed removal.
    static int RemoveFor(const std::string& location, pid_t pid);

    // Removes every <root>/<pid> directory whose pid is not a live process; returns how many.
    // Names that are not a pid written in plain decimal, symbolic links and other non-directories
    // are left alone, and a removal never follows a link out of the base it removes.
    static int RemoveEnded(const std::string& location);

    // False only when no process with this pid exists (a zombie still counts as alive).
    static bool PidAlive(pid_t pid);
};
