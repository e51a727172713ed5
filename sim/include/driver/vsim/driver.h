// The simulated KESTA driver: the platform-neutral core.
//
// A driver here is a set of devices, each registered under a device
// interface class GUID with a device path. Opening a path gives a per-handle
// context; each DeviceIoControl on the handle becomes an IoRequest that the
// device answers in one of three ways:
//
//   * complete now: the reply has been written over the request buffer;
//   * fail with a Win32 error (driver statuses travel as driverError(code));
//   * pend: the device keeps a PendingIo and completes it later, from any
//     thread, through the caller's OVERLAPPED.
//
// The core knows nothing about the platform. The Win32 stand-in on Linux and
// the import patcher on Windows feed requests in through Dispatcher and give
// each request a CompletionTarget that says how to finish it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(VSIM_BUILDING)
#define VSIM_API __declspec(dllexport)
#else
#define VSIM_API __declspec(dllimport)
#endif
#else
#define VSIM_API __attribute__((visibility("default")))
#endif

namespace vsim {

// Win32 error codes the driver answers with.
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorNoAccess = 998;
inline constexpr uint32_t kErrorDeviceRemoved = 1617;

// A driver status as a Win32 error: the customer bit (29) with the severity
// "error" bits, and the status code in the low 16 bits. The system passes
// such values to GetLastError unchanged.
constexpr uint32_t driverError(uint32_t code) {
    return 0xE0000000u | (code & 0xFFFFu);
}

// Conversion between the Win32 error a request ends with and the NTSTATUS that
// Windows keeps in OVERLAPPED.Internal (and turns back with RtlNtStatusToDosError).
constexpr uint32_t kStatusPending = 0x103;
uint32_t VSIM_API ntStatusFromError(uint32_t error);
uint32_t VSIM_API errorFromNtStatus(uint32_t status);

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
    friend bool operator==(const Guid&, const Guid&) = default;
};

inline constexpr Guid kVeltraInterface{
    0x4A8924E1, 0xA143, 0x44C2, {0x8E, 0xC1, 0x64, 0xEC, 0x73, 0xF9, 0x0F, 0x96}};
inline constexpr Guid kKestaInterface{
    0x6E8B60DA, 0xDD4F, 0x4D5E, {0xAD, 0x96, 0x5A, 0x9E, 0x06, 0xC2, 0x8A, 0xCD}};

// The braced lower-case form that device paths carry, e.g. {4a8924e1-...}.
std::string VSIM_API guidText(const Guid& guid);

// The I/O control code fields.
constexpr uint32_t ioctlMethod(uint32_t code) {
    return code & 3u;
}
inline constexpr uint32_t kMethodBuffered = 0;
inline constexpr uint32_t kMethodInDirect = 1;
inline constexpr uint32_t kMethodOutDirect = 2;
inline constexpr uint32_t kMethodNeither = 3;

// Little-endian field access on a request or reply buffer.
template <typename T>
T readField(std::span<const uint8_t> bytes, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}
template <typename T>
void writeField(std::span<uint8_t> bytes, size_t offset, T value) {
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// How the platform finishes an overlapped request that a device completes
// later. It is a plain value filled in by the platform before dispatch; the
// core copies it only when the request pends, so the fast path allocates
// nothing. `retain` runs once when the request pends (take references on the
// event and file); `finish` runs exactly once with the final outcome.
struct CompletionTarget {
    void* overlapped = nullptr;
    void* context[2] = {nullptr, nullptr};
    void (*retain)(CompletionTarget&) = nullptr;
    void (*finish)(CompletionTarget&, uint32_t error, uint32_t information) = nullptr;
};

class OpenHandle;
class PendingIo;

// How a device ends one of its pending requests that is cancelled (the
// handle's cancel request, its close, or the end of the issuing thread): it
// takes the request out of its own queues and completes it, at once or as
// soon as that is safe (a transfer that is moving data finishes moving it).
using CancelRoutine = std::function<void(PendingIo&)>;

// Work that a thread waiting for a pending request may do itself instead of
// waiting for the device's own thread to do it (a transfer on an idle
// channel, say). It completes the request and returns true, or does nothing
// and returns false (the request stays pending; the waiter waits).
using HelpRoutine = std::function<bool(PendingIo&)>;

// A request that a device left pending. Complete it once, from any thread.
class VSIM_API PendingIo : public std::enable_shared_from_this<PendingIo> {
  public:
    PendingIo(uint32_t code, std::vector<uint8_t> buffer, void* userOutput, uint32_t outSize,
              uint32_t thread, const CompletionTarget& target, bool cancelable,
              CancelRoutine cancelRoutine = {});
    ~PendingIo();
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    uint32_t code() const { return code_; }
    uint32_t thread() const { return thread_; }
    bool cancelable() const { return cancelable_; }
    // The request's own copy of its buffer (input record; reply goes here).
    std::span<uint8_t> buffer() { return buffer_; }
    // Completes the request: copies the reply back (buffered requests that
    // succeed), then finishes the caller's OVERLAPPED. Returns false if the
    // request had already been completed.
    bool complete(uint32_t error, uint32_t information = 0);
    bool completed() const;
    // Cancels the request: through the device's cancel routine if it has one,
    // else by completing it with ERROR_OPERATION_ABORTED. Returns false if it
    // had already been completed.
    bool cancel();
    // Offers the request's work to the thread that waits for it; set by the
    // device while it pends the request.
    void setHelper(HelpRoutine help);
    // The waiting thread's side: true if it completed the request itself.
    bool help();

  private:
    friend class OpenHandle;
    uint32_t code_;
    std::vector<uint8_t> buffer_;
    void* userOutput_;
    uint32_t outSize_;
    uint32_t thread_;
    CompletionTarget target_;
    bool cancelable_;
    CancelRoutine cancelRoutine_;
    HelpRoutine helper_;
    mutable std::mutex lock_;
    bool done_ = false;
    std::weak_ptr<OpenHandle> owner_;
    friend class IoRequest;
    std::string traceLabel_;  // the request as traced, if it is
    uint64_t traceStart_ = 0;
};

// One DeviceIoControl as the device sees it. Lives on the dispatching
// thread's stack for the length of the device's control routine.
class VSIM_API IoRequest {
  public:
    IoRequest(uint32_t code, const void* input, uint32_t inSize, void* output, uint32_t outSize,
              uint32_t thread, const CompletionTarget& target);
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

    uint32_t code() const { return code_; }
    uint32_t inSize() const { return inSize_; }
    uint32_t outSize() const { return outSize_; }
    uint32_t thread() const { return thread_; }
    // The system buffer: a copy of the input, max(inSize, outSize) bytes for
    // METHOD_BUFFERED, which the reply overwrites.
    std::span<uint8_t> buffer() { return {data_, size_}; }
    std::span<const uint8_t> input() const { return {data_, inSize_}; }
    // The caller's output buffer for METHOD_OUT_DIRECT/IN_DIRECT requests,
    // which the driver reads or writes in place.
    void* directOutput() const { return directOutput_; }

    template <typename T>
    T in(size_t offset) const {
        return readField<T>(input(), offset);
    }
    template <typename T>
    void out(size_t offset, T value) {
        writeField<T>(buffer(), offset, value);
    }

    // Leaves the request pending; the device keeps the returned object and
    // completes it later. The control routine must then return Outcome::pending().
    std::shared_ptr<PendingIo> pend(bool cancelable = true, CancelRoutine cancelRoutine = {});
    std::shared_ptr<PendingIo> pended() const { return pending_; }
    // The handle the request was sent through.
    OpenHandle& handle() const { return *owner_; }

  private:
    friend class OpenHandle;
    OpenHandle* owner_ = nullptr;
    uint32_t code_;
    uint32_t inSize_;
    uint32_t outSize_;
    uint32_t thread_;
    void* userOutput_;
    void* directOutput_ = nullptr;
    const CompletionTarget& target_;
    uint8_t inline_[128];
    std::vector<uint8_t> heap_;
    uint8_t* data_;
    uint32_t size_;
    std::shared_ptr<PendingIo> pending_;
    const std::string* traceLabel_ = nullptr;  // set while the request is traced
    uint64_t traceStart_ = 0;
};

// What a device's control routine returns.
struct Outcome {
    uint32_t error = kSuccess;
    uint32_t information = 0;
    bool isPending = false;

    static Outcome success(uint32_t information = 0) { return {kSuccess, information, false}; }
    static Outcome failure(uint32_t error) { return {error, 0, false}; }
    static Outcome pending() { return {kErrorIoPending, 0, true}; }
};

// Per-open-handle state of a device.
class VSIM_API OpenContext {
  public:
    virtual ~OpenContext();
    virtual Outcome control(IoRequest& request) = 0;
    // The last handle is being closed (IRP_MJ_CLEANUP): release what the
    // handle holds and end its pending requests.
    virtual void cleanup() {}
};

struct OpenParams {
    uint32_t access = 0;
    uint32_t share = 0;
    uint32_t flags = 0;
    uint32_t thread = 0;
};

class VSIM_API Device {
  public:
    virtual ~Device();
    // Creates the context of a new handle, or sets `error` and returns null.
    virtual std::unique_ptr<OpenContext> open(const OpenParams& params, uint32_t& error) = 0;
    // The request as the request trace shows it: the device, the request's
    // name and its fields.
    virtual std::string describe(const IoRequest& request) const;
    // Whether the device is in the machine now (SetupAPI lists only those).
    virtual bool present() const { return true; }
};

// An open device handle as the platform holds it.
class VSIM_API OpenHandle : public std::enable_shared_from_this<OpenHandle> {
  public:
    OpenHandle(std::shared_ptr<Device> device, std::unique_ptr<OpenContext> context,
               const OpenParams& params);
    ~OpenHandle();

    const OpenParams& params() const { return params_; }
    Device& device() { return *device_; }
    OpenContext& context() { return *context_; }

    // Runs the device's control routine and, if it completed at once, copies
    // the reply back to the caller's output buffer. A pending outcome means
    // the device holds the request and will finish it through the target.
    Outcome dispatch(IoRequest& request);

    // Completes every outstanding cancelable request of this handle with
    // ERROR_OPERATION_ABORTED; returns how many there were.
    size_t cancelPending();
    // Number of requests of this handle that are still outstanding.
    size_t pendingCount();
    // Ends outstanding requests issued by one thread (Windows cancels a
    // thread's I/O when the thread ends).
    size_t cancelThreadIo(uint32_t thread);
    // A thread is about to wait for the request of this handle that
    // completes into `overlapped`: if the device offers its work, the thread
    // does it now. True if the request is complete when it returns.
    bool finishHere(const void* overlapped);
    // The handle is closed: the device cleans up, and whatever is still
    // outstanding is aborted.
    void close();

  private:
    friend class PendingIo;
    friend class IoRequest;
    Outcome dispatchRequest(IoRequest& request);
    void track(const std::shared_ptr<PendingIo>& io);
    void untrack(PendingIo* io);

    std::shared_ptr<Device> device_;
    std::unique_ptr<OpenContext> context_;
    OpenParams params_;
    std::mutex lock_;
    std::vector<std::shared_ptr<PendingIo>> pending_;
    bool closed_ = false;
};

// A device interface as SetupAPI lists it.
struct Interface {
    Guid guid;
    std::string path;
    std::shared_ptr<Device> device;
};

// The set of devices the driver exposes.
class VSIM_API Machine {
  public:
    virtual ~Machine();
    // Adds an interface; its path is made from the GUID, a name and an instance number.
    std::string add(const Guid& guid, const std::string& name, std::shared_ptr<Device> device);
    std::vector<Interface> interfaces(const Guid& guid) const;
    // Looks a device path up, ignoring letter case as Windows does.
    std::shared_ptr<Device> find(const std::string& path) const;

  private:
    mutable std::mutex lock_;
    std::vector<Interface> interfaces_;
};

// The machine the platform consults. Until a test or tool installs one, the
// machine that the registered maker makes is created on first use (the
// simulated machine registers itself when the simulator loads); without a
// maker, a machine with no devices.
VSIM_API std::shared_ptr<Machine> currentMachine();
VSIM_API void installMachine(std::shared_ptr<Machine> machine);
VSIM_API void setMachineMaker(std::shared_ptr<Machine> (*make)());
// Drops the installed machine so that the next use creates the default again.
VSIM_API void resetMachine();

// Opens a device path of the current machine.
VSIM_API std::shared_ptr<OpenHandle> openDevice(const std::string& path, const OpenParams& params,
                                                uint32_t& error);

// Ends the outstanding requests that a thread issued, on every open handle.
// The platform calls it when a thread ends, as Windows cancels a thread's I/O.
VSIM_API size_t cancelThreadIo(uint32_t thread);

// Services that the platform gives the driver (events belonging to the
// application, which the driver signals for registered notifications).
class VSIM_API Platform {
  public:
    virtual ~Platform();
    // Takes the driver's own reference to an application event handle;
    // returns an opaque token, or null if the handle is not an event.
    virtual void* referenceEvent(uint64_t handle) = 0;
    virtual void signalEvent(void* token) = 0;
    virtual void releaseEvent(void* token) = 0;
};
VSIM_API void setPlatform(Platform* platform);

// Names the driver's own status codes (the low 16 bits of driverError) in
// the request trace; null for a code it does not know.
VSIM_API void setDriverStatusNames(const char* (*names)(uint32_t code));
VSIM_API Platform* platform();

}  // namespace vsim
