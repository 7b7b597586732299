// One row of the master's process table: a worker it forked.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

using SpawnProc = void (*)(void*);

struct ProcessSlot {
    static constexpr size_t NAME_SIZE = 64;

    int32_t pid;     // -1 marks a free slot (0 in a never-used one)
    int32_t status;  // wait status from waitpid when reaped
    SpawnProc proc;  // what the child ran
    void* data;      // its argument (always null here)
    char name[NAME_SIZE];
    time_t started;        // when it was forked
    unsigned exiting : 1;  // told to quit by setProcessExiting
    unsigned exited : 1;   // reaped, or kill() found it gone
};
