// Puts a whole process under the SCHED_BATCH policy: the threads it has, and through them every
// thread it starts later (a new thread takes its creator's policy).
//
// For workers whose runtime wakes several threads per request (Go's scheduler, the Java VM). Under
// the normal policy each of those wake-ups may preempt whatever runs on that core, and on a small
// machine that is often the gateway's event loop, which every request waits for. A batch thread
// never preempts on waking: it takes an idle core or waits for the running thread's slice to end.
// Its share of the CPU stays the same.
#pragma once

class BatchScheduling {
public:
    // Returns how many threads are left under another policy (0 when all changed). Logs what it did.
    static int ApplyToProcess();

private:
    // One pass over /proc/self/task: sets every thread not yet batch. changed counts those set,
    // failed those that refused (error: the last refusal's errno).
    static void Pass(int& changed, int& failed, int& error);
};
