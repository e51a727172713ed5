// The library's part of process and thread start and end. The trace texts
// name VELTRA in both libraries: they are the shared layer's own lines.
#include "wdm.h"

namespace {

BOOL processAttach() {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_PROCESS_ATTACH start\n");
    hProcessHeap = GetProcessHeap();
    tlsIndex = TlsAlloc();
    if (tlsIndex == TLS_OUT_OF_INDEXES)
        return FALSE;
    const BOOL created = wdmCreateThreadContext();
    WDM_TRACE("wdmDllMain(VELTRA): DLL_PROCESS_ATTACH done\n");
    return created;
}

// A thread that called the library before its attach notification arrived
// (from another library's attach code, say) already has its record.
BOOL threadAttach() {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_ATTACH start\n");
    const BOOL created = TlsGetValue(tlsIndex) != nullptr || wdmCreateThreadContext();
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_ATTACH done\n");
    return created;
}

BOOL threadDetach() {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_DETACH start\n");
    wdmFreeThreadContext();
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_DETACH done\n");
    return TRUE;
}

// At process exit (`reserved` not null) the system has already ended every
// other thread, one of which may have held a lock, and it takes back all
// memory and handles itself: the library frees nothing then and takes no
// lock. Only an unload (FreeLibrary) frees what the library holds.
BOOL processDetach(LPVOID reserved) {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_PROCESS_DETACH start\n");
    if (reserved != nullptr) {
        WDM_TRACE("wdmDllMain(VELTRA): DLL_PROCESS_DETACH done\n");
        return TRUE;
    }
    wdmFreeAllThreadContexts();
    if (tlsIndex != TLS_OUT_OF_INDEXES) {
        TlsFree(tlsIndex);
        tlsIndex = TLS_OUT_OF_INDEXES;
    }
    wdmDestroyHeap();
    WDM_TRACE("wdmDllMain(VELTRA): DLL_PROCESS_DETACH done\n");
    return TRUE;
}

}  // namespace

BOOL wdmDllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return processAttach();
        case DLL_THREAD_ATTACH:
            return threadAttach();
        case DLL_THREAD_DETACH:
            return threadDetach();
        case DLL_PROCESS_DETACH:
            return processDetach(reserved);
        default:
            return TRUE;
    }
}
