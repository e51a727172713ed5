// veltra reg: one register of a window, read or written with or without a
// mapping, in any width.
#include <cstdio>
#include <memory>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "text.h"

namespace tool {

namespace reg_command {

struct Options : Change {
    uint32_t window = 0;
    uint64_t offset = 0;
    std::vector<std::string> values;
    unsigned width = 32;
    bool mapped = false;
};

uint64_t widthMask(unsigned width) {
    return width == 64 ? UINT64_MAX : (uint64_t{1} << width) - 1;
}

void checkAlignment(const Options& o) {
    if (o.offset % (o.width / 8) != 0)
        throw Usage(format("offset %s is not a multiple of the register's %u bytes",
                           hex(o.offset).c_str(), o.width / 8));
}

// One access of the register's width through a volatile pointer.
template <typename T>
uint64_t access(void* at, const uint64_t* write) {
    auto* reg = static_cast<volatile T*>(at);
    if (write == nullptr)
        return *reg;
    *reg = static_cast<T>(*write);
    return 0;
}

// One access through a mapping of exactly the register.
uint64_t mappedAccess(const Card& card, const Options& o, const uint64_t* write) {
    void* base = nullptr;
    check(VELTRA_MapWindow(card.handle(), o.window, o.offset, o.width / 8, &base),
          format("cannot map window %u of %s at %s", o.window, card.name().c_str(),
                 hex(o.offset).c_str()));
    const uint64_t value = o.width == 8    ? access<uint8_t>(base, write)
                           : o.width == 16 ? access<uint16_t>(base, write)
                           : o.width == 32 ? access<uint32_t>(base, write)
                                           : access<uint64_t>(base, write);
    check(VELTRA_UnmapWindow(card.handle(), base), format("cannot unmap window %u", o.window));
    return value;
}

void regRead(const Options& o) {
    checkAlignment(o);
    const Card card = o.card.open();
    uint64_t value = 0;
    if (o.mapped)
        value = mappedAccess(card, o, nullptr);
    else
        check(VELTRA_Read(card.handle(), o.window, 0, o.offset, o.width / 8, &value),
              format("cannot read window %u of %s at %s", o.window, card.name().c_str(),
                     hex(o.offset).c_str()));
    std::printf("%s\n", hex(value & widthMask(o.width), static_cast<int>(o.width / 4)).c_str());
}

void regWrite(const Options& o) {
    if (o.values.size() != 1)
        throw Usage(format("reg write takes one VALUE, not %zu (%s)", o.values.size(),
                           CLI::detail::join(o.values, " ").c_str()));
    uint64_t value = parseNumber(o.values.front(), "VALUE");
    checkAlignment(o);
    if ((value & ~widthMask(o.width)) != 0)
        throw Usage(format("%s does not fit in %u bits", hex(value).c_str(), o.width));
    const Card card = o.card.open();
    if (o.mapped)
        mappedAccess(card, o, &value);
    else
        check(VELTRA_Write(card.handle(), o.window, 0, o.offset, o.width / 8, &value),
              format("cannot write window %u of %s at %s", o.window, card.name().c_str(),
                     hex(o.offset).c_str()));
}

void addRegister(CLI::App& command, Options& o) {
    command.add_option("WINDOW", o.window, "the window's index")
        ->required()
        ->transform(numberForm());
    command.add_option("OFFSET", o.offset, "the register's offset in the window")
        ->required()
        ->transform(sizeForm());
    command.add_option("--width", o.width, "bits: 8, 16, 32 (default) or 64")
        ->check(CLI::IsMember({8u, 16u, 32u, 64u}));
    command.add_flag("--mapped", o.mapped,
                     "through a mapping of the window instead of VELTRA_Read/VELTRA_Write");
}

Work defineRead(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    addRegister(command, *o);
    return [o] { regRead(*o); };
}

Work defineWrite(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, false, false);
    addRegister(command, *o);
    command.add_option("VALUE", o->values, "the value")->required();
    return [o] { regWrite(*o); };
}

constexpr Command kCommands[] = {
    {"reg", "read or write one register of a window", nullptr},
    {"reg read", "read a register", defineRead},
    {"reg write", "write a register", defineWrite},
};

}  // namespace reg_command

Commands regCommands() {
    return reg_command::kCommands;
}

}  // namespace tool
