/*
 * crash: a module that fails the hard way, for fault tests. With query parameter "crash" present
 * taskEntry writes through a null pointer (SIGSEGV), which ends the whole worker; otherwise it
 * answers "alive".
 */
#include <stddef.h>
#include <string.h>

#include "../module_export.h"

MODULE_EXPORT int initializeDll(const char* moduleId) {
    (void)moduleId;
    return 0;
}

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    const char* query = strstr(json, "\"reqQuery\":{");
    if (query != NULL && strstr(query, "\"crash\":") != NULL) {
        /* Both volatile: the compiler can neither see that the pointer is null (and turn the store
         * into a trap instruction, SIGILL) nor drop the store. This is a real invalid access. */
        volatile int* volatile nowhere = NULL;
        *nowhere = 1;
    }
    return "alive";
}
