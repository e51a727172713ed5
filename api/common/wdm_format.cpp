// printf-style formatting that gives the output of the Windows C run-time on
// every platform, so that trace lines and formatted texts read the same on
// Windows and on the Linux stand-in.
#include <cstring>

#include "wdm.h"

namespace {

// Appends to a bounded buffer, always leaving room for the terminator.
class Output {
  public:
    Output(char* buffer, size_t size) : buffer_(buffer), size_(size) {}
    void put(char c) {
        if (length_ + 1 < size_)
            buffer_[length_] = c;
        ++length_;
    }
    void put(const char* text, size_t n) {
        for (size_t i = 0; i < n; ++i)
            put(text[i]);
    }
    void repeat(char c, int n) {
        for (int i = 0; i < n; ++i)
            put(c);
    }
    size_t finish() {
        if (size_ == 0)
            return 0;
        const size_t end = length_ < size_ ? length_ : size_ - 1;
        buffer_[end] = '\0';
        return end;
    }

  private:
    char* buffer_;
    size_t size_;
    size_t length_ = 0;
};

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    enum class Size { Int, Short, Char, Long64, Pointer } size = Size::Int;
};

// Writes a field padded to the conversion's width.
void pad(Output& out, const Conversion& conversion, const char* prefix, const char* body,
         size_t bodyLength, bool numeric) {
    const size_t prefixLength = std::strlen(prefix);
    int zeros = 0;
    if (numeric && conversion.precision >= 0 && static_cast<int>(bodyLength) < conversion.precision)
        zeros = conversion.precision - static_cast<int>(bodyLength);
    const int length = static_cast<int>(prefixLength + bodyLength) + zeros;
    const int fill = conversion.width > length ? conversion.width - length : 0;
    if (!conversion.left && !(conversion.zero && numeric && conversion.precision < 0))
        out.repeat(' ', fill);
    out.put(prefix, prefixLength);
    if (!conversion.left && conversion.zero && numeric && conversion.precision < 0)
        out.repeat('0', fill);
    out.repeat('0', zeros);
    out.put(body, bodyLength);
    if (conversion.left)
        out.repeat(' ', fill);
}

void formatUnsigned(Output& out, const Conversion& conversion, uint64_t value, unsigned base,
                    bool upper, const char* prefix) {
    char digits[24];
    size_t n = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[sizeof digits - 1 - n++] = alphabet[value % base];
        value /= base;
    } while (value != 0);
    const char* body = digits + sizeof digits - n;
    // An explicit precision of 0 prints nothing for the value 0.
    if (conversion.precision == 0 && n == 1 && body[0] == '0')
        n = 0;
    pad(out, conversion, prefix, body, n, true);
}

uint64_t unsignedArg(va_list& args, Conversion::Size size) {
    switch (size) {
        case Conversion::Size::Long64:
        case Conversion::Size::Pointer:
            return va_arg(args, uint64_t);
        case Conversion::Size::Short:
            return static_cast<uint16_t>(va_arg(args, unsigned int));
        case Conversion::Size::Char:
            return static_cast<uint8_t>(va_arg(args, unsigned int));
        case Conversion::Size::Int:
            break;
    }
    // "l" is 32 bits on Windows, like "int".
    return va_arg(args, unsigned int);
}

int64_t signedArg(va_list& args, Conversion::Size size) {
    switch (size) {
        case Conversion::Size::Long64:
        case Conversion::Size::Pointer:
            return va_arg(args, int64_t);
        case Conversion::Size::Short:
            return static_cast<int16_t>(va_arg(args, int));
        case Conversion::Size::Char:
            return static_cast<int8_t>(va_arg(args, int));
        case Conversion::Size::Int:
            break;
    }
    return va_arg(args, int);
}

const char* parseConversion(const char* f, Conversion& conversion, va_list& args) {
    for (;; ++f) {
        if (*f == '-')
            conversion.left = true;
        else if (*f == '0')
            conversion.zero = true;
        else if (*f == '+')
            conversion.plus = true;
        else if (*f == ' ')
            conversion.space = true;
        else if (*f == '#')
            conversion.alternate = true;
        else
            break;
    }
    if (*f == '*') {
        conversion.width = va_arg(args, int);
        if (conversion.width < 0) {
            conversion.left = true;
            conversion.width = -conversion.width;
        }
        ++f;
    } else {
        while (*f >= '0' && *f <= '9')
            conversion.width = conversion.width * 10 + (*f++ - '0');
    }
    if (*f == '.') {
        ++f;
        conversion.precision = 0;
        if (*f == '*') {
            conversion.precision = va_arg(args, int);
            ++f;
        } else {
            while (*f >= '0' && *f <= '9')
                conversion.precision = conversion.precision * 10 + (*f++ - '0');
        }
    }
    if (std::strncmp(f, "I64", 3) == 0) {
        conversion.size = Conversion::Size::Long64;
        f += 3;
    } else if (std::strncmp(f, "I32", 3) == 0) {
        f += 3;
    } else if (*f == 'I' || *f == 'z') {
        conversion.size = Conversion::Size::Pointer;
        ++f;
    } else if (f[0] == 'l' && f[1] == 'l') {
        conversion.size = Conversion::Size::Long64;
        f += 2;
    } else if (*f == 'l') {
        ++f;
    } else if (f[0] == 'h' && f[1] == 'h') {
        conversion.size = Conversion::Size::Char;
        f += 2;
    } else if (*f == 'h') {
        conversion.size = Conversion::Size::Short;
        ++f;
    }
    return f;
}

void formatOne(Output& out, char conversion, Conversion& conversion, va_list& args) {
    switch (conversion) {
        case 'd':
        case 'i': {
            const int64_t value = signedArg(args, conversion.size);
            const char* sign = value < 0          ? "-"
                               : conversion.plus  ? "+"
                               : conversion.space ? " "
                                                  : "";
            const uint64_t magnitude =
                value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            formatUnsigned(out, conversion, magnitude, 10, false, sign);
            return;
        }
        case 'u':
            formatUnsigned(out, conversion, unsignedArg(args, conversion.size), 10, false, "");
            return;
        case 'x':
        case 'X': {
            const uint64_t value = unsignedArg(args, conversion.size);
            const char* prefix =
                conversion.alternate && value != 0 ? (conversion == 'x' ? "0x" : "0X") : "";
            formatUnsigned(out, conversion, value, 16, conversion == 'X', prefix);
            return;
        }
        case 'o':
            formatUnsigned(out, conversion, unsignedArg(args, conversion.size), 8, false, "");
            return;
        case 'p': {
            // The Windows run-time prints a pointer as 16 upper-case digits.
            conversion.precision = 16;
            formatUnsigned(out, conversion, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16,
                           true, "");
            return;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            pad(out, conversion, "", &c, 1, false);
            return;
        }
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text == nullptr)
                text = "(null)";
            size_t n = std::strlen(text);
            if (conversion.precision >= 0 && n > static_cast<size_t>(conversion.precision))
                n = conversion.precision;
            pad(out, conversion, "", text, n, false);
            return;
        }
        case '%':
            out.put('%');
            return;
        default:
            // An unknown conversion is written as it stands.
            out.put('%');
            out.put(conversion);
            return;
    }
}

}  // namespace

size_t wdmFormatV(char* buffer, size_t size, const char* format, va_list args) {
    Output out(buffer, size);
    va_list list;
    va_copy(list, args);
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            out.put(*f);
            continue;
        }
        Conversion conversion;
        f = parseConversion(f + 1, conversion, list);
        if (*f == '\0')
            break;
        formatOne(out, *f, conversion, list);
    }
    va_end(list);
    return out.finish();
}

size_t wdmFormat(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t n = wdmFormatV(buffer, size, format, args);
    va_end(args);
    return n;
}
