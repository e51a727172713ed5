// Device I/O: handles opened on the simulated driver's device paths, and the
// overlapped request machinery (DeviceIoControl, GetOverlappedResult).
#include <vsim/driver.h>

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

std::atomic_ref<ULONG_PTR> internalOf(OVERLAPPED* ov) { return std::atomic_ref<ULONG_PTR>(ov->Internal); }

// The completion of a request that pended: status and byte count go into the
// OVERLAPPED as Windows writes them, then the event and the file are signalled.
void retainTarget(vsim::CompletionTarget& target) {
    if (target.context[0] != nullptr) static_cast<Event*>(target.context[0])->addRef();
    static_cast<DeviceFile*>(target.context[1])->addRef();
}

void finishTarget(vsim::CompletionTarget& target, uint32_t error, uint32_t information) {
    auto* ov = static_cast<OVERLAPPED*>(target.overlapped);
    ov->InternalHigh = information;
    internalOf(ov).store(vsim::ntStatusFromError(error), std::memory_order_release);
    if (auto* event = static_cast<Event*>(target.context[0])) {
        event->set();
        event->release();
    }
    auto* file = static_cast<DeviceFile*>(target.context[1]);
    file->setSignaled(true);
    file->release();
}

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

void cancelThreadIo(DWORD thread) { vsim::cancelThreadIo(thread); }

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
        const bool isFile = other && (other->type() == ObjectType::File || other->type() == ObjectType::Pipe);
        me.lastError = isFile ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if ((input == nullptr && inSize != 0) || (output == nullptr && outSize != 0)) {
        me.lastError = ERROR_NOACCESS;
        return FALSE;
    }
    if (overlapped == nullptr && returned == nullptr) {
        me.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    Lookup<Event> event(overlapped != nullptr ? overlapped->hEvent : nullptr, ObjectType::Event);
    if (overlapped != nullptr && overlapped->hEvent != nullptr && !event) {
        me.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }

    // Without an OVERLAPPED the call is synchronous: a request that pends is
    // waited for on a private event, as the system does for synchronous I/O.
    OVERLAPPED local{};
    Event* privateEvent = nullptr;
    OVERLAPPED* ov = overlapped;
    Event* completionEvent = event.get();
    if (ov == nullptr) {
        ov = &local;
        privateEvent = new Event(true, false);
        completionEvent = privateEvent;
    }
    ov->InternalHigh = 0;
    internalOf(ov).store(STATUS_PENDING, std::memory_order_relaxed);
    if (event) event->reset();
    device->setSignaled(false);

    vsim::CompletionTarget target;
    target.overlapped = ov;
    target.context[0] = completionEvent;
    target.context[1] = device.get();
    target.retain = retainTarget;
    target.finish = finishTarget;
    vsim::IoRequest request(code, input, inSize, output, outSize, me.id, target);
    vsim::Outcome outcome = device->handle().dispatch(request);

    if (outcome.isPending) {
        me.issuedPendingIo = true;
        if (overlapped != nullptr) {
            me.lastError = ERROR_IO_PENDING;
            return FALSE;
        }
        privateEvent->wait(me, INFINITE);
        outcome.information = static_cast<uint32_t>(local.InternalHigh);
        outcome.error = vsim::errorFromNtStatus(static_cast<uint32_t>(internalOf(&local).load()));
    } else {
        ov->InternalHigh = outcome.information;
        internalOf(ov).store(vsim::ntStatusFromError(outcome.error), std::memory_order_release);
        if (outcome.error == vsim::kSuccess && event) event->set();
        device->setSignaled(true);
    }
    if (privateEvent != nullptr) privateEvent->release();
    if (returned != nullptr) *returned = outcome.error == vsim::kSuccess ? outcome.information : 0;
    if (outcome.error != vsim::kSuccess) {
        me.lastError = outcome.error;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                BOOL wait) {
    W32_FAULT_POINT("GetOverlappedResult", FALSE);
    if (overlapped == nullptr || transferred == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto status = static_cast<DWORD>(internalOf(overlapped).load(std::memory_order_acquire));
    if (status == STATUS_PENDING) {
        if (!wait) {
            setLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The system waits on the OVERLAPPED's event, or on the file itself
        // when the caller gave none.
        HANDLE waitOn = overlapped->hEvent != nullptr ? overlapped->hEvent : handle;
        if (waitForHandle(waitOn, INFINITE) == WAIT_FAILED) return FALSE;
        status = static_cast<DWORD>(internalOf(overlapped).load(std::memory_order_acquire));
    }
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (static_cast<LONG>(status) < 0) {
        setLastError(vsim::errorFromNtStatus(status));
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
