#include "design/design_model.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/trace.h"
#include "machine/processes.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// The simulator's side of a model's services.
struct VSIM_CARD {
    vsim::model::DesignModel* design;
};

namespace vsim::model {
namespace {

Card& cardOf(VSIM_CARD* host) {
    return host->design->card();
}

int readCardMemory(VSIM_CARD* host, uint64_t local, void* data, uint64_t length) {
    Region& memory = cardOf(host).cardMemory();
    if (!memory.contains(local, length) || (data == nullptr && length != 0))
        return -1;
    if (length != 0)
        std::memcpy(data, memory.data() + local, length);
    return 0;
}

int writeCardMemory(VSIM_CARD* host, uint64_t local, const void* data, uint64_t length) {
    Region& memory = cardOf(host).cardMemory();
    if (!memory.contains(local, length) || (data == nullptr && length != 0))
        return -1;
    if (length != 0)
        std::memcpy(memory.data() + local, data, length);
    return 0;
}

Region* windowRange(VSIM_CARD* host, uint32_t window, uint64_t offset, uint64_t length,
                    const void* data) {
    Card& card = cardOf(host);
    if (window >= card.config.windows.size() || (data == nullptr && length != 0))
        return nullptr;
    Region& memory = card.windowMemory(window);
    return memory.contains(offset, length) ? &memory : nullptr;
}

int readWindow(VSIM_CARD* host, uint32_t window, uint64_t offset, void* data, uint64_t length) {
    Region* memory = windowRange(host, window, offset, length, data);
    if (memory == nullptr)
        return -1;
    if (length != 0)
        std::memcpy(data, memory->data() + offset, length);
    return 0;
}

int raiseNotification(VSIM_CARD* host, uint32_t notification) {
    cardOf(host).raiseNotification(notification);
    return 0;
}

int setDeviceStatus(VSIM_CARD* host, uint32_t word, uint32_t bits) {
    if (word >= 5)
        return -1;
    cardOf(host).raiseErrorBits(static_cast<DeviceError>(word), bits);
    return 0;
}

int setSensor(VSIM_CARD* host, uint32_t sensor, double value) {
    Card& card = cardOf(host);
    if (sensor >= card.config.sensors.size() || !std::isfinite(value) || value <= -1e9 ||
        value >= 1e9)
        return -1;
    card.setSensor(sensor, fixed32(value));
    return 0;
}

int writeWindow(VSIM_CARD* host, uint32_t window, uint64_t offset, const void* data,
                uint64_t length) {
    if (windowRange(host, window, offset, length, data) == nullptr)
        return -1;
    if (length != 0)
        host->design->put(window, offset, data, length);
    return 0;
}

void traceLine(VSIM_CARD* host, const char* text) {
    if (text != nullptr && trace::on())
        host->design->note(text);
}

const VSIM_MODEL_HOST kHost = {
    VSIM_MODEL_VERSION, sizeof(VSIM_MODEL_HOST), readCardMemory,  writeCardMemory, readWindow,
    writeWindow,        raiseNotification,       setDeviceStatus, setSensor,       traceLine,
};

// The library's file: a relative name is the description's folder's, and a
// name without an extension gets the platform's.
std::string libraryPath(const ModelConfig& config) {
    std::string path = config.library;
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
#if defined(_WIN32)
        path += ".dll";
#else
        path += ".so";
#endif
    const bool absolute = (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
                          (path.size() > 1 && path[1] == ':');
    if (!absolute && !config.folder.empty())
        path = config.folder + "/" + path;
    return path;
}

}  // namespace

DesignModel::DesignModel(Card& card, const ModelConfig& config) : card_(card), config_(config) {
    if (config_.library.empty())
        return;
    const std::string path = libraryPath(config_);
    const std::string name = "the model " + path;
    VSIM_MODEL_OPEN open = nullptr;
#if defined(_WIN32)
    // By its full path, and the libraries it needs from its own folder first:
    // never a library of the same name that the search order finds elsewhere.
    char full[4096];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    HMODULE module = length == 0 || length >= sizeof full
                         ? nullptr
                         : LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        problem_ = name + " cannot be loaded (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    library_ = module;
    open = reinterpret_cast<VSIM_MODEL_OPEN>(
        reinterpret_cast<void*>(GetProcAddress(module, VSIM_MODEL_ENTRY)));
#else
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        problem_ = name + " cannot be loaded: " + (why != nullptr ? why : "unknown error");
        return;
    }
    open = reinterpret_cast<VSIM_MODEL_OPEN>(dlsym(library_, VSIM_MODEL_ENTRY));
#endif
    if (open == nullptr) {
        problem_ = name + " has no entry point " VSIM_MODEL_ENTRY;
        return;
    }
    host_ = new VSIM_CARD{this};
    const VSIM_MODEL_CALLBACKS* callbacks = nullptr;
    void* model = nullptr;
    const int result = open(VSIM_MODEL_VERSION, &kHost, host_, card.index, config_.argument.c_str(),
                            &callbacks, &model);
    if (result != 0) {
        problem_ = name + ": " VSIM_MODEL_ENTRY " failed with " + std::to_string(result);
        return;
    }
    if (callbacks == nullptr || callbacks->version != VSIM_MODEL_VERSION ||
        callbacks->size < sizeof(VSIM_MODEL_CALLBACKS)) {
        problem_ = name + ": " VSIM_MODEL_ENTRY " gave no callbacks of version " +
                   std::to_string(VSIM_MODEL_VERSION);
        if (callbacks != nullptr && callbacks->close != nullptr &&
            callbacks->size >= sizeof(VSIM_MODEL_CALLBACKS))
            callbacks->close(model);
        return;
    }
    callbacks_ = callbacks;
    model_ = model;
}

DesignModel::~DesignModel() {
    {
        std::lock_guard guard(watcherLock_);
        stopping_ = true;
    }
    stop_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    // Another process that watches the windows takes over.
    for (const Watched& w : watched_) {
        uint64_t self = thisProcess();
        card_.windowWatcher(w.window).compare_exchange_strong(self, 0);
    }
    if (active() && callbacks_->close != nullptr) {
        std::lock_guard guard(lock_);
        callbacks_->close(model_);
    }
    // The library stays loaded: a model may have left threads or handlers
    // behind that still run its code.
    delete host_;
}

void DesignModel::note(const std::string& text) const {
    trace::note("model card " + std::to_string(card_.index) + ": " + text);
}

bool DesignModel::configure(uint32_t fpga, const void* data, uint64_t length) {
    if (!problem_.empty()) {
        if (trace::on())
            note(problem_ + "; FPGA " + std::to_string(fpga) + " does not configure");
        return false;
    }
    if (!active() || callbacks_->configure == nullptr)
        return true;
    std::lock_guard guard(lock_);
    const int result = callbacks_->configure(model_, fpga, data, length);
    if (result != 0 && trace::on())
        note("refused the configuration of FPGA " + std::to_string(fpga) + " (" +
             std::to_string(result) + ")");
    return result == 0;
}

void DesignModel::unconfigure(uint32_t fpga) {
    if (!active() || callbacks_->unconfigure == nullptr)
        return;
    std::lock_guard guard(lock_);
    callbacks_->unconfigure(model_, fpga);
}

// The bytes go in under the model lock, so that a read of the window sees
// them whole, then the model hears of them.
void DesignModel::write(uint32_t window, uint64_t offset, const uint8_t* data, uint64_t length) {
    if (!active()) {
        put(window, offset, data, length);
        return;
    }
    std::lock_guard guard(lock_);
    put(window, offset, data, length);
    if (callbacks_->windowWritten != nullptr)
        callbacks_->windowWritten(model_, window, offset, length);
}

// A watched window's bytes and what its model heard of change together
// (under the machine's lock, in whichever process), so that no watcher
// takes a write that a model heard of already for a change of its own.
void DesignModel::put(uint32_t window, uint64_t offset, const void* data, uint64_t length) {
    uint8_t* target = card_.windowMemory(window).data() + offset;
    Region& shadow = card_.watchShadow(window);
    if (shadow.size() == 0) {
        std::memmove(target, data, length);
        return;
    }
    auto guard = card_.lockMachine();
    std::memmove(target, data, length);
    std::memcpy(shadow.data() + offset, target, length);
}

// The model brings the bytes up to date and the read takes them under one
// hold of the model lock, so that the read never sees half of a model's
// update of its registers.
void DesignModel::read(uint32_t window, uint64_t offset, uint8_t* data, uint64_t length) {
    const uint8_t* source = card_.windowMemory(window).data() + offset;
    if (!active()) {
        std::memmove(data, source, length);
        return;
    }
    std::lock_guard guard(lock_);
    if (callbacks_->windowRead != nullptr)
        callbacks_->windowRead(model_, window, offset, length);
    std::memmove(data, source, length);
}

void DesignModel::doorbell(uint32_t value) {
    if (!active() || callbacks_->doorbell == nullptr)
        return;
    std::lock_guard guard(lock_);
    callbacks_->doorbell(model_, value);
}

void DesignModel::dmaDone(uint32_t channel, bool toCard, uint64_t local, uint64_t length) {
    if (!active() || callbacks_->dmaDone == nullptr)
        return;
    std::lock_guard guard(lock_);
    callbacks_->dmaDone(model_, channel, toCard ? 1 : 0, local, length);
}

// The power cycle cleared the windows and what their models heard of
// together, so no watcher takes the clearing for writes.
void DesignModel::powerCycled() {
    if (!active() || callbacks_->powerCycled == nullptr)
        return;
    std::lock_guard guard(lock_);
    callbacks_->powerCycled(model_);
}

void DesignModel::mapped(uint32_t window) {
    if (!active() || window >= card_.config.windows.size() || !card_.config.windows[window].watched)
        return;
    {
        std::lock_guard guard(lock_);
        for (const Watched& w : watched_)
            if (w.window == window)
                return;
        watched_.push_back({window, {}, {}});
    }
    std::lock_guard guard(watcherLock_);
    if (!watcher_.joinable() && !stopping_)
        watcher_ = std::thread([this] { watch(); });
}

void DesignModel::watch() {
    const auto interval = std::chrono::microseconds(config_.watchIntervalUs);
    std::unique_lock guard(watcherLock_);
    while (!stop_.wait_for(guard, interval, [this] { return stopping_; })) {
        guard.unlock();
        look();
        guard.lock();
    }
}

// Whether this process is the one whose model hears of the window's
// changes: the first process to look at it, until that process ends. A
// process that does not watch asks whether the watcher still runs only now
// and then, which is how soon it takes over.
bool DesignModel::watching(Watched& w) {
    std::atomic<uint64_t>& watcher = card_.windowWatcher(w.window);
    const uint64_t self = thisProcess();
    uint64_t current = watcher.load();
    if (current == self)
        return true;
    if (current != 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now < w.nextWatcherCheck)
            return false;
        w.nextWatcherCheck = now + std::chrono::milliseconds(kWatcherCheckMs);
        if (processRuns(current))
            return false;
    }
    const uint64_t ended = current;
    if (!watcher.compare_exchange_strong(current, self))
        return current == self;
    if (ended != 0 && trace::on())
        note("takes over watching window " + std::to_string(w.window) +
             " from a process that ended");
    return true;
}

// The ranges of a watched window that changed since its model last heard of
// them, taken into what it heard of, in address order. A range runs over
// unchanged gaps shorter than a word, and is widened to whole 32-bit words,
// as registers are written.
std::vector<DesignModel::Range> DesignModel::changes(Watched& w) {
    Region& shadow = card_.watchShadow(w.window);
    const uint64_t size = shadow.size();
    std::vector<Range> ranges;
    auto guard = card_.lockMachine();
    // One copy of the window, so that bytes that change again while it is
    // compared cannot mislead the comparison.
    w.current.resize(size);
    std::memcpy(w.current.data(), card_.windowMemory(w.window).data(), size);
    const uint8_t* now = w.current.data();
    uint8_t* seen = shadow.data();
    uint64_t at = 0;
    while (at < size) {
        if (std::memcmp(now + at, seen + at, std::min<uint64_t>(size - at, 64)) == 0) {
            at += 64;
            continue;
        }
        while (now[at] == seen[at])
            ++at;
        uint64_t end = at + 1;
        for (uint64_t gap = 0; end + gap < size && gap < 4;) {
            if (now[end + gap] != seen[end + gap]) {
                end += gap + 1;
                gap = 0;
            } else {
                ++gap;
            }
        }
        const uint64_t first = at & ~uint64_t{3};
        const uint64_t last = std::min<uint64_t>(size, (end + 3) & ~uint64_t{3});
        std::memcpy(seen + first, now + first, last - first);
        ranges.push_back({first, last - first});
        at = last;
    }
    return ranges;
}

// Tells the model of the changes of each window this process watches.
void DesignModel::look() {
    std::lock_guard guard(lock_);
    for (Watched& w : watched_) {
        if (!watching(w))
            continue;
        // Without the memory to list the changes, the model hears of them at
        // the next look.
        std::vector<Range> ranges;
        try {
            ranges = changes(w);
        } catch (const std::bad_alloc&) {
            continue;
        }
        for (const Range& r : ranges)
            if (callbacks_->windowWritten != nullptr)
                callbacks_->windowWritten(model_, w.window, r.offset, r.length);
    }
}

}  // namespace vsim::model
