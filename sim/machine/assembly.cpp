#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "card/devices.h"
#include "design/design_model.h"
#include "machine/card_machine.h"
#include "machine/notice_board.h"
#include "machine/state_layout.h"
#include "platform/state_files.h"

namespace vsim::model {

std::shared_ptr<CardMachine> currentCardMachine() {
    return std::dynamic_pointer_cast<CardMachine>(currentMachine());
}

std::shared_ptr<Card> currentCard(uint32_t index) {
    auto machine = currentCardMachine();
    if (machine == nullptr || index >= machine->cards.size())
        return nullptr;
    return machine->cards[index];
}

// The file's name without its folder and its last extension.
std::string stem(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool readDescriptionFile(const std::string& path, std::string& text, std::string& problem) {
    // A description is a small text file: not a device, not a pipe.
    constexpr std::uintmax_t kLargest = 4 << 20;
    std::error_code error;
    const bool regular = std::filesystem::is_regular_file(path, error);
    if (regular && std::filesystem::file_size(path, error) > kLargest) {
        problem = path + ": larger than 4 MiB, too large for a machine description";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!regular || !file) {
        problem = "cannot read the machine description " + path;
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    text = contents.str();
    return true;
}

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

#if defined(_WIN32)
constexpr char kPlatform[] = "windows";
#else
constexpr char kPlatform[] = "linux";
#endif

// The folder that holds the state of every machine of this user, or empty.
std::string defaultStateRoot() {
#if defined(_WIN32)
    const std::string local = environment("LOCALAPPDATA");
    return local.empty() ? "" : local + "\\veltra\\sim";
#else
    const std::string state = environment("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/')
        return state + "/veltra/sim";
    const std::string home = environment("HOME");
    return home.empty() ? "" : home + "/.local/state/veltra/sim";
#endif
}

// The machine the environment chooses: VELTRA_SIM_MACHINE names a
// description file, or the built-in default.
bool describeMachine(MachineDescription& machine, std::string& problem) {
    const std::string path = environment("VELTRA_SIM_MACHINE");
    if (path.empty())
        return parseMachineDescription(defaultMachineText(), "the default machine", "default",
                                       machine, problem);
    std::string text;
    if (!readDescriptionFile(path, text, problem) ||
        !parseMachineDescription(text, path, stem(path), machine, problem))
        return false;
    // A model's library is named from the description's folder.
    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    for (CardConfig& card : machine.cards)
        card.model.folder = folder;
    std::error_code error;
    const std::filesystem::path full = std::filesystem::weakly_canonical(path, error);
    machine.origin =
        error ? std::filesystem::absolute(path, error).lexically_normal().string() : full.string();
    return true;
}

// A short key of a description's full path (letter case aside on Windows,
// where paths ignore it).
std::string originKey(const std::string& origin) {
    uint32_t hash = 2166136261u;
    for (char ch : origin) {
#if defined(_WIN32)
        ch = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
#endif
        hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}

// Whether `name` is a state file of this platform and this description (of
// any version of its text): machine-PLATFORM-KEY-FINGERPRINT-LAYOUT.state.
bool isStateOf(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0)
        return false;
    const std::string rest = name.substr(prefix.size());
    size_t at = 0;
    auto hexDigits = [&](size_t count) {
        for (size_t i = 0; i < count; ++i, ++at)
            if (at >= rest.size() || !std::isxdigit(static_cast<unsigned char>(rest[at])) ||
                std::isupper(static_cast<unsigned char>(rest[at])))
                return false;
        return true;
    };
    if (!hexDigits(16) || at >= rest.size() || rest[at++] != '-')
        return false;
    const size_t digits = at;
    while (at < rest.size() && std::isdigit(static_cast<unsigned char>(rest[at])))
        ++at;
    return at > digits && rest.substr(at) == ".state";
}

std::string hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

StateHeader& header(uint8_t* data) {
    return *reinterpret_cast<StateHeader*>(data);
}

void report(const std::string& problem) {
    std::fprintf(stderr, "vsim: %s\n", problem.c_str());
    std::fflush(stderr);
}

// The store of a machine: its folder's file, or private memory.
// `fresh`: the state was made now.
std::shared_ptr<Store> openStore(const MachineDescription& machine, uint64_t size,
                                 std::string& stateFile, std::string& problem, bool& fresh) {
    fresh = false;
    auto initialize = [&machine, size, &fresh](uint8_t* data) {
        fresh = true;
        StateHeader& h = header(data);
        MachineLock::reset(h.lockWord);
        h.magic = kStateMagic;
        h.layoutVersion = kLayoutVersion;
        h.cards = static_cast<uint32_t>(machine.cards.size());
        h.fingerprint = machine.fingerprint;
        h.size = size;
        std::vector<CardLayout> layouts;
        layOut(machine, layouts);
        for (size_t i = 0; i < machine.cards.size(); ++i) {
            const CardConfig& c = machine.cards[i];
            powerOn(h.card[i], c);
            std::memcpy(data + layouts[i].vpd, c.vpdRecord.data(), c.vpdRecord.size());
        }
        h.ready.store(1, std::memory_order_release);
    };
    const std::string setting = environment("VELTRA_SIM_STATE");
    if (setting != "private") {
        const std::string root = setting.empty() ? defaultStateRoot() : setting;
        if (root.empty()) {
#if defined(_WIN32)
            problem =
                "no folder for the machine's state (LOCALAPPDATA is not set; set it or "
                "VELTRA_SIM_STATE); this process has a machine of its own";
#else
            problem =
                "no folder for the machine's state (neither XDG_STATE_HOME nor HOME is set; "
                "set one or VELTRA_SIM_STATE); this process has a machine of its own";
#endif
        } else {
            // Linux and Windows processes lock and wake each other differently,
            // so each platform has a state of its own; so has each description
            // file, wherever it lies.
            std::string prefix = "machine-";
            prefix.append(kPlatform).append("-").append(originKey(machine.origin)).append("-");
            const std::string name =
                prefix + hex(machine.fingerprint) + "-" + std::to_string(kLayoutVersion) + ".state";
            auto valid = [&machine, size](uint8_t* data) {
                const StateHeader& h = header(data);
                return h.magic == kStateMagic && h.layoutVersion == kLayoutVersion &&
                       h.fingerprint == machine.fingerprint && h.size == size &&
                       h.cards == machine.cards.size() &&
                       h.ready.load(std::memory_order_acquire) == 1;
            };
            // Alone with the file: a lock word left by a system that went
            // down while a process held it names a thread that is long gone.
            auto reset = [](uint8_t* data) { MachineLock::reset(header(data).lockWord); };
            auto stale = [prefix](const std::string& file) { return isStateOf(file, prefix); };
            std::string error;
            bool refused = false;
            std::shared_ptr<Store> store =
                Store::openShared({root, machine.name, name, stale}, size,
                                  {valid, initialize, reset}, error, refused);
            if (store != nullptr) {
                stateFile = store->path();
                if (!store->setAside().empty())
                    report("the state file " + stateFile + " failed its checks: it is kept as " +
                           store->setAside() + ", and the machine starts afresh");
                return store;
            }
            if (refused) {
                problem = error;
                return nullptr;
            }
            problem = error + "; this process has a machine of its own";
        }
    }
    std::string error;
    std::shared_ptr<Store> store = Store::createPrivate(size, error);
    if (store == nullptr) {
        problem = error;
        return nullptr;
    }
    initialize(store->data());
    return store;
}

}  // namespace

bool armFaults(CardMachine& machine, const std::vector<FaultSpec>& faults, std::string& problem) {
    for (const FaultSpec& fault : faults) {
        if (fault.card >= machine.cards.size()) {
            problem = "the machine has no card " + std::to_string(fault.card);
            return false;
        }
        if (!machine.cards[fault.card]->arm(fault, problem))
            return false;
    }
    return true;
}

std::shared_ptr<Machine> makeMachine() {
    setDriverStatusNames(driverStatusName);
    auto machine = std::make_shared<CardMachine>();
    MachineDescription description;
    if (!describeMachine(description, machine->problem)) {
        machine->problem += "; the simulated machine has no cards";
        report(machine->problem);
        return machine;
    }
    std::vector<CardLayout> layouts;
    const uint64_t size = layOut(description, layouts);
    bool fresh = false;
    machine->store = openStore(description, size, machine->stateFile, machine->problem, fresh);
    if (machine->store == nullptr) {
        machine->problem += "; the simulated machine has no cards";
        report(machine->problem);
        return machine;
    }
    if (!machine->problem.empty())
        report(machine->problem);
    StateHeader& h = header(machine->store->data());
    machine->lock = std::make_shared<MachineLock>(h.lockWord, machine->stateFile);
    if (!machine->lock->problem().empty()) {
        machine->problem = machine->lock->problem() + "; the simulated machine has no cards";
        report(machine->problem);
        machine->store = nullptr;
        machine->lock = nullptr;
        return machine;
    }
    std::shared_ptr<NoticeBoard> board;
    if (machine->store->shared())
        board = std::make_shared<NoticeBoard>(machine->store, machine->lock, h.notices);
    std::vector<std::weak_ptr<Card>> watched;
    for (uint32_t i = 0; i < description.cards.size(); ++i) {
        auto card = std::make_shared<Card>(i, std::move(description.cards[i]), machine->store,
                                           machine->lock, h.card[i], layouts[i]);
        card->setNoticeBoard(board);
        if (const std::string& problem = card->design().problem(); !problem.empty()) {
            const std::string line =
                "card " + std::to_string(i) + ": " + problem + "; its FPGAs will not configure";
            report(line);
            machine->problem += (machine->problem.empty() ? "" : "; ") + line;
        }
        machine->add(kVeltraInterface, "veltra", std::make_shared<VeltraDevice>(card));
        machine->add(kKestaInterface, "kesta", std::make_shared<KestaDevice>(card));
        watched.push_back(card);
        machine->cards.push_back(std::move(card));
    }
    if (board != nullptr)
        board->watch(std::move(watched));
    // A flash change is begun and ended under one hold of the lock, so a
    // change found begun when the lock is taken is one that its process
    // never ended: it died holding the lock, or the system went down.
    // The check needs the state words alone (and the store that holds them),
    // so it outlives the cards safely.
    machine->lock->onLocked([store = machine->store, cards = description.cards.size()] {
        StateHeader& state = header(store->data());
        for (uint32_t i = 0; i < cards; ++i)
            reportInterruptedFlashChange(state.card[i], i);
    });
    // Faults: the description's when its state is made, then those of the
    // file that VELTRA_SIM_FAULTS names, in every process that starts with it.
    std::string problem;
    if (fresh)
        for (const auto& card : machine->cards)
            for (const FaultSpec& fault : card->config.faults)
                if (!card->arm(fault, problem))
                    report(problem);
    const std::string faultFile = environment("VELTRA_SIM_FAULTS");
    std::string text;
    std::vector<FaultSpec> faults;
    if (!faultFile.empty() &&
        !(readDescriptionFile(faultFile, text, problem) &&
          parseFaults(text, faultFile, faults, problem) && armFaults(*machine, faults, problem)))
        report(problem);
    return machine;
}

namespace {

// The core makes this machine when it is first asked for one.
[[maybe_unused]] const bool registered = [] {
    setMachineMaker(makeMachine);
    return true;
}();

}  // namespace

}  // namespace vsim::model
