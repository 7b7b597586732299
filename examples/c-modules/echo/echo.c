/* echo: answers with the request JSON it receives, unchanged. */
#include <stdlib.h>
#include <string.h>

#include "../module_export.h"

/* The answer stays valid until the same thread's next call, which is all Vessel needs: it copies
 * the text before the thread takes another request. */
static __thread char* answer;
static __thread size_t capacity;

MODULE_EXPORT int initializeDll(const char* moduleId) {
    (void)moduleId;
    return 0;
}

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    size_t len = strlen(json);
    if (len + 1 > capacity) {
        char* bigger = realloc(answer, len + 1);
        if (bigger == NULL) {
            return NULL;
        }
        answer = bigger;
        capacity = len + 1;
    }
    memcpy(answer, json, len + 1);
    return answer;
}
