/* slow: sleeps the milliseconds given in query "ms" (0 when absent), then answers "slept <ms>".
 * With SLOW_INIT_MS set, initializeDll first creates the file named by SLOW_INIT_MARK (if set) and
 * then sleeps that long: a module that takes its time to start. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "../module_export.h"

static __thread char answer[64];

static void sleep_ms(long ms) {
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

MODULE_EXPORT int initializeDll(const char* moduleId) {
    (void)moduleId;
    const char* init_ms = getenv("SLOW_INIT_MS");
    if (init_ms != NULL) {
        const char* mark = getenv("SLOW_INIT_MARK");
        if (mark != NULL) {
            FILE* f = fopen(mark, "w");
            if (f != NULL) {
                fclose(f);
            }
        }
        sleep_ms(strtol(init_ms, NULL, 10));
    }
    return 0;
}

static long query_ms(const char* json) {
    const char* query = strstr(json, "\"reqQuery\":{");
    if (query == NULL) {
        return 0;
    }
    const char* value = strstr(query, "\"ms\":\"");
    if (value == NULL) {
        return 0;
    }
    long ms = strtol(value + strlen("\"ms\":\""), NULL, 10);
    return ms > 0 ? ms : 0;
}

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    long ms = query_ms(json);
    sleep_ms(ms);
    snprintf(answer, sizeof(answer), "slept %ld", ms);
    return answer;
}
