// Small string and memory helpers of the core. The stub links no C++ runtime and as
// little of the C runtime as possible, so the core uses these instead of <string.h>.
#pragma once

#include <stdint.h>

inline uint32_t TextLength(const char* s) {
    uint32_t n = 0;
    while (s[n]) n++;
    return n;
}

// Copies at most size - 1 bytes and always terminates (size > 0).
inline void TextCopy(char* out, uint32_t size, const char* s) {
    uint32_t i = 0;
    for (; i + 1 < size && s[i]; i++) out[i] = s[i];
    out[i] = 0;
}

// Appends s to out (capacity size), cutting what does not fit.
inline void TextAppend(char* out, uint32_t size, const char* s) {
    uint32_t n = TextLength(out);
    if (n < size) TextCopy(out + n, size - n, s);
}

inline void MemFill(void* p, uint8_t value, uint32_t n) {
    uint8_t* d = (uint8_t*)p;
    while (n--) *d++ = value;
}

inline void MemCopy(void* out, const void* in, uint32_t n) {
    uint8_t* d = (uint8_t*)out;
    const uint8_t* s = (const uint8_t*)in;
    while (n--) *d++ = *s++;
}

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; }

// Case-insensitive comparison of exactly n bytes (ASCII letters only): true when equal.
inline bool TextEqualNoCase(const char* a, const char* b, uint32_t n) {
    for (uint32_t i = 0; i < n; i++)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

inline bool TextEqual(const char* a, const char* b) {
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

// Writes the decimal digits of v at out (room for 11 bytes); returns the end.
inline char* FormatUnsigned(char* out, uint32_t v) {
    char digits[10];
    int n = 0;
    do { digits[n++] = (char)('0' + v % 10); v /= 10; } while (v);
    while (n) *out++ = digits[--n];
    *out = 0;
    return out;
}
