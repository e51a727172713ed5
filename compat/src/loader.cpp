// The loader emulation: library entry points and dynamic loading.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <w32compat_loader.h>

#include "kernel.h"

namespace w32 {
namespace {

struct Library {
    W32COMPAT_ENTRY_POINT entry;
    HINSTANCE instance;
    bool attached;
};

// The loader lock: entry points are called one at a time, as on Windows.
std::recursive_mutex& loaderLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}
std::vector<Library>& libraries() {
    static auto* list = new std::vector<Library>;
    return *list;
}
// Depth of LoadLibraryA calls on this thread: libraries that load inside one
// are attached by LoadLibraryA itself, so that a failed attach fails the load.
thread_local int t_loadDepth = 0;

// Windows passes a non-null reserved pointer for libraries loaded with the
// program, and at process exit to every library still loaded.
const LPVOID kStaticLoad = reinterpret_cast<LPVOID>(uintptr_t{1});
const LPVOID kProcessExit = reinterpret_cast<LPVOID>(uintptr_t{1});
// Set while FreeLibrary unloads: a library that goes at any other time goes
// because the process ends.
thread_local bool t_freeingLibrary = false;

// Thread attach goes through the libraries in the order they started, thread
// detach in the reverse order, as the Windows loader walks its
// initialization-order list.
void notifyAll(DWORD reason) {
    std::lock_guard guard(loaderLock());
    // Copy: an entry point may load or unload libraries.
    auto list = libraries();
    if (reason == DLL_THREAD_DETACH)
        std::reverse(list.begin(), list.end());
    for (const auto& lib : list)
        if (lib.attached)
            lib.entry(lib.instance, reason, nullptr);
}

// Attaches a library; on failure calls it again with process detach, as the
// C run-time start-up code does before the load fails.
bool attach(Library& lib, LPVOID reserved) {
    if (lib.entry(lib.instance, DLL_PROCESS_ATTACH, reserved)) {
        lib.attached = true;
        return true;
    }
    lib.entry(lib.instance, DLL_PROCESS_DETACH, reserved);
    return false;
}

}  // namespace

void notifyThreadAttach() {
    notifyAll(DLL_THREAD_ATTACH);
}
void notifyThreadDetach() {
    notifyAll(DLL_THREAD_DETACH);
}

}  // namespace w32

using namespace w32;

extern "C" {

void w32compatLibraryLoaded(W32COMPAT_ENTRY_POINT entry, HINSTANCE instance) {
    std::lock_guard guard(loaderLock());
    libraries().push_back({entry, instance, false});
    if (t_loadDepth > 0)
        return;
    // Loaded with the program: a library that fails to start ends the process.
    if (!attach(libraries().back(), kStaticLoad)) {
        libraries().pop_back();
        std::fprintf(stderr,
                     "w32compat: a library failed to initialize (DllMain returned FALSE)\n");
        std::_Exit(0x42);
    }
}

// FreeLibrary detaches the one library it unloads. Any other unloading is
// the process ending: the system runs library destructors in its own order,
// so at the first of them every library still attached is detached, in the
// reverse order of their starts, as Windows does at process exit.
void w32compatLibraryUnloading(W32COMPAT_ENTRY_POINT entry) {
    std::lock_guard guard(loaderLock());
    auto& list = libraries();
    if (!t_freeingLibrary) {
        const auto ending = list;
        list.clear();
        for (auto it = ending.rbegin(); it != ending.rend(); ++it)
            if (it->attached)
                it->entry(it->instance, DLL_PROCESS_DETACH, kProcessExit);
        return;
    }
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->entry != entry)
            continue;
        const Library lib = *it;
        list.erase(it);
        if (lib.attached)
            lib.entry(lib.instance, DLL_PROCESS_DETACH, nullptr);
        return;
    }
}

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    W32_FAULT_POINT("LoadLibraryA", nullptr);
    if (name == nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard guard(loaderLock());
    const size_t before = libraries().size();
    ++t_loadDepth;
    void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    --t_loadDepth;
    if (module == nullptr) {
        setLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto& list = libraries();
    for (size_t i = before; i < list.size(); ++i) {
        if (list[i].attached || attach(list[i], nullptr))
            continue;
        list.erase(list.begin() + static_cast<ptrdiff_t>(i));
        t_freeingLibrary = true;  // an unload, not the process's end
        dlclose(module);
        t_freeingLibrary = false;
        setLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return static_cast<HMODULE>(module);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    W32_FAULT_POINT("FreeLibrary", FALSE);
    if (module == nullptr) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    t_freeingLibrary = true;
    const int closed = dlclose(module);
    t_freeingLibrary = false;
    if (closed != 0) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    W32_FAULT_POINT("GetProcAddress", nullptr);
    void* symbol = module != nullptr && name != nullptr ? dlsym(module, name) : nullptr;
    if (symbol == nullptr)
        setLastError(ERROR_PROC_NOT_FOUND);
    return symbol;
}

}  // extern "C"
