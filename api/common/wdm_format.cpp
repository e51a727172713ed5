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

struct Field {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    enum class Size { Int, Short, Char, Long64, Pointer } size = Size::Int;
};

// Writes a field padded to its conversion's width.
void pad(Output& out, const Field& field, const char* prefix, const char* body, size_t bodyLength,
         bool numeric) {
    const size_t prefixLength = std::strlen(prefix);
    int zeros = 0;
    if (numeric && field.precision >= 0 && static_cast<int>(bodyLength) < field.precision)
        zeros = field.precision - static_cast<int>(bodyLength);
    const int length = static_cast<int>(prefixLength + bodyLength) + zeros;
    const int fill = field.width > length ? field.width - length : 0;
    if (!field.left && !(field.zero && numeric && field.precision < 0))
        out.repeat(' ', fill);
    out.put(prefix, prefixLength);
    if (!field.left && field.zero && numeric && field.precision < 0)
        out.repeat('0', fill);
    out.repeat('0', zeros);
    out.put(body, bodyLength);
    if (field.left)
        out.repeat(' ', fill);
}

void formatUnsigned(Output& out, const Field& field, uint64_t value, unsigned base, bool upper,
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
    if (field.precision == 0 && n == 1 && body[0] == '0')
        n = 0;
    pad(out, field, prefix, body, n, true);
}

uint64_t unsignedArg(va_list& args, Field::Size size) {
    switch (size) {
        case Field::Size::Long64:
        case Field::Size::Pointer:
            return va_arg(args, uint64_t);
        case Field::Size::Short:
            return static_cast<uint16_t>(va_arg(args, unsigned int));
        case Field::Size::Char:
            return static_cast<uint8_t>(va_arg(args, unsigned int));
        case Field::Size::Int:
            break;
    }
    // "l" is 32 bits on Windows, like "int".
    return va_arg(args, unsigned int);
}

int64_t signedArg(va_list& args, Field::Size size) {
    switch (size) {
        case Field::Size::Long64:
        case Field::Size::Pointer:
            return va_arg(args, int64_t);
        case Field::Size::Short:
            return static_cast<int16_t>(va_arg(args, int));
        case Field::Size::Char:
            return static_cast<int8_t>(va_arg(args, int));
        case Field::Size::Int:
            break;
    }
    return va_arg(args, int);
}

const char* parseField(const char* f, Field& field, va_list& args) {
    for (;; ++f) {
        if (*f == '-')
            field.left = true;
        else if (*f == '0')
            field.zero = true;
        else if (*f == '+')
            field.plus = true;
        else if (*f == ' ')
            field.space = true;
        else if (*f == '#')
            field.alternate = true;
        else
            break;
    }
    if (*f == '*') {
        field.width = va_arg(args, int);
        if (field.width < 0) {
            field.left = true;
            field.width = -field.width;
        }
        ++f;
    } else {
        while (*f >= '0' && *f <= '9')
            field.width = field.width * 10 + (*f++ - '0');
    }
    if (*f == '.') {
        ++f;
        field.precision = 0;
        if (*f == '*') {
            field.precision = va_arg(args, int);
            ++f;
        } else {
            while (*f >= '0' && *f <= '9')
                field.precision = field.precision * 10 + (*f++ - '0');
        }
    }
    if (std::strncmp(f, "I64", 3) == 0) {
        field.size = Field::Size::Long64;
        f += 3;
    } else if (std::strncmp(f, "I32", 3) == 0) {
        f += 3;
    } else if (*f == 'I' || *f == 'z') {
        field.size = Field::Size::Pointer;
        ++f;
    } else if (f[0] == 'l' && f[1] == 'l') {
        field.size = Field::Size::Long64;
        f += 2;
    } else if (*f == 'l') {
        ++f;
    } else if (f[0] == 'h' && f[1] == 'h') {
        field.size = Field::Size::Char;
        f += 2;
    } else if (*f == 'h') {
        field.size = Field::Size::Short;
        ++f;
    }
    return f;
}

void formatOne(Output& out, char conversion, Field& field, va_list& args) {
    switch (conversion) {
        case 'd':
        case 'i': {
            const int64_t value = signedArg(args, field.size);
            const char* sign = value < 0 ? "-" : field.plus ? "+" : field.space ? " " : "";
            const uint64_t magnitude =
                value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            formatUnsigned(out, field, magnitude, 10, false, sign);
            return;
        }
        case 'u':
            formatUnsigned(out, field, unsignedArg(args, field.size), 10, false, "");
            return;
        case 'x':
        case 'X': {
            const uint64_t value = unsignedArg(args, field.size);
            const char* prefix =
                field.alternate && value != 0 ? (conversion == 'x' ? "0x" : "0X") : "";
            formatUnsigned(out, field, value, 16, conversion == 'X', prefix);
            return;
        }
        case 'o':
            formatUnsigned(out, field, unsignedArg(args, field.size), 8, false, "");
            return;
        case 'p': {
            // The Windows run-time prints a pointer as 16 upper-case digits.
            field.precision = 16;
            formatUnsigned(out, field, reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, true,
                           "");
            return;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            pad(out, field, "", &c, 1, false);
            return;
        }
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text == nullptr)
                text = "(null)";
            size_t n = std::strlen(text);
            if (field.precision >= 0 && n > static_cast<size_t>(field.precision))
                n = field.precision;
            pad(out, field, "", text, n, false);
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
        Field field;
        f = parseField(f + 1, field, list);
        if (*f == '\0')
            break;
        formatOne(out, *f, field, list);
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
