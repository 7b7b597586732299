/* initfail: a broken module whose initializeDll reports failure (-1). */
#include "../module_export.h"

MODULE_EXPORT int initializeDll(const char* moduleId) {
    (void)moduleId;
    return -1;
}

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    (void)json;
    return "initfail";
}
