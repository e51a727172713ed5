// Text at the edge of Windows: the tool keeps every name in UTF-8 and gives
// the system its wide (UTF-16) form, so that any file name can be used, not
// only those of the ANSI code page.
#pragma once

#if defined(_WIN32)

#include <windows.h>

#include <string>

namespace tool {

inline std::wstring widen(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

inline std::string narrow(const wchar_t* text, int length = -1) {
    if (text == nullptr || length == 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
    if (length < 0 && !utf8.empty())
        utf8.pop_back();  // the terminator the count included
    return utf8;
}

}  // namespace tool

#endif

#if defined(_WIN32)

namespace tool {

// A system error in the system's own words, then its number: "The
// filename, directory name, or volume label syntax is incorrect (error
// 123)".
inline std::string systemErrorText(unsigned long error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = length > 0 ? narrow(text, static_cast<int>(length)) : std::string();
    if (text != nullptr)
        LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                              words.back() == '.'))
        words.pop_back();
    const std::string number = "error " + std::to_string(error);
    return words.empty() ? "system " + number : words + " (" + number + ")";
}

}  // namespace tool

#endif
