// Bounds-checked memory and string helpers (memset_s, strcpy_s, strncpy_s, sprintf_s) with the
// C11 Annex K contract; glibc does not provide them, so this module does.
#pragma once

#include <cstddef>

// Largest size accepted as a buffer size; anything bigger is taken as a wrapped negative value.
constexpr size_t VESSEL_RSIZE_MAX = static_cast<size_t>(-1) >> 1;

// Fills count bytes of dest with ch. Returns 0, EINVAL (null dest or bad destsz) or ERANGE
// (count > destsz; the whole destination is still filled). The store is never optimised away.
int memset_s(void* dest, size_t destsz, int ch, size_t count);

// Copies the string src with its terminator into dest. Returns 0, EINVAL or ERANGE; on error a
// usable dest is left as an empty string.
int strcpy_s(char* dest, size_t destsz, const char* src);

// Copies at most count characters of src into dest and terminates it. Returns 0, EINVAL or
// ERANGE when the copy (plus terminator) would not fit; on error dest is left empty.
int strncpy_s(char* dest, size_t destsz, const char* src, size_t count);

// Formats into dest. Returns the number of characters written (without the terminator), or -1
// when the result would not fit, the arguments are invalid, the format contains %n or
// formatting fails; on error a usable dest is left empty.
int sprintf_s(char* dest, size_t destsz, const char* format, ...) __attribute__((format(printf, 3, 4)));
