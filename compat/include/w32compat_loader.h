/*
 * The stand-in's loader emulation. Each library built for Linux carries a
 * small glue object that reports its loading and unloading here, so that its
 * DllMain is called as Windows calls it: process attach and detach, thread
 * attach for threads created with CreateThread, thread detach for every
 * thread that used the stand-in.
 */
#ifndef W32COMPAT_LOADER_H
#define W32COMPAT_LOADER_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef BOOL(WINAPI* W32COMPAT_ENTRY_POINT)(HINSTANCE, DWORD, LPVOID);

W32COMPAT_API void w32compatLibraryLoaded(W32COMPAT_ENTRY_POINT entry, HINSTANCE instance);
W32COMPAT_API void w32compatLibraryUnloading(W32COMPAT_ENTRY_POINT entry);

#ifdef __cplusplus
}
#endif

#endif /* W32COMPAT_LOADER_H */
