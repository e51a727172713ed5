#include "vsim/driver.h"

#include "core/trace.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>

namespace vsim {

namespace {

constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kStatusEndOfFile = 0xC0000011;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kStatusInvalidHandle = 0xC0000008;
constexpr uint32_t kFacilityWin32Error = 0xC0070000;
constexpr uint32_t kCustomerBit = 0x20000000;

}  // namespace

// Windows keeps an NTSTATUS in OVERLAPPED.Internal. Driver statuses carry the
// customer bit and pass through RtlNtStatusToDosError unchanged; the two
// system errors the libraries look at have their own NTSTATUS; every other
// Win32 error travels in the FACILITY_NTWIN32 form, which maps straight back.
uint32_t ntStatusFromError(uint32_t error) {
    if (error == kSuccess)
        return 0;
    if (error & kCustomerBit)
        return error | 0xC0000000u;
    if (error == kErrorOperationAborted)
        return kStatusCancelled;
    if (error == kErrorInvalidHandle)
        return kStatusInvalidHandle;
    if (error == kErrorHandleEof)
        return kStatusEndOfFile;
    return kFacilityWin32Error | (error & 0xFFFFu);
}

uint32_t errorFromNtStatus(uint32_t status) {
    if (status == 0)
        return kSuccess;
    if (status & kCustomerBit)
        return status;
    if (status == kStatusCancelled)
        return kErrorOperationAborted;
    if (status == kStatusInvalidHandle)
        return kErrorInvalidHandle;
    if (status == kStatusEndOfFile)
        return kErrorHandleEof;
    if ((status & 0xFFFF0000u) == kFacilityWin32Error)
        return status & 0xFFFFu;
    return kErrorInvalidFunction;
}

std::string guidText(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.data1,
                  g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                  g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

// ---------------------------------------------------------------------------
// Requests

IoRequest::IoRequest(uint32_t code, const void* input, uint32_t inSize, void* output,
                     uint32_t outSize, uint32_t thread, const CompletionTarget& target)
    : code_(code),
      inSize_(inSize),
      outSize_(outSize),
      thread_(thread),
      userOutput_(output),
      target_(target) {
    // Buffered requests share one system buffer for input and reply; direct
    // requests copy only their input and hand the output buffer over as is.
    const bool buffered = ioctlMethod(code) == kMethodBuffered;
    size_ = buffered ? std::max(inSize, outSize) : inSize;
    if (!buffered)
        directOutput_ = output;
    if (size_ <= sizeof inline_) {
        data_ = inline_;
    } else {
        heap_.resize(size_);
        data_ = heap_.data();
    }
    std::memset(data_, 0, size_);
    if (input != nullptr && inSize != 0)
        std::memcpy(data_, input, inSize);
}

std::shared_ptr<PendingIo> IoRequest::pend(bool cancelable, CancelRoutine cancelRoutine) {
    if (pending_)
        return pending_;
    const bool buffered = ioctlMethod(code_) == kMethodBuffered;
    pending_ = std::make_shared<PendingIo>(code_, std::vector<uint8_t>(data_, data_ + size_),
                                           buffered ? userOutput_ : nullptr, outSize_, thread_,
                                           target_, cancelable, std::move(cancelRoutine));
    if (traceLabel_ != nullptr) {
        // Written now, before anything can complete the request.
        pending_->traceLabel_ = *traceLabel_;
        pending_->traceStart_ = traceStart_;
        trace::write(*traceLabel_ + " -> pending", traceStart_);
    }
    if (owner_ != nullptr)
        owner_->track(pending_);
    return pending_;
}

PendingIo::PendingIo(uint32_t code, std::vector<uint8_t> buffer, void* userOutput, uint32_t outSize,
                     uint32_t thread, const CompletionTarget& target, bool cancelable,
                     CancelRoutine cancelRoutine)
    : code_(code),
      buffer_(std::move(buffer)),
      userOutput_(userOutput),
      outSize_(outSize),
      thread_(thread),
      target_(target),
      cancelable_(cancelable),
      cancelRoutine_(std::move(cancelRoutine)) {
    if (target_.retain != nullptr)
        target_.retain(target_);
}

PendingIo::~PendingIo() {
    // A request must never vanish without its caller hearing of it.
    if (!done_ && target_.finish != nullptr)
        target_.finish(target_, kErrorOperationAborted, 0);
}

bool PendingIo::complete(uint32_t error, uint32_t information) {
    {
        std::lock_guard guard(lock_);
        if (done_)
            return false;
        done_ = true;
    }
    if (error == kSuccess && userOutput_ != nullptr) {
        const size_t n = std::min<size_t>({information, outSize_, buffer_.size()});
        std::memcpy(userOutput_, buffer_.data(), n);
    }
    if (error != kSuccess)
        information = 0;
    if (!traceLabel_.empty())
        trace::write(traceLabel_ + " -> completed: " + trace::outcomeName(error), traceStart_);
    if (target_.finish != nullptr)
        target_.finish(target_, error, information);
    if (auto owner = owner_.lock())
        owner->untrack(this);
    return true;
}

bool PendingIo::cancel() {
    if (completed())
        return false;
    if (cancelRoutine_)
        cancelRoutine_(*this);
    else
        complete(kErrorOperationAborted);
    return true;
}

void PendingIo::setHelper(HelpRoutine help) {
    std::lock_guard guard(lock_);
    helper_ = std::move(help);
}

bool PendingIo::help() {
    HelpRoutine routine;
    {
        std::lock_guard guard(lock_);
        if (done_)
            return true;
        routine = helper_;
    }
    return routine && routine(*this);
}

bool PendingIo::completed() const {
    std::lock_guard guard(lock_);
    return done_;
}

// ---------------------------------------------------------------------------
// Handles

OpenContext::~OpenContext() = default;
Device::~Device() = default;
Platform::~Platform() = default;

OpenHandle::OpenHandle(std::shared_ptr<Device> device, std::unique_ptr<OpenContext> context,
                       const OpenParams& params)
    : device_(std::move(device)), context_(std::move(context)), params_(params) {}

OpenHandle::~OpenHandle() {
    close();
}

std::string Device::describe(const IoRequest& request) const {
    char text[32];
    std::snprintf(text, sizeof text, "request 0x%X", request.code());
    return text;
}

Outcome OpenHandle::dispatch(IoRequest& request) {
    if (!trace::on())
        return dispatchRequest(request);
    // The fields are read before the device answers over them.
    const std::string label = device_->describe(request);
    request.traceLabel_ = &label;
    request.traceStart_ = trace::now();
    const Outcome outcome = dispatchRequest(request);
    request.traceLabel_ = nullptr;
    if (!request.pending_)
        trace::write(label + " -> " + trace::outcomeName(outcome.error), request.traceStart_);
    return outcome;
}

namespace {

// Nothing a device throws crosses the request: a device without memory
// fails the request with ERROR_NOT_ENOUGH_MEMORY, any other fault of a
// device with ERROR_INVALID_FUNCTION. Out of line: inlined into the request
// path, its landing pads make the compiler assemble the outcome through
// memory, which costs a request several nanoseconds.
[[gnu::noinline]] Outcome answer(OpenContext& context, IoRequest& request) noexcept {
    try {
        return context.control(request);
    } catch (const std::bad_alloc&) {
        return Outcome::failure(kErrorNotEnoughMemory);
    } catch (...) {
        return Outcome::failure(kErrorInvalidFunction);
    }
}

}  // namespace

Outcome OpenHandle::dispatchRequest(IoRequest& request) {
    request.owner_ = this;
    Outcome outcome = answer(*context_, request);
    request.owner_ = nullptr;
    if (outcome.isPending) {
        // A device that says "pending" must have pended the request.
        if (!request.pending_)
            return Outcome::failure(kErrorInvalidFunction);
        return outcome;
    }
    if (request.pending_) {
        // The device pended and then answered directly: the direct answer wins.
        request.pending_->complete(outcome.error, outcome.information);
        return Outcome::pending();
    }
    if (outcome.error == kSuccess && ioctlMethod(request.code_) == kMethodBuffered &&
        request.userOutput_ != nullptr) {
        const size_t n = std::min<size_t>({outcome.information, request.outSize_, request.size_});
        std::memcpy(request.userOutput_, request.data_, n);
    }
    if (outcome.error != kSuccess)
        outcome.information = 0;
    return outcome;
}

void OpenHandle::track(const std::shared_ptr<PendingIo>& io) {
    std::lock_guard guard(lock_);
    io->owner_ = weak_from_this();
    pending_.push_back(io);
}

void OpenHandle::untrack(PendingIo* io) {
    std::lock_guard guard(lock_);
    std::erase_if(pending_, [io](const auto& p) { return p.get() == io; });
}

size_t OpenHandle::cancelPending() {
    std::vector<std::shared_ptr<PendingIo>> victims;
    {
        std::lock_guard guard(lock_);
        for (const auto& io : pending_)
            if (io->cancelable())
                victims.push_back(io);
    }
    size_t count = 0;
    for (const auto& io : victims)
        count += io->cancel() ? 1 : 0;
    return count;
}

size_t OpenHandle::pendingCount() {
    std::lock_guard guard(lock_);
    return pending_.size();
}

size_t OpenHandle::cancelThreadIo(uint32_t thread) {
    std::vector<std::shared_ptr<PendingIo>> victims;
    {
        std::lock_guard guard(lock_);
        for (const auto& io : pending_)
            if (io->thread() == thread)
                victims.push_back(io);
    }
    size_t count = 0;
    for (const auto& io : victims)
        count += io->cancel() ? 1 : 0;
    return count;
}

bool OpenHandle::finishHere(const void* overlapped) {
    std::shared_ptr<PendingIo> io;
    {
        std::lock_guard guard(lock_);
        for (const auto& p : pending_)
            if (p->target_.overlapped == overlapped) {
                io = p;
                break;
            }
    }
    return io && io->help();
}

void OpenHandle::close() {
    {
        std::lock_guard guard(lock_);
        if (closed_)
            return;
        closed_ = true;
    }
    context_->cleanup();
    std::vector<std::shared_ptr<PendingIo>> rest;
    {
        std::lock_guard guard(lock_);
        rest.swap(pending_);
    }
    for (const auto& io : rest)
        io->cancel();
}

// ---------------------------------------------------------------------------
// Machines

Machine::~Machine() = default;

std::string Machine::add(const Guid& guid, const std::string& name,
                         std::shared_ptr<Device> device) {
    std::lock_guard guard(lock_);
    const auto instance = std::count_if(interfaces_.begin(), interfaces_.end(),
                                        [&](const Interface& i) { return i.guid == guid; });
    char number[16];
    std::snprintf(number, sizeof number, "%04u", static_cast<unsigned>(instance));
    std::string path = "\\\\?\\root#vsim_" + name + "#" + number + "#" + guidText(guid);
    interfaces_.push_back({guid, path, std::move(device)});
    return path;
}

std::vector<Interface> Machine::interfaces(const Guid& guid) const {
    std::lock_guard guard(lock_);
    std::vector<Interface> found;
    for (const auto& i : interfaces_)
        if (i.guid == guid && i.device->present())
            found.push_back(i);
    return found;
}

namespace {

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Process-wide state, never destroyed: handles may be closed from library
// unload code after static destructors have run.
struct Globals {
    std::mutex machineLock;
    std::shared_ptr<Machine> machine;
    std::mutex handlesLock;
    std::vector<std::weak_ptr<OpenHandle>> handles;
};
Globals& globals() {
    static auto* g = new Globals;
    return *g;
}
Platform* g_platform = nullptr;

}  // namespace

std::shared_ptr<Device> Machine::find(const std::string& path) const {
    std::lock_guard guard(lock_);
    for (const auto& i : interfaces_)
        if (sameText(i.path, path))
            return i.device;
    return nullptr;
}

namespace {

std::atomic<std::shared_ptr<Machine> (*)()> machineMaker{nullptr};

}  // namespace

void setMachineMaker(std::shared_ptr<Machine> (*make)()) {
    machineMaker.store(make);
}

std::shared_ptr<Machine> currentMachine() {
    auto& g = globals();
    std::lock_guard guard(g.machineLock);
    if (!g.machine) {
        const auto make = machineMaker.load();
        g.machine = make != nullptr ? make() : std::make_shared<Machine>();
    }
    return g.machine;
}

void installMachine(std::shared_ptr<Machine> machine) {
    std::shared_ptr<Machine> old;
    auto& g = globals();
    std::lock_guard guard(g.machineLock);
    old.swap(g.machine);
    g.machine = std::move(machine);
}

void resetMachine() {
    installMachine(nullptr);
}

std::shared_ptr<OpenHandle> openDevice(const std::string& path, const OpenParams& params,
                                       uint32_t& error) {
    auto device = currentMachine()->find(path);
    if (!device) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    error = kSuccess;
    std::unique_ptr<OpenContext> context;
    try {
        context = device->open(params, error);
    } catch (const std::bad_alloc&) {
        error = kErrorNotEnoughMemory;
    } catch (...) {
        error = kErrorInvalidFunction;
    }
    if (!context) {
        if (error == kSuccess)
            error = kErrorInvalidFunction;
        return nullptr;
    }
    auto handle = std::make_shared<OpenHandle>(std::move(device), std::move(context), params);
    auto& g = globals();
    std::lock_guard guard(g.handlesLock);
    std::erase_if(g.handles, [](const auto& w) { return w.expired(); });
    g.handles.push_back(handle);
    return handle;
}

size_t cancelThreadIo(uint32_t thread) {
    std::vector<std::shared_ptr<OpenHandle>> open;
    {
        auto& g = globals();
        std::lock_guard guard(g.handlesLock);
        for (const auto& w : g.handles)
            if (auto h = w.lock())
                open.push_back(std::move(h));
    }
    size_t count = 0;
    for (const auto& h : open)
        count += h->cancelThreadIo(thread);
    return count;
}

void setPlatform(Platform* p) {
    g_platform = p;
}
Platform* platform() {
    return g_platform;
}

}  // namespace vsim
