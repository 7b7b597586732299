/* Stands in for libgoloader.so: appends a line per call to the file FAKELOADER_RECORD names (each
 * Go string as length:hex bytes, then whether the signals were blocked) and returns
 * FAKELOADER_RESULT (0 by default). Built once more without "Stop" (FAKELOADER_NO_STOP). */
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))
typedef struct {
    const char* p;
    ptrdiff_t n;
} GoString;

static int64_t Record(const char* call, const GoString* args, int count) {
    FILE* out = fopen(getenv("FAKELOADER_RECORD"), "a");
    fputs(call, out);
    for (int i = 0; i < count; ++i) {
        fprintf(out, " %td:", args[i].n);
        for (ptrdiff_t j = 0; j < args[i].n; ++j) fprintf(out, "%02x", (unsigned char)args[i].p[j]);
    }
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, NULL, &cur);
    int blocked = sigismember(&cur, SIGQUIT) && sigismember(&cur, SIGTERM) && sigismember(&cur, SIGINT);
    fputs(blocked ? " blocked\n" : " open\n", out);
    fclose(out);
    const char* result = getenv("FAKELOADER_RESULT");
    return result != NULL ? strtoll(result, NULL, 10) : 0;
}

EXPORT int64_t Start(GoString address) {
    return Record("Start", &address, 1);
}
EXPORT int64_t UnloadModule(GoString name) {
    return Record("UnloadModule", &name, 1);
}
EXPORT int64_t GetLoadedModuleNum(void) {
    return Record("GetLoadedModuleNum", NULL, 0);
}
EXPORT int64_t LoadModule(GoString name, GoString version, GoString location) {
    GoString args[3] = {name, version, location};
    return Record("LoadModule", args, 3);
}
#ifndef FAKELOADER_NO_STOP
EXPORT int64_t Stop(void) {
    return Record("Stop", NULL, 0);
}
#endif
