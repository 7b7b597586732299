/*
 * The FastCGI peer of the HTTP benchmark: the same work as the calc module (x+y from the query
 * string) behind nginx. Serves the socket it inherits on descriptor 0 (spawn-fcgi binds it) with
 * one thread per core by default.
 *
 *   spawn-fcgi -n -s SOCKET -M 0600 -- fcgi_calc [threads]
 */
#include <fcgiapp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Value of name in a query string of name=value pairs joined by '&' (no decoding needed for
 * digits); 0 when found. */
static int query_value(const char* query, const char* name, char* out, size_t outSize) {
    size_t nameLen = strlen(name);
    const char* p = query;
    while (p != NULL && *p != '\0') {
        const char* amp = strchr(p, '&');
        size_t len = amp != NULL ? (size_t)(amp - p) : strlen(p);
        if (len > nameLen && strncmp(p, name, nameLen) == 0 && p[nameLen] == '=') {
            size_t valueLen = len - nameLen - 1;
            if (valueLen >= outSize) {
                return -1;
            }
            memcpy(out, p + nameLen + 1, valueLen);
            out[valueLen] = '\0';
            return 0;
        }
        p = amp != NULL ? amp + 1 : NULL;
    }
    return -1;
}

static int parse_long(const char* text, long* value) {
    char* end = NULL;
    if (*text == '\0') {
        return -1;
    }
    *value = strtol(text, &end, 10);
    return *end == '\0' ? 0 : -1;
}

/* As in libfcgi's threaded example: one thread at a time waits in accept. */
static pthread_mutex_t acceptMutex = PTHREAD_MUTEX_INITIALIZER;

static void* serve(void* arg) {
    (void)arg;
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    for (;;) {
        pthread_mutex_lock(&acceptMutex);
        int rc = FCGX_Accept_r(&request);
        pthread_mutex_unlock(&acceptMutex);
        if (rc < 0) {
            break;
        }
        const char* query = FCGX_GetParam("QUERY_STRING", request.envp);
        char x[32], y[32], body[64];
        long a = 0, b = 0;
        if (query != NULL && query_value(query, "x", x, sizeof(x)) == 0 &&
            query_value(query, "y", y, sizeof(y)) == 0 && parse_long(x, &a) == 0 && parse_long(y, &b) == 0) {
            snprintf(body, sizeof(body), "%ld", a + b);
        } else {
            snprintf(body, sizeof(body), "error");
        }
        FCGX_FPrintF(request.out, "Status: 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n%s",
                     body);
        FCGX_Finish_r(&request);
    }
    return NULL;
}

int main(int argc, char** argv) {
    int threads = argc > 1 ? atoi(argv[1]) : 2;
    if (threads < 1) {
        threads = 1;
    }
    FCGX_Init();
    pthread_t* ids = calloc((size_t)threads, sizeof(pthread_t));
    if (ids == NULL) {
        return 1;
    }
    for (int i = 1; i < threads; ++i) {
        pthread_create(&ids[i], NULL, serve, NULL);
    }
    serve(NULL);
    for (int i = 1; i < threads; ++i) {
        pthread_join(ids[i], NULL);
    }
    free(ids);
    return 0;
}
