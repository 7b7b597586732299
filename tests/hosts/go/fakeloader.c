/* Stands in for libgoloader.so in the Go module manager's tests: exports the loader's functions
 * with Go's c-shared calling convention, appends one line per call to the file named by
 * FAKELOADER_RECORD and returns what the FAKELOADER_*_RESULT variables say (0 by default).
 * Built once as is and once without "Stop" (FAKELOADER_NO_STOP). */
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
typedef int64_t GoInt;

static GoInt Result(const char* var) {
    const char* text = getenv(var);
    return text != NULL ? strtoll(text, NULL, 10) : 0;
}

/* Length and hex bytes: every byte counts, NUL or not. */
static void PutGoString(FILE* out, GoString s) {
    fprintf(out, " %td:", s.n);
    for (ptrdiff_t i = 0; i < s.n; ++i) {
        fprintf(out, "%02x", (unsigned char)s.p[i]);
    }
}

/* Whether the worker's handled signals were blocked in the calling thread. */
static const char* MaskText(void) {
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, NULL, &cur);
    int blocked = sigismember(&cur, SIGQUIT) && sigismember(&cur, SIGTERM) &&
                  sigismember(&cur, SIGINT) && sigismember(&cur, SIGCHLD);
    return blocked ? " blocked" : " open";
}

static void Record(const char* call, const GoString* args, int count) {
    const char* path = getenv("FAKELOADER_RECORD");
    if (path == NULL) {
        return;
    }
    FILE* out = fopen(path, "a");
    if (out == NULL) {
        return;
    }
    fputs(call, out);
    for (int i = 0; i < count; ++i) {
        PutGoString(out, args[i]);
    }
    fputs(MaskText(), out);
    fputc('\n', out);
    fclose(out);
}

EXPORT GoInt Start(GoString udsAddress) {
    Record("Start", &udsAddress, 1);
    return Result("FAKELOADER_START_RESULT");
}

EXPORT GoInt LoadModule(GoString name, GoString version, GoString location) {
    GoString args[3] = {name, version, location};
    Record("LoadModule", args, 3);
    return Result("FAKELOADER_LOAD_RESULT");
}

EXPORT GoInt UnloadModule(GoString name) {
    Record("UnloadModule", &name, 1);
    return Result("FAKELOADER_UNLOAD_RESULT");
}

EXPORT GoInt GetLoadedModuleNum(void) {
    Record("GetLoadedModuleNum", NULL, 0);
    return Result("FAKELOADER_COUNT");
}

#ifndef FAKELOADER_NO_STOP
EXPORT GoInt Stop(void) {
    Record("Stop", NULL, 0);
    return Result("FAKELOADER_STOP_RESULT");
}
#endif
