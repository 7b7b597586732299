/* nullresult: a module whose taskEntry answers with a null pointer. */
#include <stddef.h>

#include "../module_export.h"

MODULE_EXPORT int initializeDll(const char* moduleId) {
    (void)moduleId;
    return 0;
}

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    (void)json;
    return NULL;
}
