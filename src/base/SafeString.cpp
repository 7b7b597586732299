#include "base/SafeString.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool DestUsable(const void* dest, size_t destsz) {
    return dest != nullptr && destsz > 0 && destsz <= VESSEL_RSIZE_MAX;
}

// True when a conversion of the format is %n ("%%" is a literal percent sign, not a conversion).
bool HasWriteBackConversion(const char* format) {
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p != '\0' && strchr("-+ #0123456789.*'hlLqjzt$I", *p) != nullptr) {
            ++p;
        }
        if (*p == 'n') {
            return true;
        }
        if (*p == '\0') {
            break;
        }
    }
    return false;
}

bool Overlaps(const char* a, size_t aLen, const char* b, size_t bLen) {
    return a < b + bLen && b < a + aLen;
}

}  // namespace

int memset_s(void* dest, size_t destsz, int ch, size_t count) {
    if (dest == nullptr || destsz > VESSEL_RSIZE_MAX) {
        return EINVAL;
    }
    int rc = 0;
    if (count > destsz) {
        count = destsz;
        rc = ERANGE;
    }
    // Volatile stores: clearing a buffer that is not read afterwards must still happen.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(dest);
    for (size_t i = 0; i < count; ++i) {
        p[i] = static_cast<unsigned char>(ch);
    }
    return rc;
}

int strcpy_s(char* dest, size_t destsz, const char* src) {
    if (dest == nullptr) {
        return EINVAL;
    }
    if (destsz == 0 || destsz > VESSEL_RSIZE_MAX) {
        return ERANGE;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strnlen(src, destsz);
    if (len >= destsz) {
        dest[0] = '\0';
        return ERANGE;
    }
    if (Overlaps(dest, len + 1, src, len + 1)) {
        dest[0] = '\0';
        return EINVAL;
    }
    memcpy(dest, src, len + 1);
    return 0;
}

int strncpy_s(char* dest, size_t destsz, const char* src, size_t count) {
    if (dest == nullptr) {
        return EINVAL;
    }
    if (destsz == 0 || destsz > VESSEL_RSIZE_MAX) {
        return ERANGE;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    if (count > VESSEL_RSIZE_MAX) {
        dest[0] = '\0';
        return ERANGE;
    }
    size_t len = strnlen(src, count);
    if (len >= destsz) {
        dest[0] = '\0';
        return ERANGE;
    }
    if (Overlaps(dest, len + 1, src, len)) {
        dest[0] = '\0';
        return EINVAL;
    }
    memcpy(dest, src, len);
    dest[len] = '\0';
    return 0;
}

int sprintf_s(char* dest, size_t destsz, const char* format, ...) {
    if (!DestUsable(dest, destsz)) {
        return -1;
    }
    // %n would let a format write through a pointer argument; Annex K forbids it.
    if (format == nullptr || HasWriteBackConversion(format)) {
        dest[0] = '\0';
        return -1;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(dest, destsz, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= destsz) {
        dest[0] = '\0';
        return -1;
    }
    return n;
}
