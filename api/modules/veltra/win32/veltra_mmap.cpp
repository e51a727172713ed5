// The mapping worker: its state, its pipe protocol, the region list, and
// the caller-side operations.
#include "veltra_mmap.h"

#include <atomic>
#include <cstring>

#include "veltra_requests.h"
#include "wdm.h"

uint32_t win32ExceptionLevel = 0;

namespace {

// One mapping: owned by the region list while the mapping lives. Its
// request pends for that whole time, so the OVERLAPPED and the request buffer
// live inside the record.
struct MAPPED_REGION {
    MAPPED_REGION* pPrev;  // older region
    MAPPED_REGION* pNext;  // newer region
    HANDLE hDevice;
    void* pVirtualBase;
    OVERLAPPED overlapped;
    uint8_t request[24];
};

enum WORKER_CODE : uint32_t {
    WORKER_MAP = 0,
    WORKER_UNMAP = 1,
    WORKER_UNMAP_ALL = 2,
    WORKER_EXIT = 3,
};

// Each request carries a serial number that its response repeats, so that a
// client never takes a response to an earlier request (of a client that died
// waiting for it, or failed to read it) for its own.
struct WORKER_REQUEST {
    uint32_t code;
    uint32_t serial;
    uint64_t hDevice;
    uint64_t argument;  // WORKER_MAP: the region tag; WORKER_UNMAP: the address
    uint64_t offset;
    uint64_t length;
};
static_assert(sizeof(WORKER_REQUEST) == 40);

struct WORKER_RESPONSE {
    uint32_t status;
    uint32_t serial;  // the request's
    uint64_t pVirtualBase;
};
static_assert(sizeof(WORKER_RESPONSE) == 16);

struct MMAP_STATE {
    HANDLE hMapMutex;  // the mapping lock
    uint32_t initialized;
    MAPPED_REGION* pRegionHead;  // oldest
    MAPPED_REGION* pRegionTail;  // newest
    HANDLE hWorkThread;
    HANDLE hRequestWr;
    HANDLE hRequestRd;
    HANDLE hResponseWr;
    HANDLE hResponseRd;
    uint32_t regionCount;  // written by the worker, read by clients after an answer
    // Bytes of a response that a caller failed to read; the next caller reads
    // them first, so that it reads whole responses.
    uint32_t owedResponseBytes;
    uint32_t serial;  // of the last request written
};

MMAP_STATE mmapState;

uint32_t regionCount() {
    return std::atomic_ref<uint32_t>(mmapState.regionCount).load(std::memory_order_relaxed);
}

constexpr DWORD kIoctlMapPending = 0x22280E;
constexpr DWORD kIoctlUnmap = 0x222810;
constexpr DWORD kCustomerBit = 0x20000000;

// The checked build's trace lines; the worker's two pipe-failure lines are
// written by both builds (mmapTrace).
void mmapTrace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    wdmTraceV(format, args);
    va_end(args);
}
#define MMAP_TRACE(...)             \
    do {                            \
        if constexpr (kWdmChecked)  \
            mmapTrace(__VA_ARGS__); \
    } while (0)

// Handles in "%d" fields are printed as their low 32 bits.
[[maybe_unused]] int low32(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

uint32_t exceptionLevel() {
    return std::atomic_ref<uint32_t>(win32ExceptionLevel).load(std::memory_order_relaxed);
}

void closeAndClear(HANDLE& handle) {
    if (handle != nullptr)
        CloseHandle(handle);
    handle = nullptr;
}

// ---------------------------------------------------------------------------
// The region list (the worker's alone)

void linkRegion(MAPPED_REGION* pRegion) {
    pRegion->pPrev = mmapState.pRegionTail;
    pRegion->pNext = nullptr;
    if (mmapState.pRegionTail != nullptr)
        mmapState.pRegionTail->pNext = pRegion;
    else
        mmapState.pRegionHead = pRegion;
    mmapState.pRegionTail = pRegion;
    std::atomic_ref<uint32_t>(mmapState.regionCount).fetch_add(1, std::memory_order_relaxed);
}

void unlinkRegion(MAPPED_REGION* pRegion) {
    if (pRegion->pPrev != nullptr)
        pRegion->pPrev->pNext = pRegion->pNext;
    else
        mmapState.pRegionHead = pRegion->pNext;
    if (pRegion->pNext != nullptr)
        pRegion->pNext->pPrev = pRegion->pPrev;
    else
        mmapState.pRegionTail = pRegion->pPrev;
    pRegion->pPrev = nullptr;
    pRegion->pNext = nullptr;
    std::atomic_ref<uint32_t>(mmapState.regionCount).fetch_sub(1, std::memory_order_relaxed);
}

void freeRegion(MAPPED_REGION* pRegion) {
    if (pRegion->overlapped.hEvent != nullptr)
        CloseHandle(pRegion->overlapped.hEvent);
    HeapFree(hProcessHeap, 0, pRegion);
}

// ---------------------------------------------------------------------------
// The worker's operations

// The small codes of a failed map request.
VELTRA_STATUS mapFailureStatus(DWORD error) {
    if (error & kCustomerBit) {
        switch (error & 0xFFFF) {
            case 1:
                return VELTRA_INVALID_REGION;
            case 2:
                return VELTRA_INVALID_INDEX;
            case 3:
                return VELTRA_NO_MEMORY;
            case 4:
                return VELTRA_REGION_TOO_LARGE;
            case 5:
                return VELTRA_ACCESS_DENIED;
            default:
                return VELTRA_UNEXPECTED_ERROR;
        }
    }
    if (error == ERROR_INVALID_HANDLE)
        return VELTRA_INVALID_HANDLE;
    if (error == ERROR_OPERATION_ABORTED)
        return VELTRA_CANCELLED;
    return VELTRA_UNEXPECTED_ERROR;
}

// The small codes of a failed unmap request.
VELTRA_STATUS unmapFailureStatus(DWORD error) {
    if (error & kCustomerBit)
        return (error & 0xFFFF) == 1 ? VELTRA_INVALID_REGION : VELTRA_UNEXPECTED_ERROR;
    if (error == ERROR_INVALID_HANDLE)
        return VELTRA_INVALID_HANDLE;
    if (error == ERROR_OPERATION_ABORTED)
        return VELTRA_CANCELLED;
    return VELTRA_UNEXPECTED_ERROR;
}

VELTRA_STATUS workerMapRegion(HANDLE hDevice, uint32_t regionTag, uint64_t offset, uint64_t length,
                              uint64_t* pVirtualBase) {
    MMAP_TRACE("workerMapRegion: hVeltra=%p regionTag=%u offset=0x%I64X length=0x%I64X\n", hDevice,
               regionTag, offset, length);
    auto* pRegion = static_cast<MAPPED_REGION*>(
        HeapAlloc(hProcessHeap, HEAP_ZERO_MEMORY, sizeof(MAPPED_REGION)));
    if (pRegion == nullptr) {
        MMAP_TRACE("workerMapRegion: Failed to allocate mapped region struct, error=0x%lx\n",
                   GetLastError());
        return VELTRA_NO_MEMORY;
    }
    pRegion->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pRegion->overlapped.hEvent == nullptr) {
        MMAP_TRACE("workerMapRegion: Failed to create event, error=0x%lx\n", GetLastError());
        freeRegion(pRegion);
        return VELTRA_NO_MEMORY;
    }
    std::memcpy(pRegion->request, &regionTag, sizeof regionTag);
    std::memcpy(pRegion->request + 8, &offset, sizeof offset);
    std::memcpy(pRegion->request + 16, &length, sizeof length);
    DWORD bytes = 0;
    VELTRA_STATUS status;
    if (DeviceIoControl(hDevice, kIoctlMapPending, pRegion->request, 24, pRegion->request, 8,
                        &bytes, &pRegion->overlapped)) {
        MMAP_TRACE("workerMapRegion: DeviceIoControl succeeded unexpectedly\n");
        status = VELTRA_UNEXPECTED_ERROR;
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            // Mapped: the request pends for the life of the mapping, and its
            // buffer already holds the base address.
            void* base;
            std::memcpy(&base, pRegion->request, sizeof base);
            MMAP_TRACE("workerMapRegion: success, pVirtualBase=%p\n", base);
            pRegion->hDevice = hDevice;
            pRegion->pVirtualBase = base;
            linkRegion(pRegion);
            *pVirtualBase = reinterpret_cast<uintptr_t>(base);
            return VELTRA_SUCCESS;
        }
        MMAP_TRACE("workerMapRegion: DeviceIoControl failed, error=0x%lx\n", error);
        status = mapFailureStatus(error);
    }
    freeRegion(pRegion);
    return status;
}

// Ends a region that is already off the list: the unmap request, then the
// completion of its own map request, before the record (which that request
// writes its outcome into) is freed. A region whose unmap fails is neither
// listed nor freed: its map request may still use its OVERLAPPED and buffer.
VELTRA_STATUS doUnmap(HANDLE hDevice, MAPPED_REGION* pRegion, LPOVERLAPPED overlapped) {
    uint64_t address = reinterpret_cast<uintptr_t>(pRegion->pVirtualBase);
    DWORD bytes = 0;
    BOOL unmapped = DeviceIoControl(hDevice, kIoctlUnmap, &address, sizeof address, nullptr, 0,
                                    &bytes, overlapped);
    if (!unmapped && GetLastError() == ERROR_IO_PENDING)
        unmapped = wdmWaitForRequest(hDevice, overlapped, &bytes);
    if (!unmapped)
        return unmapFailureStatus(GetLastError());
    if (!GetOverlappedResult(hDevice, &pRegion->overlapped, &bytes, TRUE))
        MMAP_TRACE("doUnmap: GetOverlappedResult for original MMAPPEND failed, error=0x%lx",
                   GetLastError());
    freeRegion(pRegion);
    return VELTRA_SUCCESS;
}

// Takes the oldest region of the handle at the address off the list.
MAPPED_REGION* findAndRemoveRegion(HANDLE hDevice, void* pVirtualBase, bool& handleSeen) {
    handleSeen = false;
    for (MAPPED_REGION* pRegion = mmapState.pRegionHead; pRegion != nullptr;
         pRegion = pRegion->pNext) {
        if (pRegion->hDevice != hDevice)
            continue;
        handleSeen = true;
        if (pRegion->pVirtualBase != pVirtualBase)
            continue;
        MMAP_TRACE("findAndRemoveRegion: removing region, hDevice=%d pVirtualBase=%p pRegion=%p\n",
                   low32(hDevice), pVirtualBase, pRegion);
        unlinkRegion(pRegion);
        return pRegion;
    }
    MMAP_TRACE(
        "findAndRemoveRegion: failed to find region, hDevice=%d pVirtualBase=%p pRegion=%p\n",
        low32(hDevice), pVirtualBase, static_cast<void*>(nullptr));
    if (kWdmChecked && exceptionLevel() >= 2) {
        const ULONG_PTR arguments[2] = {reinterpret_cast<ULONG_PTR>(hDevice),
                                        reinterpret_cast<ULONG_PTR>(pVirtualBase)};
        RaiseException(0, 0, 2, arguments);
    }
    return nullptr;
}

// Unmap requests go out on the worker's own OVERLAPPED, which it takes once
// when it starts. A worker that has none maps nothing (its maps fail with
// VELTRA_NO_MEMORY), so every listed region can be unmapped.
LPOVERLAPPED workerOverlapped = nullptr;

VELTRA_STATUS workerUnmapRegion(HANDLE hDevice, void* pVirtualBase) {
    bool handleSeen = false;
    MAPPED_REGION* pRegion = findAndRemoveRegion(hDevice, pVirtualBase, handleSeen);
    if (pRegion != nullptr)
        return doUnmap(hDevice, pRegion, workerOverlapped);
    return handleSeen ? VELTRA_INVALID_REGION : VELTRA_INVALID_HANDLE;
}

// Unmaps the regions of one handle, or, when the worker is ending, of every
// handle. "Every handle" is its own flag, never a handle value: a client may
// send any value at all (null among them), and its request reaches only the
// regions mapped through exactly that value.
enum class Regions { OfHandle, All };
void workerUnmapAllRegions(HANDLE hDevice, Regions which = Regions::OfHandle) {
    MAPPED_REGION* pNext = nullptr;
    for (MAPPED_REGION* pRegion = mmapState.pRegionHead; pRegion != nullptr; pRegion = pNext) {
        pNext = pRegion->pNext;
        if (which == Regions::OfHandle && pRegion->hDevice != hDevice)
            continue;
        MMAP_TRACE("workerUnmapAllRegions: removing region, hDevice=%d pRegion=%p\n",
                   low32(pRegion->hDevice), pRegion);
        unlinkRegion(pRegion);
        void* pVirtualBase = pRegion->pVirtualBase;
        MMAP_TRACE("workerUnmapAllRegions: calling doUnmap(), pRegion=%p pVirtualBase=%p\n",
                   pRegion, pVirtualBase);
        const VELTRA_STATUS status = doUnmap(pRegion->hDevice, pRegion, workerOverlapped);
        if (status != VELTRA_SUCCESS)
            MMAP_TRACE("workerUnmapAllRegions: doUnmap() failed, pRegion=%p pVirtualBase=%p: %s\n",
                       pRegion, pVirtualBase, VELTRA_GetStatusStringA(status, 1));
    }
}

// ---------------------------------------------------------------------------
// The worker thread

bool pipeGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_INVALID_HANDLE;
}

// A failed transfer on a pipe is traced (in both builds) and tried again a
// few times in a row, so that a transient failure loses nothing and a
// lasting one ends the worker instead of spinning.
constexpr int kReadAttempts = 3;
constexpr int kWriteAttempts = 3;

// Reads one whole request (a pipe may hand it over in pieces). False when
// the pipe is gone or keeps failing, and the worker can no longer read its
// requests.
bool readRequest(WORKER_REQUEST& request) {
    auto* bytes = reinterpret_cast<uint8_t*>(&request);
    DWORD total = 0;
    int failures = 0;
    while (total < sizeof request) {
        DWORD got = 0;
        if (!ReadFile(mmapState.hRequestRd, bytes + total, sizeof request - total, &got, nullptr)) {
            const DWORD error = GetLastError();
            mmapTrace("*** workThreadFunction: ReadFile() failed, error=0x%lX\n", error);
            if (pipeGone(error) || ++failures == kReadAttempts)
                return false;
            continue;
        }
        failures = 0;
        total += got;
    }
    return true;
}

// Writes one whole response. False when the worker can no longer answer.
bool writeResponse(const WORKER_RESPONSE& response) {
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        DWORD written = 0;
        if (WriteFile(mmapState.hResponseWr, &response, sizeof response, &written, nullptr)) {
            WDM_ASSERT(written == sizeof response);
            return true;
        }
        const DWORD error = GetLastError();
        mmapTrace("*** workThreadFunction: WriteFile() failed, error=0x%lX\n", error);
        if (pipeGone(error))
            return false;
    }
    return false;
}

// The worker ends. Unless a client told it to (and waits for it to end),
// its end of the request pipe closes first, so that a client that writes
// from now on fails at once (and starts a fresh worker). The regions it
// still holds go (their map requests are its own, and end with it anyway);
// then its end of the response pipe closes, so that a client waiting for an
// answer sees the pipe broken instead of waiting for ever. The client that
// stops or finds the worker closes the rest.
DWORD endWorker(bool told) {
    if (!told)
        closeAndClear(mmapState.hRequestRd);
    if (workerOverlapped != nullptr)
        workerUnmapAllRegions(nullptr, Regions::All);
    closeAndClear(mmapState.hResponseWr);
    return 0;
}

DWORD WINAPI workThreadFunction(LPVOID) {
    workerOverlapped = wdmGetThreadOverlapped();
    for (;;) {
        WORKER_RESPONSE response{};
        WORKER_REQUEST request;
        if (!readRequest(request))
            return endWorker(false);
        response.serial = request.serial;
        const auto hDevice = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(request.hDevice));
        switch (request.code) {
            case WORKER_MAP:
                response.status =
                    workerOverlapped == nullptr
                        ? VELTRA_NO_MEMORY
                        : workerMapRegion(hDevice, static_cast<uint32_t>(request.argument),
                                          request.offset, request.length, &response.pVirtualBase);
                break;
            case WORKER_UNMAP:
                response.status = workerUnmapRegion(
                    hDevice, reinterpret_cast<void*>(static_cast<uintptr_t>(request.argument)));
                break;
            case WORKER_UNMAP_ALL:
                workerUnmapAllRegions(hDevice);
                break;
            case WORKER_EXIT:
                return endWorker(true);
            default:
                WDM_ASSERT(request.code <= WORKER_EXIT);
                break;
        }
        if (!writeResponse(response))
            return endWorker(false);
    }
}

// ---------------------------------------------------------------------------
// Starting and stopping the worker (under the mapping lock)

void closePipes() {
    closeAndClear(mmapState.hRequestWr);
    closeAndClear(mmapState.hRequestRd);
    closeAndClear(mmapState.hResponseWr);
    closeAndClear(mmapState.hResponseRd);
}

// A pipe or the thread that cannot be made leaves nothing behind and no
// worker: the caller gets VELTRA_NO_MEMORY, and the next operation tries again.
VELTRA_STATUS startWorker() {
    MMAP_TRACE("initialize: initializing\n");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    const BOOL requestPipe = CreatePipe(&mmapState.hRequestRd, &mmapState.hRequestWr, &attributes,
                                        2 * sizeof(WORKER_REQUEST));
    const BOOL responsePipe =
        requestPipe && CreatePipe(&mmapState.hResponseRd, &mmapState.hResponseWr, &attributes,
                                  2 * sizeof(WORKER_RESPONSE));
    WDM_ASSERT(requestPipe);
    WDM_ASSERT(responsePipe);
    WDM_ASSERT(mmapState.hRequestRd != nullptr && mmapState.hRequestWr != nullptr);
    WDM_ASSERT(mmapState.hResponseRd != nullptr && mmapState.hResponseWr != nullptr);
    if (!requestPipe || !responsePipe) {
        closePipes();
        return VELTRA_NO_MEMORY;
    }
    mmapState.pRegionHead = nullptr;
    mmapState.pRegionTail = nullptr;
    mmapState.owedResponseBytes = 0;
    mmapState.hWorkThread = CreateThread(nullptr, 0, workThreadFunction, nullptr, 0, nullptr);
    WDM_ASSERT(mmapState.hWorkThread != nullptr);
    if (mmapState.hWorkThread == nullptr) {
        closePipes();
        return VELTRA_NO_MEMORY;
    }
    mmapState.initialized = 1;
    MMAP_TRACE(
        "initialize: initialized, hRequestRd=%p hRequestWr=%p hResponseRd=%p hResponseWr=%p\n",
        mmapState.hRequestRd, mmapState.hRequestWr, mmapState.hResponseRd, mmapState.hResponseWr);
    return VELTRA_SUCCESS;
}

// Takes the mapping lock. A lock whose owner ended while holding it
// (WAIT_ABANDONED) is ours as well: the owner may have left a request
// unanswered, whose response the serial numbers keep apart from the next
// one, or a worker half started or stopped, which the exchange finds and
// forgets before it goes on. False (the lock not held) if the wait failed.
bool takeMapLock() {
    const DWORD waited = WaitForSingleObject(mmapState.hMapMutex, INFINITE);
    WDM_ASSERT(waited == WAIT_OBJECT_0);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

// Starts the worker if it is not running. The caller holds the mapping lock;
// this hold nests in it.
VELTRA_STATUS initialize() {
    if (!takeMapLock())
        return VELTRA_UNEXPECTED_ERROR;
    const VELTRA_STATUS status = mmapState.initialized ? VELTRA_SUCCESS : startWorker();
    ReleaseMutex(mmapState.hMapMutex);
    return status;
}

// A worker that has ended (on its own, or told by a client that died before
// it could close what was left), or what a client that died while starting
// one left behind.
bool workerGone() {
    if (mmapState.initialized)
        return WaitForSingleObject(mmapState.hWorkThread, 0) == WAIT_OBJECT_0;
    return mmapState.hWorkThread != nullptr || mmapState.hRequestWr != nullptr ||
           mmapState.hResponseRd != nullptr;
}

// Lets go of a worker that is gone or can no longer be talked to: the
// client's ends of both pipes close (so that a worker still running fails
// its next transfer and ends), the thread is waited for, and the rest is
// closed. The regions the worker could not unmap on its way out went with
// its thread's requests. The next operation starts a fresh worker.
void forgetWorker() {
    closeAndClear(mmapState.hRequestWr);
    closeAndClear(mmapState.hResponseRd);
    if (mmapState.hWorkThread != nullptr)
        WaitForSingleObject(mmapState.hWorkThread, INFINITE);
    closeAndClear(mmapState.hWorkThread);
    closePipes();
    mmapState.pRegionHead = nullptr;
    mmapState.pRegionTail = nullptr;
    mmapState.regionCount = 0;
    mmapState.owedResponseBytes = 0;
    mmapState.initialized = 0;
}

// Stops the worker; the caller holds the mapping lock. If the worker cannot
// be told, it keeps running and a later operation stops it; if it is gone,
// it is forgotten.
void uninitialize() {
    if (!mmapState.initialized)
        return;
    MMAP_TRACE("uninitialize: uninitializing\n");
    WORKER_REQUEST request{};
    request.code = WORKER_EXIT;
    DWORD written = 0;
    const BOOL sent = WriteFile(mmapState.hRequestWr, &request, sizeof request, &written, nullptr);
    WDM_ASSERT(sent && written == sizeof request);
    if (!sent || written != sizeof request) {
        if (!sent && pipeGone(GetLastError()))
            forgetWorker();
        return;
    }
    const DWORD ended = WaitForSingleObject(mmapState.hWorkThread, INFINITE);
    WDM_ASSERT(ended == WAIT_OBJECT_0);
    closeAndClear(mmapState.hWorkThread);
    closePipes();
    mmapState.initialized = 0;
    MMAP_TRACE("uninitialize: uninitialized\n");
}

// ---------------------------------------------------------------------------
// The caller's side of an exchange

// Reads `size` bytes of responses; 0, or the error that stopped the read
// (an end of the pipe counts as its breaking).
DWORD readFromWorker(void* buffer, DWORD size, DWORD& got) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    got = 0;
    while (got < size) {
        DWORD n = 0;
        if (!ReadFile(mmapState.hResponseRd, bytes + got, size - got, &n, nullptr))
            return GetLastError();
        if (n == 0)
            return ERROR_BROKEN_PIPE;
        got += n;
    }
    return ERROR_SUCCESS;
}

// Answered; failed (the worker is there); gone after the request went out;
// gone before it went out (so no worker ever read it).
enum class Talk { Answered, Failed, Gone, Unsent };

// Writes the request and reads responses until its own arrives; responses
// to earlier requests, whose clients died or failed to read them, are
// passed over. A failed or short transfer fails the exchange (the bytes of
// a response that could not be read whole are read by the next caller
// first); a pipe that broke means the worker is gone.
Talk talkToWorker(WORKER_REQUEST& request, WORKER_RESPONSE& response) {
    while (mmapState.owedResponseBytes > 0) {
        uint8_t stale[sizeof(WORKER_RESPONSE)];
        DWORD got = 0;
        const DWORD error = readFromWorker(stale, mmapState.owedResponseBytes, got);
        mmapState.owedResponseBytes -= got;
        if (error != ERROR_SUCCESS)
            return pipeGone(error) ? Talk::Gone : Talk::Failed;
    }
    request.serial = ++mmapState.serial;
    DWORD written = 0;
    const BOOL sent = WriteFile(mmapState.hRequestWr, &request, sizeof request, &written, nullptr);
    WDM_ASSERT(sent && written == sizeof request);
    if (!sent)
        return pipeGone(GetLastError()) ? Talk::Unsent : Talk::Failed;
    if (written != sizeof request)
        return Talk::Failed;
    for (;;) {
        DWORD got = 0;
        const DWORD error = readFromWorker(&response, sizeof response, got);
        WDM_ASSERT(error == ERROR_SUCCESS && got == sizeof response);
        if (error != ERROR_SUCCESS) {
            if (pipeGone(error))
                return Talk::Gone;
            mmapState.owedResponseBytes = sizeof response - got;
            return Talk::Failed;
        }
        if (response.serial == request.serial)
            return Talk::Answered;
    }
}

// One whole exchange with the worker under one hold of the mapping lock:
// start it if needed (a worker that is gone is forgotten first), send, read
// the answer, and stop it when `stopAfter` says so of the response and no
// region is left.
template <typename StopRule>
VELTRA_STATUS exchange(WORKER_REQUEST& request, WORKER_RESPONSE& response, StopRule stopAfter) {
    if (!takeMapLock())
        return VELTRA_UNEXPECTED_ERROR;
    if (workerGone())
        forgetWorker();
    VELTRA_STATUS status = initialize();
    for (int attempt = 0; status == VELTRA_SUCCESS; ++attempt) {
        const Talk talk = talkToWorker(request, response);
        if (talk == Talk::Answered)
            break;
        if (talk != Talk::Failed)
            forgetWorker();
        // A worker that ended before a map request went out never saw it: a
        // fresh one takes it, once. An unmap is not sent again: the ended
        // worker took its regions with it, so a fresh one would not know
        // the region.
        if (talk != Talk::Unsent || attempt > 0 || request.code != WORKER_MAP) {
            status = VELTRA_UNEXPECTED_ERROR;
            break;
        }
        status = initialize();
    }
    if (status == VELTRA_SUCCESS && stopAfter(response) && regionCount() == 0)
        uninitialize();
    ReleaseMutex(mmapState.hMapMutex);
    return status;
}

WORKER_REQUEST requestFor(WORKER_CODE code, VELTRA_HANDLE hDevice) {
    WORKER_REQUEST request{};
    request.code = code;
    request.hDevice = reinterpret_cast<uintptr_t>(hDevice);
    return request;
}

}  // namespace

void mmapAttach() {
    std::memset(&mmapState, 0, sizeof mmapState);
    mmapState.hMapMutex = CreateMutexA(nullptr, FALSE, nullptr);
    WDM_ASSERT(mmapState.hMapMutex != nullptr);
}

void mmapDetach() {
    if (mmapState.hMapMutex != nullptr)
        CloseHandle(mmapState.hMapMutex);
    mmapState.hMapMutex = nullptr;
}

VELTRA_STATUS clientMapRegion(VELTRA_HANDLE hDevice, uint32_t regionTag, uint64_t offset,
                              uint64_t length, void** ppVirtualBase) {
    WORKER_REQUEST request = requestFor(WORKER_MAP, hDevice);
    request.argument = regionTag;
    request.offset = offset;
    request.length = length;
    WORKER_RESPONSE response{};
    VELTRA_STATUS status = exchange(
        request, response, [](const WORKER_RESPONSE& r) { return r.status != VELTRA_SUCCESS; });
    if (status != VELTRA_SUCCESS)
        return status;
    if (response.status == VELTRA_SUCCESS)
        *ppVirtualBase = reinterpret_cast<void*>(static_cast<uintptr_t>(response.pVirtualBase));
    return response.status;
}

VELTRA_STATUS clientUnmapRegion(VELTRA_HANDLE hDevice, void* pVirtualBase) {
    WORKER_REQUEST request = requestFor(WORKER_UNMAP, hDevice);
    request.argument = reinterpret_cast<uintptr_t>(pVirtualBase);
    WORKER_RESPONSE response{};
    const VELTRA_STATUS status = exchange(
        request, response, [](const WORKER_RESPONSE& r) { return r.status == VELTRA_SUCCESS; });
    return status != VELTRA_SUCCESS ? status : response.status;
}

void clientUnmapAllRegions(VELTRA_HANDLE hDevice) {
    WORKER_REQUEST request = requestFor(WORKER_UNMAP_ALL, hDevice);
    WORKER_RESPONSE response{};
    exchange(request, response, [](const WORKER_RESPONSE&) { return true; });
}

extern "C" VELTRA_API void VELTRA_CALL VELTRA_SetWin32ExceptionLevel(uint32_t level) {
    // Only the checked build has the exception; the free build ignores the level.
    if constexpr (kWdmChecked)
        std::atomic_ref<uint32_t>(win32ExceptionLevel).store(level, std::memory_order_relaxed);
    else
        (void)level;
}
