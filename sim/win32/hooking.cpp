// Redirecting a module's imports, and the test hooks that ride on the
// redirection: fault injection, captured debug output and object counts.
#include "win32/hooking.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/object_names_win32.h"
#include "vsim/fault_rules.h"
#include "vsim/hooks.h"

namespace vsim::win32 {

namespace real {
#define VSIM_DEFINE_REAL(module, name) decltype(&::name) name = nullptr;
VSIM_REAL_FUNCTIONS(VSIM_DEFINE_REAL)
#undef VSIM_DEFINE_REAL
}  // namespace real

namespace {

void resolveRealFunctions() {
    static std::once_flag once;
    std::call_once(once, [] {
#define VSIM_RESOLVE_REAL(module, name)               \
    real::name = reinterpret_cast<decltype(&::name)>( \
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA(module), #name)));
        VSIM_REAL_FUNCTIONS(VSIM_RESOLVE_REAL)
#undef VSIM_RESOLVE_REAL
    });
}

// ---------------------------------------------------------------------------
// Faults

FaultRules& faults() {
    static auto* f = new FaultRules;
    return *f;
}

// ---------------------------------------------------------------------------
// Objects made through redirected imports, for leak checks

struct Tracked {
    const char* kind;  // a string literal
    DWORD creator;
};

struct Objects {
    std::mutex lock;
    std::unordered_map<std::string, long> counts;  // objects without a handle of their own
    std::unordered_map<HANDLE, Tracked> handles;
    struct HeapBlock {
        HANDLE heap;
        DWORD creator;
    };
    std::unordered_map<void*, HeapBlock> heapBlocks;
};

Objects& objects() {
    static auto* o = new Objects;
    return *o;
}

// Counts the tracked objects of a kind whose creator passes `mine`.
template <typename Filter>
size_t countTracked(const char* kind, Filter mine) {
    if (kind == nullptr)
        return 0;
    auto& o = objects();
    std::lock_guard guard(o.lock);
    size_t n = 0;
    const bool processHeapOnly = std::strcmp(kind, "processheapblock") == 0;
    if (processHeapOnly || std::strcmp(kind, "heapblock") == 0) {
        for (const auto& [address, block] : o.heapBlocks)
            n +=
                mine(block.creator) && (!processHeapOnly || block.heap == GetProcessHeap()) ? 1 : 0;
        return n;
    }
    for (const auto& [handle, tracked] : o.handles)
        n += std::strcmp(tracked.kind, kind) == 0 && mine(tracked.creator) ? 1 : 0;
    auto it = o.counts.find(kind);
    if (it != o.counts.end() && it->second > 0)
        n += static_cast<size_t>(it->second);
    return n;
}

// ---------------------------------------------------------------------------
// Debug output

DebugCapture& debugLog() {
    static auto* log = new DebugCapture;
    return *log;
}

// ---------------------------------------------------------------------------
// Redirected functions that only add fault injection or bookkeeping

#define VSIM_PASS_THROUGH(name, failure, ret, params, args) \
    ret WINAPI hook##name params {                          \
        VSIM_FAULT_POINT(#name, failure);                   \
        return real::name args;                             \
    }

VSIM_PASS_THROUGH(ReadFile, FALSE, BOOL, (HANDLE h, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o),
                  (h, b, n, r, o))
VSIM_PASS_THROUGH(WriteFile, FALSE, BOOL, (HANDLE h, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o),
                  (h, b, n, w, o))
VSIM_PASS_THROUGH(GetFileSizeEx, FALSE, BOOL, (HANDLE h, PLARGE_INTEGER s), (h, s))
VSIM_PASS_THROUGH(SetFilePointerEx, FALSE, BOOL,
                  (HANDLE h, LARGE_INTEGER d, PLARGE_INTEGER n, DWORD m), (h, d, n, m))
VSIM_PASS_THROUGH(ReleaseMutex, FALSE, BOOL, (HANDLE h), (h))
VSIM_PASS_THROUGH(TlsAlloc, TLS_OUT_OF_INDEXES, DWORD, (), ())
VSIM_PASS_THROUGH(TlsGetValue, nullptr, LPVOID, (DWORD i), (i))
VSIM_PASS_THROUGH(TlsSetValue, FALSE, BOOL, (DWORD i, LPVOID v), (i, v))
VSIM_PASS_THROUGH(TlsFree, FALSE, BOOL, (DWORD i), (i))
VSIM_PASS_THROUGH(HeapCreate, nullptr, HANDLE, (DWORD o, SIZE_T i, SIZE_T m), (o, i, m))
VSIM_PASS_THROUGH(MultiByteToWideChar, 0, int,
                  (UINT cp, DWORD f, LPCCH s, int sn, LPWSTR d, int dn), (cp, f, s, sn, d, dn))
#undef VSIM_PASS_THROUGH

HANDLE track(HANDLE handle, const char* kind) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        trackObject(handle, kind);
    return handle;
}

HANDLE WINAPI hookCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
    VSIM_FAULT_POINT("CreateFileW", INVALID_HANDLE_VALUE);
    return track(real::CreateFileW(name, access, share, sa, disposition, flags, templateFile),
                 "file");
}

HANDLE WINAPI hookCreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
    VSIM_FAULT_POINT("CreateEventA", nullptr);
    HANDLE event = real::CreateEventA(sa, manual, initial, name);
    eventCreated(event, manual, initial, name != nullptr);
    return track(event, "event");
}

// The libraries' own changes and waits of the events whose state the
// simulator keeps.
BOOL WINAPI hookSetEvent(HANDLE event) {
    VSIM_FAULT_POINT("SetEvent", FALSE);
    return changeEvent(event, true);
}

BOOL WINAPI hookResetEvent(HANDLE event) {
    VSIM_FAULT_POINT("ResetEvent", FALSE);
    return changeEvent(event, false);
}

DWORD WINAPI hookWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    VSIM_FAULT_POINT("WaitForSingleObject", WAIT_FAILED);
    settleEvent(handle);
    return real::WaitForSingleObject(handle, milliseconds);
}

HANDLE WINAPI hookCreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCSTR name) {
    VSIM_FAULT_POINT("CreateMutexA", nullptr);
    return track(real::CreateMutexA(sa, owner, name), "mutex");
}

BOOL WINAPI hookCreatePipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES sa, DWORD size) {
    VSIM_FAULT_POINT("CreatePipe", FALSE);
    const BOOL ok = real::CreatePipe(read, write, sa, size);
    if (ok) {
        track(*read, "pipe");
        track(*write, "pipe");
    }
    return ok;
}

HANDLE WINAPI hookCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD id) {
    VSIM_FAULT_POINT("CreateThread", nullptr);
    return track(real::CreateThread(sa, stack, start, parameter, flags, id), "thread");
}

// Blocks of every heap the module uses: the process heap and its own.
LPVOID WINAPI hookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    VSIM_FAULT_POINT("HeapAlloc", nullptr);
    void* block = real::HeapAlloc(heap, flags, bytes);
    if (block != nullptr) {
        auto& o = objects();
        std::lock_guard guard(o.lock);
        o.heapBlocks[block] = {heap, GetCurrentThreadId()};
    }
    return block;
}

BOOL WINAPI hookHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    VSIM_FAULT_POINT("HeapFree", FALSE);
    const BOOL ok = real::HeapFree(heap, flags, block);
    if (ok) {
        auto& o = objects();
        std::lock_guard guard(o.lock);
        o.heapBlocks.erase(block);
    }
    return ok;
}

// A destroyed heap takes its blocks with it.
BOOL WINAPI hookHeapDestroy(HANDLE heap) {
    VSIM_FAULT_POINT("HeapDestroy", FALSE);
    const BOOL ok = real::HeapDestroy(heap);
    if (ok) {
        auto& o = objects();
        std::lock_guard guard(o.lock);
        std::erase_if(o.heapBlocks,
                      [heap](const auto& entry) { return entry.second.heap == heap; });
    }
    return ok;
}

// Captured for tests, and passed on to the system's debugger output.
void WINAPI hookOutputDebugStringA(LPCSTR text) {
    VSIM_FAULT_POINT("OutputDebugStringA", );
    if (text != nullptr)
        debugLog().add(text);
    real::OutputDebugStringA(text);
}

std::vector<Redirect> allRedirects() {
    std::vector<Redirect> list;
    size_t count = 0;
    const Redirect* sim = simRedirects(count);
    list.assign(sim, sim + count);
#define VSIM_REDIRECT(name) list.push_back({#name, reinterpret_cast<void*>(hook##name)});
    VSIM_REDIRECT(CreateFileW)
    VSIM_REDIRECT(ReadFile)
    VSIM_REDIRECT(WriteFile)
    VSIM_REDIRECT(GetFileSizeEx)
    VSIM_REDIRECT(SetFilePointerEx)
    VSIM_REDIRECT(CreateEventA)
    VSIM_REDIRECT(SetEvent)
    VSIM_REDIRECT(ResetEvent)
    VSIM_REDIRECT(CreateMutexA)
    VSIM_REDIRECT(ReleaseMutex)
    VSIM_REDIRECT(WaitForSingleObject)
    VSIM_REDIRECT(CreatePipe)
    VSIM_REDIRECT(CreateThread)
    VSIM_REDIRECT(TlsAlloc)
    VSIM_REDIRECT(TlsGetValue)
    VSIM_REDIRECT(TlsSetValue)
    VSIM_REDIRECT(TlsFree)
    VSIM_REDIRECT(HeapAlloc)
    VSIM_REDIRECT(HeapFree)
    VSIM_REDIRECT(HeapCreate)
    VSIM_REDIRECT(HeapDestroy)
    VSIM_REDIRECT(OutputDebugStringA)
    VSIM_REDIRECT(MultiByteToWideChar)
#undef VSIM_REDIRECT
    return list;
}

// Rewrites the import address table entries of `module` that name one of the
// redirected functions. Returns how many entries were rewritten.
int patchImports(HMODULE module, bool simulatorOnly) {
    static const std::vector<Redirect> everything = allRedirects();
    static const std::vector<Redirect> simulator = [] {
        size_t count = 0;
        const Redirect* sim = simRedirects(count);
        return std::vector<Redirect>(sim, sim + count);
    }();
    const std::vector<Redirect>& redirects = simulatorOnly ? simulator : everything;
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return 0;
    int patched = 0;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        const DWORD lookup =
            import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + lookup);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            for (const auto& r : redirects) {
                if (std::strcmp(r.name, name) != 0)
                    continue;
                DWORD old = 0;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                               &old);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(r.function);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
                ++patched;
                break;
            }
        }
    }
    return patched;
}

// ---------------------------------------------------------------------------
// Libraries loaded later are attached as they load: the loader's DLL
// notification comes after the import table is bound and before the
// library's entry point runs, so even its process attach goes through the
// simulator (and can be made to fail).

struct CountedString {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};

struct DllLoadedData {
    ULONG flags;
    const CountedString* fullName;
    const CountedString* baseName;
    PVOID base;
    ULONG size;
};

constexpr ULONG kDllLoaded = 1;

using DllNotification = VOID(CALLBACK*)(ULONG reason, const DllLoadedData* data, PVOID context);
using RegisterDllNotification = LONG(NTAPI*)(ULONG flags, DllNotification callback, PVOID context,
                                             PVOID* cookie);

struct PendingAttach {
    std::mutex lock;
    std::vector<std::string> names;  // lower case
};
PendingAttach& pendingAttach() {
    static auto* p = new PendingAttach;
    return *p;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

VOID CALLBACK onDllLoaded(ULONG reason, const DllLoadedData* data, PVOID) {
    if (reason != kDllLoaded || data == nullptr || data->baseName == nullptr)
        return;
    std::string name;
    for (USHORT i = 0; i < data->baseName->length / sizeof(WCHAR); ++i)
        name += static_cast<char>(data->baseName->buffer[i] & 0x7F);
    name = lowerCase(name);
    auto& p = pendingAttach();
    std::lock_guard guard(p.lock);
    for (const auto& wanted : p.names)
        if (wanted == name)
            patchImports(static_cast<HMODULE>(data->base), false);
}

void attachWhenLoaded(const char* module) {
    auto& p = pendingAttach();
    std::lock_guard guard(p.lock);
    const std::string name = lowerCase(module);
    for (const auto& wanted : p.names)
        if (wanted == name)
            return;
    p.names.push_back(name);
    static PVOID cookie = [] {
        PVOID c = nullptr;
        auto reg = reinterpret_cast<RegisterDllNotification>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrRegisterDllNotification")));
        if (reg != nullptr)
            reg(0, onDllLoaded, nullptr, &c);
        return c;
    }();
    (void)cookie;
}

// A library that started before the simulator attached made the state of
// the thread that loaded it (the event it waits on for its requests) through
// the real functions, so the simulator does not know that event. The
// library's thread-end notification drops that state, and the library makes
// it again at the thread's next call, now through the simulator: the same
// as a thread that ends its use of the library and calls it again.
void renewThreadState(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->OptionalHeader.AddressOfEntryPoint == 0)
        return;
    using Entry = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
    const auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(base + nt->OptionalHeader.AddressOfEntryPoint));
    entry(module, DLL_THREAD_DETACH, nullptr);
}

}  // namespace

bool faultArmed() {
    return faults().armed();
}

bool shouldFail(const char* call) {
    uint32_t error = 0;
    bool endThread = false;
    if (!faults().shouldFail(call, GetCurrentThreadId(), error, endThread))
        return false;
    if (endThread)
        ExitThread(0);
    SetLastError(error);
    return true;
}

void countObject(const char* kind, int delta) {
    auto& o = objects();
    std::lock_guard guard(o.lock);
    o.counts[kind] += delta;
}

void trackObject(HANDLE handle, const char* kind) {
    auto& o = objects();
    std::lock_guard guard(o.lock);
    o.handles[handle] = {kind, GetCurrentThreadId()};
}

const char* forgetObject(HANDLE handle) {
    auto& o = objects();
    std::lock_guard guard(o.lock);
    auto it = o.handles.find(handle);
    if (it == o.handles.end())
        return nullptr;
    const char* kind = it->second.kind;
    o.handles.erase(it);
    return kind;
}

}  // namespace vsim::win32

using namespace vsim::win32;

extern "C" {

int vsimAttach(const char* module) {
    resolveRealFunctions();
    installEventPlatform();
    // A program gets the simulator only; the libraries also get fault
    // injection and object counts, so that those see the libraries' own calls
    // and not the test program's (nor its run-time's).
    if (module != nullptr)
        attachWhenLoaded(module);
    HMODULE target = GetModuleHandleA(module);
    if (target == nullptr)
        return 0;
    const int patched = patchImports(target, module == nullptr);
    if (module != nullptr && patched != 0)
        renewThreadState(target);
    return patched;
}

void vsimFailNthCall(const char* call, unsigned nth, uint32_t error) {
    faults().failNth(call, nth, error);
}

void vsimFailCallsOnThread(const char* call, uint32_t threadId, uint32_t error) {
    faults().failOnThread(call, threadId, error);
}

void vsimFailNthCallOnThread(const char* call, uint32_t threadId, unsigned nth, uint32_t error) {
    faults().failNthOnThread(call, threadId, nth, error);
}

void vsimEndThreadAtNthCall(const char* call, uint32_t threadId, unsigned nth) {
    faults().endThreadAtNth(call, threadId, nth);
}

void vsimClearFaults(void) {
    faults().clear();
}

void vsimFailNthCallOffThread(const char* call, uint32_t threadId, unsigned nth, uint32_t error) {
    faults().failNthOffThread(call, threadId, nth, error);
}

void vsimStartCallLog(void) {
    faults().startRecording();
}

size_t vsimCallLogCount(const char* call, uint32_t threadId, int onThread) {
    return call != nullptr ? faults().recorded(call, threadId, onThread != 0) : 0;
}

void vsimStopCallLog(void (*sink)(void*, const char*, uint32_t), void* context) {
    for (const auto& [call, thread] : faults().stopRecording())
        if (sink != nullptr)
            sink(context, call, thread);
}

void vsimReadDebugOutput(void (*sink)(void*, const char*), void* context) {
    debugLog().read(sink, context);
}

void vsimClearDebugOutput(void) {
    debugLog().clear();
}

size_t vsimCountObjects(const char* kind) {
    return countTracked(kind, [](DWORD) { return true; });
}

size_t vsimCountObjectsOfThreads(const char* kind, const uint32_t* threadIds, size_t count) {
    return countTracked(kind,
                        [&](DWORD creator) { return vsim::isOneOf(creator, threadIds, count); });
}

// Loaded by vsim-run into a program that does not know of it: attach below
// the libraries, those already loaded and those loaded later.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        char setting[8] = "";
        const DWORD length = GetEnvironmentVariableA("VELTRA_SIM_ATTACH", setting, sizeof setting);
        if (length == 1 && setting[0] == '1') {
            for (const char* module : {"veltra.dll", "veltrad.dll", "kesta.dll", "kestad.dll"})
                vsimAttach(module);
            // Tells vsim-run that the program runs on the simulator.
            const std::string name = vsim::os::attachEventName(GetCurrentProcessId());
            if (HANDLE attached = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
                SetEvent(attached);
                CloseHandle(attached);
            }
        }
    }
    if (reason == DLL_THREAD_DETACH)
        threadEnding();
    return TRUE;
}

}  // extern "C"
