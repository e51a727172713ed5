// veltra vpd: a card's vital product data.
#include <cstdio>
#include <memory>

#include "card_lock.h"
#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "files.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace vpd_command {

// What VPD memory holds where nothing was written.
constexpr uint8_t kErased = 0xFF;

struct Options : Change {
    uint64_t offset = 0, length = 0;
    CLI::Option* lengthOption = nullptr;
    std::string file, text;
};

// The range to read: from --offset for --length, or to the end.
uint64_t readLength(const Card& card, const Options& o, uint64_t size) {
    if (o.offset > size)
        throw Failure(format("offset %s is past the end of the VPD of %s (%s)",
                             hex(o.offset).c_str(), card.name().c_str(), sizeText(size).c_str()));
    const uint64_t length = o.lengthOption->count() ? o.length : size - o.offset;
    if (length > size - o.offset)
        throw Failure(format("%s from %s passes the end of the VPD of %s (%s)",
                             sizeText(length).c_str(), hex(o.offset).c_str(), card.name().c_str(),
                             sizeText(size).c_str()));
    return length;
}

void vpdRead(const Options& o) {
    const Card card = o.card.open();
    const uint64_t size = vpdSize(card);
    const std::vector<uint8_t> data = readVpd(card, o.offset, readLength(card, o, size));
    if (o.file.empty()) {
        std::printf("%s", recordText(data).c_str());
        return;
    }
    const bool standardOutput = writeOutput(o.file, data.data(), data.size());
    std::fprintf(standardOutput ? stderr : stdout, "saved %s of VPD of %s to %s\n",
                 sizeText(data.size()).c_str(), card.name().c_str(), o.file.c_str());
}

// "\n" in the text is a new line.
std::vector<uint8_t> textBytes(const std::string& text) {
    std::vector<uint8_t> data;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool newline = text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n';
        data.push_back(newline ? uint8_t{'\n'} : static_cast<uint8_t>(text[i]));
        i += newline ? 1 : 0;
    }
    return data;
}

// A file's bytes go in as they are; a text is the whole record from the
// offset on: the text, then the erased value to the end, so that no tail of
// an older, longer record remains behind it.
std::vector<uint8_t> newContents(const Options& o, uint64_t size, uint64_t& textLength) {
    std::vector<uint8_t> data = textBytes(o.text);
    if (!o.file.empty()) {
        const Bytes bytes = readWholeFile(o.file);
        data.assign(bytes.begin(), bytes.end());
    }
    textLength = data.size();
    if (data.empty())
        throw o.file.empty() ? Failure("nothing to write: the text is empty")
                             : Failure(o.file + " is empty: nothing written");
    if (o.file.empty() && o.offset <= size && data.size() <= size - o.offset)
        data.resize(static_cast<size_t>(size - o.offset), kErased);
    return data;
}

void vpdWrite(const Options& o) {
    if (o.file.empty() && o.text.empty())
        throw Usage("nothing to write: give --file or --text");
    const Card card = o.card.open();
    const CardLock lock(card, o.wait);
    const uint64_t size = vpdSize(card);
    uint64_t textLength = 0;
    const std::vector<uint8_t> data = newContents(o, size, textLength);
    if (o.offset > size || data.size() > size - o.offset)
        throw Failure(format("%s at %s does not fit in the VPD of %s (%s)",
                             sizeText(data.size()).c_str(), hex(o.offset).c_str(),
                             card.name().c_str(), sizeText(size).c_str()));
    confirm(format("Write %s of VPD at %s on %s?", sizeText(textLength).c_str(),
                   hex(o.offset).c_str(), card.name().c_str()),
            o.yes);
    check(VELTRA_WriteVPD(card.handle(), 0, o.offset, data.size(), data.data()),
          "cannot write the VPD of " + card.name());
    if (readVpd(card, o.offset, data.size()) != data)
        throw Failure("the VPD of " + card.name() + " does not read back as written");
    std::printf("wrote %s of VPD at %s on %s\n", sizeText(textLength).c_str(),
                hex(o.offset).c_str(), card.name().c_str());
}

void addRange(CLI::App& command, Options& o) {
    command.add_option("--offset", o.offset, "where to start (default 0)")->transform(sizeForm());
}

Work defineRead(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    addRange(command, *o);
    o->lengthOption = command.add_option("--length", o->length, "how much (default: to the end)")
                          ->transform(sizeForm());
    command.add_option("--file", o->file, std::string("save the bytes to this file") + kOutputHelp);
    return [o] { vpdRead(*o); };
}

Work defineWrite(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, true, true);
    addRange(command, *o);
    auto* file = command.add_option("--file", o->file, "the bytes to write, as they are");
    command
        .add_option("--text", o->text,
                    "the record to write (\\n for a new line); the rest of the VPD is erased")
        ->excludes(file);
    return [o] { vpdWrite(*o); };
}

constexpr Command kCommands[] = {
    {"vpd", "read or write a card's vital product data", nullptr},
    {"vpd read", "print the VPD record, or save the VPD to a file", defineRead},
    {"vpd write", "write the VPD from a file or a text", defineWrite},
};

}  // namespace vpd_command

Commands vpdCommands() {
    return vpd_command::kCommands;
}

}  // namespace tool
