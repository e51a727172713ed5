// Letter case for part, device and package names: ASCII letters only.
// Bytes from 0x80 up are left as they are (the C run-time's character
// functions would take them as negative values, and change them by locale).
#pragma once

#include <cstddef>

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool isAsciiLower(char c) {
    return c >= 'a' && c <= 'z';
}

// Lower-cases a text in place, up to its terminator, within `size` bytes.
inline void lowerText(char* text, size_t size) {
    for (size_t i = 0; i < size && text[i] != '\0'; ++i)
        text[i] = asciiLower(text[i]);
}

inline void upperText(char* text, size_t size) {
    for (size_t i = 0; i < size && text[i] != '\0'; ++i)
        text[i] = asciiUpper(text[i]);
}

// Copies a text into a field, always ending inside it even when the source
// has no terminator within `size` bytes.
inline void copyText(char* field, const char* text, size_t size) {
    if (size == 0)
        return;
    size_t n = 0;
    while (n + 1 < size && text[n] != '\0')
        ++n;
    for (size_t i = 0; i < n; ++i)
        field[i] = text[i];
    field[n] = '\0';
}
