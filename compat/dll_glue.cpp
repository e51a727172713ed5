// Linked into each library built for Linux: reports the library to the
// stand-in's loader, which calls its DllMain as the Windows loader would.
#include <w32compat_loader.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

char g_moduleAnchor;

__attribute__((constructor)) void libraryLoaded() {
    w32compatLibraryLoaded(DllMain, static_cast<HINSTANCE>(&g_moduleAnchor));
}

__attribute__((destructor)) void libraryUnloading() {
    w32compatLibraryUnloading(DllMain);
}

}  // namespace
