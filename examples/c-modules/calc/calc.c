/*
 * calc: adds two integers. Takes "x" and "y" from the query, or "a+b" from the request body,
 * and answers with the sum as decimal text ("error" when neither form is present).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../module_export.h"

/* Each handler thread gets its own answer buffer, so concurrent calls never share one. */
static __thread char answer[64];

MODULE_EXPORT int initializeDll(const char* moduleId) {
    (void)moduleId;
    return 0;
}

/* Copies the JSON string value of member name (first occurrence) into out; 0 when found. Enough for
 * the flat, compact JSON Vessel sends; escapes are not decoded. */
static int find_value(const char* json, const char* name, char* out, size_t outSize) {
    char pattern[64];
    snprintf(pattern, sizeof(pattern), "\"%s\":\"", name);
    const char* start = strstr(json, pattern);
    if (start == NULL) {
        return -1;
    }
    start += strlen(pattern);
    const char* end = strchr(start, '"');
    if (end == NULL || (size_t)(end - start) >= outSize) {
        return -1;
    }
    memcpy(out, start, (size_t)(end - start));
    out[end - start] = '\0';
    return 0;
}

static int parse_long(const char* text, long* value) {
    char* end = NULL;
    if (*text == '\0') {
        return -1;
    }
    *value = strtol(text, &end, 10);
    return *end == '\0' ? 0 : -1;
}

MODULE_EXPORT const char* taskEntry(const char* reqUrl, const char* method, const char* json) {
    (void)reqUrl;
    (void)method;
    char x[32], y[32], body[64];
    long a = 0, b = 0;
    const char* query = strstr(json, "\"reqQuery\":{");
    if (query != NULL && find_value(query, "x", x, sizeof(x)) == 0 &&
        find_value(query, "y", y, sizeof(y)) == 0 && parse_long(x, &a) == 0 && parse_long(y, &b) == 0) {
        snprintf(answer, sizeof(answer), "%ld", a + b);
        return answer;
    }
    if (find_value(json, "reqBody", body, sizeof(body)) == 0) {
        char* plus = strchr(body, '+');
        if (plus != NULL) {
            *plus = '\0';
            if (parse_long(body, &a) == 0 && parse_long(plus + 1, &b) == 0) {
                snprintf(answer, sizeof(answer), "%ld", a + b);
                return answer;
            }
        }
    }
    snprintf(answer, sizeof(answer), "error");
    return answer;
}
