/* noinit: a broken module without initializeDll; Vessel refuses to load it. */
#include "../module_export.h"

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    (void)json;
    return "noinit";
}
