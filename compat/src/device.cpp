// Device I/O: handles opened on the simulated driver's device paths, and the
// overlapped request machinery (DeviceIoControl, GetOverlappedResult).
#include <setupapi.h>

#include <chrono>
#include <optional>
#include <thread>

#include <vsim/win32_emulation.h>

#include "kernel.h"

namespace w32 {

namespace {

class DeviceFile : public FileObject {
  public:
    DeviceFile(std::shared_ptr<vsim::OpenHandle> handle, DWORD flags)
        : FileObject(ObjectType::Device),
          handle_(std::move(handle)),
          overlapped_((flags & FILE_FLAG_OVERLAPPED) != 0) {}
    bool onClose() override {
        handle_->close();
        return true;
    }
    vsim::OpenHandle& handle() { return *handle_; }
    bool overlapped() const { return overlapped_; }

  private:
    std::shared_ptr<vsim::OpenHandle> handle_;
    const bool overlapped_;
};

// The completion of a request that pended: status and byte count go into the
// OVERLAPPED as Windows writes them, then the event and the file are signalled.
void retainTarget(vsim::CompletionTarget& target) {
    if (target.context[0] != nullptr)
        static_cast<Event*>(target.context[0])->addRef();
    static_cast<DeviceFile*>(target.context[1])->addRef();
}

void finishTarget(vsim::CompletionTarget& target, uint32_t error, uint32_t information) {
    auto* ov = static_cast<OVERLAPPED*>(target.overlapped);
    auto* file = static_cast<DeviceFile*>(target.context[1]);
    auto* event = static_cast<Event*>(target.context[0]);
    {
        std::lock_guard guard(vsim::win32::completionLock(ov));
        vsim::win32::writeCompletion(ov, error, information);
        if (event != nullptr)
            event->set();
        else
            file->setSignaled(true);
    }
    if (event != nullptr)
        event->release();
    file->release();
}

// The stand-in's side of a DeviceIoControl (see vsim::win32::deviceIoControl).
class RequestOps {
  public:
    RequestOps(ThreadState& me, DeviceFile* file) : me_(me), file_(file) {}
    ~RequestOps() {
        if (private_ != nullptr)
            private_->release();
    }

    bool begin(LPOVERLAPPED overlapped) {
        if (overlapped == nullptr) {
            private_ = new Event(true, false);
            event_ = private_;
            return true;
        }
        if (overlapped->hEvent == nullptr)
            return true;
        // The caller's event stays protected for the length of the call.
        caller_.emplace(overlapped->hEvent, ObjectType::Event);
        if (!*caller_)
            return false;
        event_ = caller_->get();
        event_->reset();
        return true;
    }
    void setFileSignaled(bool signaled) { file_->setSignaled(signaled); }
    vsim::CompletionTarget target(OVERLAPPED* ov) {
        vsim::CompletionTarget target;
        target.overlapped = ov;
        target.context[0] = event_;
        target.context[1] = file_;
        target.retain = retainTarget;
        target.finish = finishTarget;
        return target;
    }
    void completedAtOnce(bool success) {
        if (event_ == nullptr)
            file_->setSignaled(true);
        else if (success && private_ == nullptr)
            event_->set();
    }
    void pended() {}  // the caller's event was reset when the request began
    void waitPrivate() { private_->wait(me_, INFINITE); }
    void markPendingIo() { me_.issuedPendingIo = true; }

  private:
    ThreadState& me_;
    DeviceFile* file_;
    std::optional<Lookup<Event>> caller_;
    Event* event_ = nullptr;
    Event* private_ = nullptr;
};

// Application events that the driver signals (registered notifications).
class EventPlatform : public vsim::Platform {
  public:
    void* referenceEvent(uint64_t handle) override {
        Lookup<Event> event(reinterpret_cast<HANDLE>(handle), ObjectType::Event);
        return event ? event.retain() : nullptr;
    }
    void signalEvent(void* token) override { static_cast<Event*>(token)->set(); }
    void releaseEvent(void* token) override { static_cast<Event*>(token)->release(); }
};

struct PlatformInstaller {
    PlatformInstaller() { vsim::setPlatform(new EventPlatform); }
} g_platformInstaller;

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bool isDevicePath(const std::string& path) {
    return startsWith(path, "\\\\?\\") || startsWith(path, "\\\\.\\");
}

HANDLE openDevicePath(const std::string& path, DWORD access, DWORD share, DWORD flags) {
    vsim::OpenParams params{access, share, flags, self().id};
    uint32_t error = vsim::kSuccess;
    auto handle = vsim::openDevice(path, params, error);
    if (!handle) {
        setLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto* file = new DeviceFile(std::move(handle), flags);
    HANDLE h = HandleTable::instance().insert(file);
    if (h == nullptr) {
        file->onClose();
        file->release();
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

void cancelThreadIo(DWORD thread) {
    vsim::cancelThreadIo(thread);
}

}  // namespace w32

using namespace w32;

extern "C" {

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inSize, LPVOID output,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    W32_FAULT_POINT("DeviceIoControl", FALSE);
    ThreadState& me = self();
    Lookup<DeviceFile> device(handle, ObjectType::Device);
    if (!device) {
        Lookup<Object> other(handle);
        const bool isFile =
            other && (other->type() == ObjectType::File || other->type() == ObjectType::Pipe);
        me.lastError = isFile ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    RequestOps ops(me, device.get());
    DWORD error = ERROR_SUCCESS;
    const BOOL result =
        vsim::win32::deviceIoControl(ops, device->handle(), code, input, inSize, output, outSize,
                                     returned, overlapped, me.id, error);
    if (!result)
        me.lastError = error;
    return result;
}

namespace {

// A request that another processor is completing usually ends within a few
// microseconds; watching its status for a short while before sleeping saves
// the wake-up, which costs more than that. The watch yields the processor
// now and then: if the thread that completes the request shares it, it runs
// at once. Returns the status seen last.
DWORD awaitCompletion(LPOVERLAPPED overlapped) {
    static const bool kSpin = std::thread::hardware_concurrency() > 1;
    auto internal = vsim::win32::internalOf(overlapped);
    auto status = static_cast<DWORD>(internal.load(std::memory_order_acquire));
    if (!kSpin)
        return status;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
    for (unsigned i = 1; status == STATUS_PENDING; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        status = static_cast<DWORD>(internal.load(std::memory_order_acquire));
        if (i % 64 == 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            std::this_thread::yield();
        }
    }
    return status;
}

}  // namespace

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                BOOL wait) {
    W32_FAULT_POINT("GetOverlappedResult", FALSE);
    if (overlapped == nullptr || transferred == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto status =
        static_cast<DWORD>(vsim::win32::internalOf(overlapped).load(std::memory_order_acquire));
    if (status == STATUS_PENDING) {
        if (!wait) {
            setLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Work the driver offers to the waiter (a transfer next on an idle
        // channel) is done here, with no hand-off to another thread.
        {
            Lookup<DeviceFile> device(handle, ObjectType::Device);
            if (device && device->handle().finishHere(overlapped))
                status = static_cast<DWORD>(
                    vsim::win32::internalOf(overlapped).load(std::memory_order_acquire));
        }
        if (status == STATUS_PENDING)
            status = awaitCompletion(overlapped);
        if (status == STATUS_PENDING) {
            // The system waits on the OVERLAPPED's event, or on the file
            // itself when the caller gave none.
            HANDLE waitOn = overlapped->hEvent != nullptr ? overlapped->hEvent : handle;
            if (waitForHandle(waitOn, INFINITE) == WAIT_FAILED)
                return FALSE;
            status = static_cast<DWORD>(
                vsim::win32::internalOf(overlapped).load(std::memory_order_acquire));
        }
    }
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (static_cast<LONG>(status) < 0) {
        setLastError(errorOfNtStatus(status));
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
