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

struct Spec {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    enum class Size { Int, Short, Char, Long64, Pointer } size = Size::Int;
};

// Writes a field padded to the spec's width.
void pad(Output& out, const Spec& spec, const char* prefix, const char* body, size_t bodyLength,
         bool numeric) {
    const size_t prefixLength = std::strlen(prefix);
    int zeros = 0;
    if (numeric && spec.precision >= 0 && static_cast<int>(bodyLength) < spec.precision)
        zeros = spec.precision - static_cast<int>(bodyLength);
    const int length = static_cast<int>(prefixLength + bodyLength) + zeros;
    const int fill = spec.width > length ? spec.width - length : 0;
    if (!spec.left && !(spec.zero && numeric && spec.precision < 0))
        out.repeat(' ', fill);
    out.put(prefix, prefixLength);
    if (!spec.left && spec.zero && numeric && spec.precision < 0)
        out.repeat('0', fill);
    out.repeat('0', zeros);
    out.put(body, bodyLength);
    if (spec.left)
        out.repeat(' ', fill);
}

void formatUnsigned(Output& out, const Spec& spec, uint64_t value, unsigned base, bool upper,
                    const char* prefix) {
    char digits[24];
    size_t n = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[sizeof digits - 1 - n++] = alphabet[value % base];
        value /= base;
    } while (value != 0);
    const char* body = digits + sizeof digits - n;
    // An explicit precision of 0 prints nothing for the value 0.
    if (spec.precision == 0 && n == 1 && body[0] == '0')
        n = 0;
    pad(out, spec, prefix, body, n, true);
}

uint64_t unsignedArg(va_list& args, Spec::Size size) {
    switch (size) {
        case Spec::Size::Long64:
        case Spec::Size::Pointer:
            return va_arg(args, uint64_t);
        case Spec::Size::Short:
            return static_cast<uint16_t>(va_arg(args, unsigned int));
        case Spec::Size::Char:
            return static_cast<uint8_t>(va_arg(args, unsigned int));
        case Spec::Size::Int:
            break;
    }
    // "l" is 32 bits on Windows, like "int".
    return va_arg(args, unsigned int);
}

int64_t signedArg(va_list& args, Spec::Size size) {
    switch (size) {
        case Spec::Size::Long64:
        case Spec::Size::Pointer:
            return va_arg(args, int64_t);
        case Spec::Size::Short:
            return static_cast<int16_t>(va_arg(args, int));
        case Spec::Size::Char:
            return static_cast<int8_t>(va_arg(args, int));
        case Spec::Size::Int:
            break;
    }
    return va_arg(args, int);
}

const char* parseSpec(const char* f, Spec& spec, va_list& args) {
    for (;; ++f) {
        if (*f == '-')
            spec.left = true;
        else if (*f == '0')
            spec.zero = true;
        else if (*f == '+')
            spec.plus = true;
        else if (*f == ' ')
            spec.space = true;
        else if (*f == '#')
            spec.alternate = true;
        else
            break;
    }
    if (*f == '*') {
        spec.width = va_arg(args, int);
        if (spec.width < 0) {
            spec.left = true;
            spec.width = -spec.width;
        }
        ++f;
    } else {
        while (*f >= '0' && *f <= '9')
            spec.width = spec.width * 10 + (*f++ - '0');
    }
    if (*f == '.') {
        ++f;
        spec.precision = 0;
        if (*f == '*') {
            spec.precision = va_arg(args, int);
            ++f;
        } else {
            while (*f >= '0' && *f <= '9')
                spec.precision = spec.precision * 10 + (*f++ - '0');
        }
    }
    if (std::strncmp(f, "I64", 3) == 0) {
        spec.size = Spec::Size::Long64;
        f += 3;
    } else if (std::strncmp(f, "I32", 3) == 0) {
        f += 3;
    } else if (*f == 'I' || *f == 'z') {
        spec.size = Spec::Size::Pointer;
        ++f;
    } else if (f[0] == 'l' && f[1] == 'l') {
        spec.size = Spec::Size::Long64;
        f += 2;
    } else if (*f == 'l') {
        ++f;
    } else if (f[0] == 'h' && f[1] == 'h') {
        spec.size = Spec::Size::Char;
        f += 2;
    } else if (*f == 'h') {
        spec.size = Spec::Size::Short;
        ++f;
    }
    return f;
}

void formatOne(Output& out, char conversion, Spec& spec, va_list& args) {
    switch (conversion) {
        case 'd':
        case 'i': {
            const int64_t value = signedArg(args, spec.size);
            const char* sign = value < 0 ? "-" : spec.plus ? "+" : spec.space ? " " : "";
            const uint64_t magnitude =
                value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            formatUnsigned(out, spec, magnitude, 10, false, sign);
            return;
        }
        case 'u':
            formatUnsigned(out, spec, unsignedArg(args, spec.size), 10, false, "");
            return;
        case 'x':
        case 'X': {
            const uint64_t value = unsignedArg(args, spec.size);
            const char* prefix =
                spec.alternate && value != 0 ? (conversion == 'x' ? "0x" : "0X") : "";
            formatUnsigned(out, spec, value, 16, conversion == 'X', prefix);
            return;
        }
        case 'o':
            formatUnsigned(out, spec, unsignedArg(args, spec.size), 8, false, "");
            return;
        case 'p': {
            // The Windows run-time prints a pointer as 16 upper-case digits.
            spec.precision = 16;
            formatUnsigned(out, spec, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, true,
                           "");
            return;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            pad(out, spec, "", &c, 1, false);
            return;
        }
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text == nullptr)
                text = "(null)";
            size_t n = std::strlen(text);
            if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision))
                n = spec.precision;
            pad(out, spec, "", text, n, false);
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
        Spec spec;
        f = parseSpec(f + 1, spec, list);
        if (*f == '\0')
            break;
        formatOne(out, *f, spec, list);
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
