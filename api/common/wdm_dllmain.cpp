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

BOOL threadAttach() {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_ATTACH start\n");
    const BOOL created = wdmCreateThreadContext();
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_ATTACH done\n");
    return created;
}

BOOL threadDetach() {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_DETACH start\n");
    wdmFreeThreadContext();
    WDM_TRACE("wdmDllMain(VELTRA): DLL_THREAD_DETACH done\n");
    return TRUE;
}

BOOL processDetach() {
    WDM_TRACE("wdmDllMain(VELTRA): DLL_PROCESS_DETACH start\n");
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

BOOL wdmDllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return processAttach();
        case DLL_THREAD_ATTACH:
            return threadAttach();
        case DLL_THREAD_DETACH:
            return threadDetach();
        case DLL_PROCESS_DETACH:
            return processDetach();
        default:
            return TRUE;
    }
}
