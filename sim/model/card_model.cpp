#include "card_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "design_model.h"
#include "dma_engine.h"
#include "machine_state.h"
#include "notice_board.h"
#include "notifications.h"
#include "statuses.h"
#include "vsim/cards.h"

namespace vsim {

std::shared_ptr<Machine> makeDefaultMachine() {
    return model::makeMachine();
}

namespace model {

Card::Card(uint32_t index, CardConfig config, std::shared_ptr<Store> store, CardState& state,
           const CardLayout& layout)
    : index(index),
      config(std::move(config)),
      store_(std::move(store)),
      state_(state),
      cardMemory_(*store_, layout.cardMemory, this->config.cardMemorySize),
      vpd_(*store_, layout.vpd, this->config.vpdSize) {
    for (size_t w = 0; w < this->config.windows.size(); ++w) {
        windowMemory_.emplace_back(*store_, layout.windows[w], this->config.windows[w].size);
        watchShadows_.emplace_back(
            *store_, layout.watchShadows[w],
            this->config.windows[w].watched ? this->config.windows[w].size : 0);
    }
    for (size_t b = 0; b < this->config.commonBuffers.size(); ++b)
        commonBuffers_.emplace_back(*store_, layout.commonBuffers[b],
                                    this->config.commonBuffers[b].size);
    for (size_t f = 0; f < this->config.flash.size(); ++f)
        flash_.emplace_back(*store_, layout.flash[f], this->config.flash[f].size);
    notifications_ = std::make_unique<Notifications>();
    design_ = std::make_unique<DesignModel>(*this, this->config.model);
    removalsSeen_.store(state_.faults.removals.load());
    dma_ = std::make_unique<DmaEngine>(cardMemory_, this->config.dmaChannels,
                                       this->config.dmaBandwidth, this->config.dmaLatencyNs);
    dma_->setMovedHook([this](uint32_t channel, const DmaEngine::Transfer& t) {
        design_->dmaDone(channel, t.toCard, t.local, t.length);
    });
    dma_->setFaultHooks(
        [this](uint32_t channel, const DmaEngine::Transfer& t) {
            return dmaFault(channel, t.length);
        },
        [this] { return dmaBandwidth(); });
}

Card::~Card() = default;

void Card::raiseNotification(uint32_t notification) {
    notifications_->raise(notification);
    if (noticeBoard_ != nullptr)
        noticeBoard_->publish(index, notification);
}

FlashBlock flashBlockAt(const FlashConfig& f, uint64_t offset) {
    const uint64_t parameterArea = f.parameterBlockSize * f.parameterBlocks;
    const uint64_t areaStart = f.parametersAtTop ? f.size - parameterArea : 0;
    if (parameterArea != 0 && offset >= areaStart && offset < areaStart + parameterArea) {
        const uint64_t start =
            areaStart + (offset - areaStart) / f.parameterBlockSize * f.parameterBlockSize;
        return {start, f.parameterBlockSize, kParameterBlock};
    }
    const uint64_t mainStart = f.parametersAtTop ? 0 : parameterArea;
    return {mainStart + (offset - mainStart) / f.blockSize * f.blockSize, f.blockSize, 0};
}

void Card::raiseInterrupt() {
    state_.interrupt.store(1);
}
bool Card::takeInterrupt() {
    return state_.interrupt.exchange(0) != 0;
}
Iprog& Card::iprog(size_t slot) {
    return state_.iprog[slot];
}
std::atomic<int64_t>& Card::clockFrequency(size_t c) {
    return state_.clocks[c];
}
uint32_t Card::nextReading() {
    return state_.readings.fetch_add(1);
}
void Card::raiseError(DeviceError e) {
    state_.errors[static_cast<int>(e)].fetch_or(1);
}
void Card::raiseErrorBits(DeviceError e, uint32_t bits) {
    state_.errors[static_cast<int>(e)].fetch_or(bits);
}
void Card::setSensor(size_t sensor, int64_t value) {
    state_.sensorValue[sensor].store(value);
    state_.sensorsSet.fetch_or(uint64_t{1} << sensor);
}
bool Card::sensorSet(size_t sensor, int64_t& value) const {
    if ((state_.sensorsSet.load() & (uint64_t{1} << sensor)) == 0)
        return false;
    value = state_.sensorValue[sensor].load();
    return true;
}
uint32_t Card::errorWord(int w) const {
    return state_.errors[w].load();
}
void Card::clearErrors() {
    for (auto& e : state_.errors)
        e.store(0);
}
std::atomic<uint64_t>& Card::windowWatcher(size_t w) {
    return state_.windowWatcher[w];
}
bool Card::configured(size_t fpga) const {
    return state_.configured[fpga].load() != 0;
}
void Card::setConfigured(size_t fpga, bool value) {
    state_.configured[fpga].store(value ? 1 : 0);
}

void Card::powerCycle() {
    {
        auto guard = lockState();
        for (const Memory& m : windowMemory_)
            if (m.offset() != cardMemory_.offset())  // card-memory windows are cleared below
                store_->clear(m.offset(), m.size());
        for (const Memory& m : watchShadows_)
            if (m.size() != 0)
                store_->clear(m.offset(), m.size());
        store_->clear(cardMemory_.offset(), cardMemory_.size());
        for (const Memory& m : commonBuffers_)
            store_->clear(m.offset(), m.size());
        powerOn(state_, config);
    }
    design_->powerCycled();
}

uint64_t layOut(const MachineDescription& machine, std::vector<CardLayout>& layouts) {
    auto align = [](uint64_t value) {
        return (value + kRegionAlignment - 1) / kRegionAlignment * kRegionAlignment;
    };
    uint64_t end = align(sizeof(StateHeader));
    auto place = [&](uint64_t size) {
        const uint64_t at = end;
        end = align(end + size);
        return at;
    };
    layouts.clear();
    for (const CardConfig& c : machine.cards) {
        CardLayout l;
        l.cardMemory = place(c.cardMemorySize);
        for (const WindowConfig& w : c.windows)
            l.windows.push_back((w.attributes & kWindowCardMemory) ? l.cardMemory : place(w.size));
        for (const WindowConfig& w : c.windows)
            l.watchShadows.push_back(w.watched ? place(w.size) : 0);
        for (const CommonBufferConfig& b : c.commonBuffers)
            l.commonBuffers.push_back(place(b.size));
        for (const FlashConfig& f : c.flash)
            l.flash.push_back(place(f.size));
        l.vpd = place(c.vpdSize);
        layouts.push_back(std::move(l));
    }
    return end;
}

void powerOn(CardState& state, const CardConfig& config) {
    for (auto& c : state.configured)
        c.store(0);
    for (size_t i = 0; i < config.clocks.size(); ++i)
        state.clocks[i].store(config.clocks[i].frequency);
    for (size_t w = 0; w < 5; ++w)
        state.errors[w].store(config.deviceStatus[w]);
    state.interrupt.store(0);
    state.sensorsSet.store(0);
    for (auto& slot : state.iprog)
        slot = {};
}

uint32_t LockedBuffers::lock(const void* owner, uint8_t* base, uint64_t length) {
    std::lock_guard guard(lock_);
    uint32_t handle = next_++;
    if (handle == 0)  // 0 names no buffer: skip it when the count wraps
        handle = next_++;
    buffers_[handle] = {owner, base, length};
    return handle;
}

uint32_t LockedBuffers::verdict(const void* owner,
                                std::map<uint32_t, Buffer>::const_iterator found) const {
    if (found == buffers_.end())
        return status::kVeltraInvalidBufferHandle;
    return found->second.owner == owner ? 0 : status::kVeltraNotOwner;
}

uint32_t LockedBuffers::unlock(const void* owner, uint32_t handle) {
    std::lock_guard guard(lock_);
    const auto found = buffers_.find(handle);
    const uint32_t error = verdict(owner, found);
    if (error == 0)
        buffers_.erase(found);
    return error;
}

uint32_t LockedBuffers::find(const void* owner, uint32_t handle, Buffer& buffer) const {
    std::lock_guard guard(lock_);
    const auto found = buffers_.find(handle);
    const uint32_t error = verdict(owner, found);
    if (error == 0)
        buffer = found->second;
    return error;
}

void LockedBuffers::release(const void* owner) {
    std::lock_guard guard(lock_);
    std::erase_if(buffers_, [owner](const auto& entry) { return entry.second.owner == owner; });
}

namespace {

// A machine of simulated cards, which keeps its cards reachable for the
// controls that tests and tools use.
class CardMachine : public Machine {
  public:
    std::vector<std::shared_ptr<Card>> cards;
    std::shared_ptr<Store> store;
    std::string stateFile;  // empty for a private machine
    std::string problem;    // why the machine has no cards, or why its state is private
};

std::shared_ptr<CardMachine> currentCardMachine() {
    return std::dynamic_pointer_cast<CardMachine>(currentMachine());
}

std::shared_ptr<Card> currentCard(uint32_t index) {
    auto machine = currentCardMachine();
    if (machine == nullptr || index >= machine->cards.size())
        return nullptr;
    return machine->cards[index];
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

#if defined(_WIN32)
constexpr char kSeparator = '\\';
constexpr char kPlatform[] = "windows";
#else
constexpr char kSeparator = '/';
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

// The file's name without its folder and its last extension.
std::string stem(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool readFile(const std::string& path, std::string& text, std::string& problem) {
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

// The machine the environment chooses: VELTRA_SIM_MACHINE names a
// description file, or the built-in default.
bool describeMachine(MachineDescription& machine, std::string& problem) {
    const std::string path = environment("VELTRA_SIM_MACHINE");
    if (path.empty())
        return parseMachineDescription(defaultMachineText(), "the default machine", "default",
                                       machine, problem);
    std::string text;
    if (!readFile(path, text, problem) ||
        !parseMachineDescription(text, path, stem(path), machine, problem))
        return false;
    // A model's library is named from the description's folder.
    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    for (CardConfig& card : machine.cards)
        card.model.folder = folder;
    return true;
}

std::string hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

StateHeader& header(uint8_t* data) {
    return *reinterpret_cast<StateHeader*>(data);
}

// The store of a machine: its folder's file, or private memory.
std::shared_ptr<Store> openStore(const MachineDescription& machine, uint64_t size,
                                 std::string& stateFile, std::string& problem, bool& fresh) {
    fresh = false;
    auto initialize = [&machine, size, &fresh](uint8_t* data) {
        fresh = true;
        StateHeader& h = header(data);
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
            problem =
                "no folder for the machine's state (set VELTRA_SIM_STATE); this process "
                "has a machine of its own";
        } else {
            const std::string folder = root + kSeparator + machine.name;
            // Linux and Windows processes lock and wake each other differently,
            // so each platform has a state of its own.
            const std::string prefix = std::string("machine-") + kPlatform + "-";
            const std::string name =
                prefix + hex(machine.fingerprint) + "-" + std::to_string(kLayoutVersion) + ".state";
            auto valid = [&machine, size](uint8_t* data) {
                const StateHeader& h = header(data);
                return h.magic == kStateMagic && h.layoutVersion == kLayoutVersion &&
                       h.fingerprint == machine.fingerprint && h.size == size &&
                       h.cards == machine.cards.size() &&
                       h.ready.load(std::memory_order_acquire) == 1;
            };
            std::string error;
            std::shared_ptr<Store> store =
                Store::openShared(folder, name, prefix, size, valid, initialize, error);
            if (store != nullptr) {
                stateFile = folder + kSeparator + name;
                return store;
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

void report(const std::string& problem) {
    std::fprintf(stderr, "vsim: %s\n", problem.c_str());
    std::fflush(stderr);
}

}  // namespace

// Arms each fault on its card; stops at the first that does not fit.
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
    std::shared_ptr<NoticeBoard> board;
    if (machine->store->shared())
        board = std::make_shared<NoticeBoard>(machine->store, h.notices);
    std::vector<std::weak_ptr<Card>> watched;
    for (uint32_t i = 0; i < description.cards.size(); ++i) {
        auto card = std::make_shared<Card>(i, std::move(description.cards[i]), machine->store,
                                           h.card[i], layouts[i]);
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
        !(readFile(faultFile, text, problem) && parseFaults(text, faultFile, faults, problem) &&
          armFaults(*machine, faults, problem)))
        report(problem);
    return machine;
}

}  // namespace model

bool pauseDmaChannel(uint32_t card, uint32_t channel, bool paused) {
    auto c = model::currentCard(card);
    if (c == nullptr || channel >= c->dma().channels())
        return false;
    c->dma().pause(channel, paused);
    return true;
}

bool raiseNotification(uint32_t card, uint32_t notification) {
    auto c = model::currentCard(card);
    if (c == nullptr)
        return false;
    c->raiseNotification(notification);
    return true;
}
}  // namespace vsim

namespace vsim {

bool powerCycle(uint32_t card) {
    auto c = model::currentCard(card);
    if (c == nullptr)
        return false;
    c->powerCycle();
    return true;
}

bool applyFaults(const std::string& text, std::string& problem) {
    auto machine = model::currentCardMachine();
    std::vector<model::FaultSpec> faults;
    if (machine == nullptr) {
        problem = "no simulated machine";
        return false;
    }
    return model::parseFaults(text, "the faults", faults, problem) &&
           model::armFaults(*machine, faults, problem);
}

bool clearFaults(uint32_t card) {
    auto machine = model::currentCardMachine();
    if (machine == nullptr || (card != kEveryCard && card >= machine->cards.size()))
        return false;
    for (const auto& c : machine->cards)
        if (card == kEveryCard || c->index == card)
            c->clearFaults();
    return true;
}

std::string describeFaults() {
    auto machine = model::currentCardMachine();
    std::string lines;
    if (machine != nullptr)
        for (const auto& c : machine->cards)
            lines += c->describeFaults();
    return lines;
}

std::string machineProblem() {
    auto machine = model::currentCardMachine();
    return machine != nullptr ? machine->problem : "";
}

std::string machineStateFile() {
    auto machine = model::currentCardMachine();
    return machine != nullptr ? machine->stateFile : "";
}

bool checkMachineDescription(const std::string& path, std::string& problem) {
    std::string text;
    model::MachineDescription machine;
    return model::readFile(path, text, problem) &&
           model::parseMachineDescription(text, path, model::stem(path), machine, problem);
}

}  // namespace vsim

extern "C" void vsimHoldMachineLock(void) {
    auto machine = vsim::model::currentCardMachine();
    if (machine != nullptr && machine->store != nullptr)
        machine->store->lock();
}

namespace {

void copyText(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return;
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

extern "C" int vsimCardOfSerial(uint32_t serial, uint32_t* card) {
    auto machine = vsim::model::currentCardMachine();
    if (machine == nullptr || card == nullptr)
        return 0;
    for (const auto& c : machine->cards)
        if (c->config.serial == serial) {
            *card = c->index;
            return 1;
        }
    return 0;
}

extern "C" int vsimClockRange(uint32_t card, uint32_t clock, double* minimum, double* maximum) {
    auto c = vsim::model::currentCard(card);
    if (c == nullptr || clock >= c->config.clocks.size() || minimum == nullptr ||
        maximum == nullptr || !c->config.clocks[clock].programmable)
        return 0;
    *minimum = static_cast<double>(c->config.clocks[clock].minimum);
    *maximum = static_cast<double>(c->config.clocks[clock].maximum);
    return 1;
}

extern "C" int vsimPowerCycle(uint32_t card) {
    return vsim::powerCycle(card) ? 1 : 0;
}

extern "C" int vsimArmCardFaults(const char* text, char* problem, size_t size) {
    std::string why;
    const bool good = text != nullptr && vsim::applyFaults(text, why);
    copyText(why, problem, size);
    return good ? 1 : 0;
}

extern "C" int vsimClearCardFaults(uint32_t card) {
    return vsim::clearFaults(card) ? 1 : 0;
}

extern "C" int vsimCardFaults(char* text, size_t size) {
    copyText(vsim::describeFaults(), text, size);
    return 1;
}

extern "C" int vsimCheckMachineDescription(const char* path, char* problem, size_t size) {
    std::string text;
    const bool good = path != nullptr && vsim::checkMachineDescription(path, text);
    copyText(text, problem, size);
    return good ? 1 : 0;
}

extern "C" int vsimMachineState(char* file, size_t fileSize, char* problem, size_t problemSize) {
    copyText(vsim::machineStateFile(), file, fileSize);
    copyText(vsim::machineProblem(), problem, problemSize);
    return 1;
}
