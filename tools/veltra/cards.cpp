#include "cards.h"

#include <setupapi.h>

#include <cctype>
#include <cstdlib>
#include <memory>

#include "errors.h"
#include "records.h"
#include "simulator.h"
#include "text.h"

namespace tool {

namespace {

// The VELTRA interface class, under which the driver registers each card.
constexpr GUID kVeltraInterface = {
    0x4A8924E1, 0xA143, 0x44C2, {0x8E, 0xC1, 0x64, 0xEC, 0x73, 0xF9, 0x0F, 0x96}};

struct DeviceSet {
    HDEVINFO set;
    ~DeviceSet() {
        if (set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
    }
};

std::string detailPath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return "";
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]());
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
        return "";
    return detail->DevicePath;
}

// The interfaces of the class: present ones only, or every one the system
// knows of.
std::vector<std::string> paths(DWORD flags) {
    DeviceSet devices{SetupDiGetClassDevsA(&kVeltraInterface, nullptr, nullptr, flags)};
    std::vector<std::string> found;
    if (devices.set == INVALID_HANDLE_VALUE)
        return found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(devices.set, nullptr, &kVeltraInterface, index, &data))
            return found;
        found.push_back(detailPath(devices.set, data));
    }
}

// Windows compares device paths without regard to case.
bool samePath(const std::string& a, const std::string& b) {
    return equalsIgnoringCase(a, b);
}

Card selectBySerial(uint32_t serial) {
    std::string serials;
    for (uint32_t index = 0;; ++index) {
        std::optional<Card> card = Card::tryOpen(index);
        if (!card.has_value())
            break;
        if (card->serial() == serial)
            return std::move(*card);
        serials += (serials.empty() ? "" : ", ") + serialText(card->serial());
    }
    throw Failure("no card has serial " + serialText(serial) +
                  (serials.empty() ? " (there is no card)" : " (the cards: " + serials + ")"));
}

// The card at a path: found by its index, opened, and the path checked again
// once it is open, so that a card that moved in between is not taken for it.
Card selectByPath(const std::string& path) {
    const std::vector<std::string> before = interfacePaths();
    for (uint32_t index = 0; index < before.size(); ++index) {
        if (!samePath(before[index], path))
            continue;
        Card card(index);
        card.serial();
        const std::vector<std::string> after = interfacePaths();
        if (index >= after.size() || !samePath(after[index], path))
            throw Failure("the card at " + path + " moved while it was opened; nothing changed");
        return card;
    }
    throw Failure("no card is at " + path + " (see veltra list)");
}

}  // namespace

Selection Selection::parse(const std::string& text) {
    Selection s;
    if (text.rfind("serial:", 0) == 0) {
        s.by = By::Serial;
        s.serial = parseSerial(text.substr(7), "--card " + text);
    } else if (text.rfind("\\\\", 0) == 0) {
        s.by = By::Path;
        s.path = text;
    } else {
        const uint64_t index = parseNumber(text, "--card");
        // A number in hex as large as a serial is one given where an index
        // goes.
        if (index > 0xFFFF && index <= UINT32_MAX &&
            (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0))
            throw Usage(
                "--card: " + text +
                " is not a card index; for the card with that serial, write serial:" + text);
        if (index > UINT32_MAX)
            throw Usage("--card: '" + text + "' is too large");
        s.index = static_cast<uint32_t>(index);
    }
    return s;
}

uint32_t parseSerial(const std::string& text, const std::string& what) {
    // As every output shows a serial, in eight hex digits, with or without
    // its 0x.
    // Eight digits that are plainly hex (a letter, or a leading 0); eight
    // decimal digits stay the decimal serial `info --json` shows.
    if (text.size() == 8 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
        (text[0] == '0' || text.find_first_of("abcdefABCDEF") != std::string::npos))
        return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
    const uint64_t serial = parseNumber(text, what);
    if (serial > UINT32_MAX)
        throw Usage(what + ": a serial has 32 bits");
    return static_cast<uint32_t>(serial);
}

std::vector<std::string> interfacePaths() {
    return paths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

Card::Card(uint32_t index) : index_(index) {
    check(VELTRA_Open(index, &handle_), format("cannot open card %u", index));
}

std::optional<Card> Card::tryOpen(uint32_t index) {
    VELTRA_HANDLE handle = nullptr;
    const VELTRA_STATUS status = VELTRA_Open(index, &handle);
    if (status == VELTRA_DEVICE_NOT_FOUND)
        return std::nullopt;
    check(status, format("cannot open card %u", index));
    return Card(index, handle);
}

Card::Card(Card&& other) noexcept
    : handle_(other.handle_), index_(other.index_), info_(other.info_) {
    other.handle_ = nullptr;
}

Card::~Card() {
    if (handle_ != nullptr)
        VELTRA_Close(handle_);
}

Card Card::select(const Selection& selection, std::optional<uint32_t> expectSerial) {
    Card card = selection.by == Selection::By::Serial ? selectBySerial(selection.serial)
                : selection.by == Selection::By::Path ? selectByPath(selection.path)
                                                      : Card(selection.index);
    if (expectSerial.has_value())
        card.expect(*expectSerial, "--expect-serial");
    return card;
}

void Card::expect(uint32_t serial, const std::string& because) const {
    if (this->serial() != serial)
        throw Failure(format("%s has serial %s, not %s as %s says; nothing changed", name().c_str(),
                             serialText(this->serial()).c_str(), serialText(serial).c_str(),
                             because.c_str()));
}

const VELTRA_CARD_INFO_EX& Card::info() const {
    if (!info_.has_value())
        info_ = cardInfo(*this);
    return *info_;
}

std::string Card::name() const {
    return format("card %u", index_);
}

Bridge::Bridge(const Card& card) {
    checkBridge(KESTA_Open(card.index(), 0, 0, &handle_),
                format("cannot open the bridge device of card %u", card.index()));
    // The bridge is found by the card's index: the index must still name
    // the card, or the bridge is another card's.
    bool same = false;
    try {
        same = Card(card.index()).serial() == card.serial();
    } catch (const Failure&) {
    }
    if (!same) {
        KESTA_Close(handle_);
        throw Failure(card.name() + " moved while its bridge device was opened; nothing changed");
    }
}

Bridge::~Bridge() {
    KESTA_Close(handle_);
}

std::vector<Card> openAllCards() {
    std::vector<Card> cards;
    for (uint32_t index = 0;; ++index) {
        std::optional<Card> card = Card::tryOpen(index);
        if (!card.has_value())
            return cards;
        cards.push_back(std::move(*card));
    }
}

std::string whyNoCards() {
    if (onSimulator()) {
        const MachineState state = machineState();
        const char* description = std::getenv("VELTRA_SIM_MACHINE");
        if (!state.problem.empty() && description != nullptr && *description != '\0')
            return "the simulated machine description " + std::string(description) +
                   " failed: " + state.problem;
        if (!state.problem.empty())
            return "the simulated machine has no cards: " + state.problem;
        return simulatedFaults().find("removed") != std::string::npos
                   ? "no card is present: the simulated cards are removed (see veltra sim faults)"
                   : "no card is present";
    }
    const size_t known = paths(DIGCF_DEVICEINTERFACE).size();
    if (known == 0)
        return "no VELTRA driver is installed";
    return "no card is present (the VELTRA driver knows of " + plural(known, "card") +
           " that are not there)";
}

Card CardChoice::open() const {
    const Selection chosen = Selection::parse(selection);
    std::optional<uint32_t> expected;
    if (!expectSerial.empty())
        expected = parseSerial(expectSerial, "--expect-serial");
    return Card::select(chosen, expected);
}

std::vector<Card> CardChoice::openEach() const {
    std::vector<Card> cards;
    if (given()) {
        cards.push_back(open());
        return cards;
    }
    cards = openAllCards();
    if (cards.empty())
        throw Failure("no cards: " + whyNoCards());
    return cards;
}

void addCardOption(CLI::App& command, CardChoice& choice, bool required) {
    choice.option = command.add_option(
        "-c,--card", choice.selection,
        "the card: its index, serial:0xSERIAL or its device path (see veltra list)");
    if (required)
        choice.option->required();
}

namespace {

void addExpectSerial(CLI::App& command, CardChoice& choice) {
    command.add_option("--expect-serial", choice.expectSerial,
                       "refuse unless the card's serial is this (for scripts that hold an index)");
}

}  // namespace

void addChangeOptions(CLI::App& command, Change& change, bool asks, bool locks) {
    addCardOption(command, change.card, true);
    addExpectSerial(command, change.card);
    if (asks)
        command.add_flag("-y,--yes", change.yes, "do not ask before changing the card");
    if (locks)
        command.add_flag("--wait", change.wait,
                         "wait for another process that is changing the card, instead of refusing");
}

}  // namespace tool
