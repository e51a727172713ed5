// Code pages. The stand-in's ANSI code page (CP_ACP) is Windows-1252, the
// code page of an English-language Windows installation and of Wine in an
// English locale.
#include <algorithm>
#include <cstring>

#include "kernel.h"

namespace w32 {
namespace {

constexpr UINT kAnsiCodePage = 1252;

// Windows-1252 bytes 0x80 to 0x9F; the five unassigned bytes map to the C1
// control characters of the same value, as Windows maps them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

size_t fromCp1252(const unsigned char* in, size_t n, std::u16string& out) {
    out.resize(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = (in[i] >= 0x80 && in[i] < 0xA0) ? kCp1252High[in[i] - 0x80] : in[i];
    return n;
}

// UTF-8 to UTF-16; malformed sequences become U+FFFD (or fail when strict).
bool fromUtf8(const unsigned char* in, size_t n, std::u16string& out, bool strict) {
    out.clear();
    for (size_t i = 0; i < n;) {
        const unsigned char c = in[i];
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            if (strict)
                return false;
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool ok = i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (in[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (in[i + k] & 0x3F);
        }
        static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= kMin[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (!ok) {
            if (strict)
                return false;
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

}  // namespace

std::string utf8FromUtf16(const WCHAR* text) {
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace w32

using namespace w32;

extern "C" {

UINT WINAPI GetACP(void) {
    return kAnsiCodePage;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH source, int sourceLength,
                               LPWSTR target, int targetLength) {
    W32_FAULT_POINT("MultiByteToWideChar", 0);
    // Every negative length means a NUL-terminated source, as -1 does.
    if (sourceLength < 0)
        sourceLength = -1;
    if (source == nullptr || sourceLength == 0 || targetLength < 0 ||
        (target == nullptr && targetLength != 0)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool utf8 = codePage == CP_UTF8;
    if (!utf8 && codePage != CP_ACP && codePage != kAnsiCodePage) {
        setLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD allowed = utf8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
    if (flags & ~allowed) {
        setLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    // A length of -1 converts the terminating NUL too.
    const size_t n =
        sourceLength == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
    const auto* bytes = reinterpret_cast<const unsigned char*>(source);
    std::u16string wide;
    if (utf8) {
        if (!fromUtf8(bytes, n, wide, (flags & MB_ERR_INVALID_CHARS) != 0)) {
            setLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        fromCp1252(bytes, n, wide);
    }
    if (targetLength == 0)
        return static_cast<int>(wide.size());
    // Like Windows, a buffer that is too small receives what fits.
    const size_t copied = std::min(wide.size(), static_cast<size_t>(targetLength));
    std::copy_n(wide.begin(), copied, target);
    if (copied < wide.size()) {
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(wide.size());
}

}  // extern "C"
