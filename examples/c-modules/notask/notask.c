/* notask: a broken module with initializeDll but no taskEntry. Each initialisation appends a line
 * to the file named by NOTASK_INIT_LOG, when set, so tests can count the load attempts. */
#include <stdio.h>
#include <stdlib.h>

#include "../module_export.h"

MODULE_EXPORT int initializeDll(const char* moduleId) {
    const char* path = getenv("NOTASK_INIT_LOG");
    if (path != NULL) {
        FILE* f = fopen(path, "a");
        if (f != NULL) {
            fprintf(f, "%s\n", moduleId);
            fclose(f);
        }
    }
    return 0;
}
