"""Finding and loading the VELTRA and KESTA libraries, and the C prototypes
of the exports the package calls.

The libraries are looked for, in this order:

1. the package's own folder (a wheel that carries the libraries);
2. each folder of ``VELTRA_LIBRARY_PATH`` (``os.pathsep``-separated);
3. the system's library search path (``LD_LIBRARY_PATH``, the linker cache);
   on Windows the system folder, the Windows folder and the folders of
   ``PATH``, each file loaded by its full path: never the current folder,
   where a planted ``veltra.dll`` would otherwise be found.

On Windows the files are ``veltra.dll`` and ``kesta.dll``; on Linux
``libveltra.so`` and ``libkesta.so``, which run on the simulated machine
through the Win32 stand-in ``libw32compat.so``. With ``VELTRA_CHECKED=1``
the checked builds (``veltrad``, ``kestad``) are loaded instead.

Nothing is loaded when the package is imported: the first call that needs a
library loads it, so ``import veltra`` works on a machine without them.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_size_t, c_uint32, c_uint64
from ctypes import c_void_p
from typing import Any, Dict, List, Optional, Sequence, Tuple

from . import _records as R

WINDOWS = sys.platform == "win32"

# Every export's calling convention is WINAPI: stdcall on 32-bit Windows
# (WinDLL), the C convention elsewhere.
_LibraryType: Any
if sys.platform == "win32":
    _LibraryType = ctypes.WinDLL
else:
    _LibraryType = ctypes.CDLL

HANDLE = c_void_p
STATUS = c_uint32
_P = c_void_p  # any pointer the package passes as an address


class LibraryError(OSError):
    """A library of the package could not be found or loaded."""


class OVERLAPPED(ctypes.Structure):
    """The Win32 OVERLAPPED of a non-blocking operation (32 bytes on 64-bit
    systems). Offset and OffsetHigh share their place with a pointer."""

    _fields_ = [
        ("Internal", c_size_t),
        ("InternalHigh", c_size_t),
        ("Offset", c_uint32),
        ("OffsetHigh", c_uint32),
        ("hEvent", HANDLE),
    ]


# Prototypes: name -> (result type, argument types). Records go by pointer
# to their ctypes structure; host memory as a plain address.
_VELTRA: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "VELTRA_Open": (STATUS, [c_uint32, POINTER(HANDLE)]),
    "VELTRA_OpenEx": (STATUS, [c_uint32, c_int32, c_uint32, POINTER(HANDLE)]),
    "VELTRA_Close": (STATUS, [HANDLE]),
    "VELTRA_GetStatusStringA": (c_char_p, [STATUS, c_int32]),
    "VELTRA_GetVersionInfo": (STATUS, [HANDLE, POINTER(R.VERSION_INFO)]),
    "VELTRA_GetCardInfo": (STATUS, [HANDLE, POINTER(R.CARD_INFO)]),
    "VELTRA_GetCardInfoEx": (STATUS, [HANDLE, POINTER(R.CARD_INFO_EX)]),
    "VELTRA_GetBankInfo": (STATUS, [HANDLE, c_uint32, POINTER(R.BANK_INFO)]),
    "VELTRA_GetModuleInfoW": (STATUS, [HANDLE, c_uint32, POINTER(R.MODULE_INFOW)]),
    "VELTRA_GetFpgaInfoW": (STATUS, [HANDLE, c_uint32, POINTER(R.FPGA_INFOW)]),
    "VELTRA_LoadBitstreamW": (STATUS, [_P, POINTER(_P)]),
    "VELTRA_UnloadBitstreamW": (STATUS, [_P]),
    "VELTRA_ConfigureFromBuffer": (STATUS, [HANDLE, c_uint32, c_uint32, _P, c_uint64]),
    "VELTRA_ConfigureFromFileW": (STATUS, [HANDLE, c_uint32, c_uint32, _P]),
    "VELTRA_Unconfigure": (STATUS, [HANDLE, c_uint32, c_uint32]),
    "VELTRA_GetFlashInfoW": (STATUS, [HANDLE, c_uint32, POINTER(R.FLASH_INFOW)]),
    "VELTRA_GetFlashBlockInfo": (
        STATUS,
        [HANDLE, c_uint32, c_uint64, POINTER(R.FLASH_BLOCK_INFO)],
    ),
    "VELTRA_EraseFlash": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64]),
    "VELTRA_ReadFlash": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64, _P]),
    "VELTRA_WriteFlash": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64, _P]),
    "VELTRA_SyncFlash": (STATUS, [HANDLE, c_uint32, c_uint32]),
    "VELTRA_ReadVPD": (STATUS, [HANDLE, c_uint32, c_uint64, c_uint64, _P]),
    "VELTRA_WriteVPD": (STATUS, [HANDLE, c_uint32, c_uint64, c_uint64, _P]),
    "VELTRA_GetClockFrequency": (STATUS, [HANDLE, c_uint32, POINTER(c_double)]),
    "VELTRA_SetClockFrequency": (
        STATUS,
        [HANDLE, c_uint32, c_uint32, c_double, POINTER(c_double)],
    ),
    "VELTRA_GetSensorInfoW": (STATUS, [HANDLE, c_uint32, POINTER(R.SENSOR_INFOW)]),
    "VELTRA_ReadSensor": (STATUS, [HANDLE, c_uint32, POINTER(R.SENSOR_VALUE)]),
    "VELTRA_GetDeviceStatus": (
        STATUS,
        [HANDLE, c_uint32, POINTER(R.DEVICE_STATUS), POINTER(c_uint32)],
    ),
    "VELTRA_ClearDeviceErrors": (STATUS, [HANDLE]),
    "VELTRA_GetWindowInfo": (STATUS, [HANDLE, c_uint32, POINTER(R.WINDOW_INFO)]),
    "VELTRA_MapWindow": (STATUS, [HANDLE, c_uint32, c_uint64, c_uint64, POINTER(_P)]),
    "VELTRA_UnmapWindow": (STATUS, [HANDLE, _P]),
    "VELTRA_Read": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64, _P]),
    "VELTRA_Write": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64, _P]),
    "VELTRA_GetCommonBufferCount": (STATUS, [HANDLE, POINTER(c_uint32)]),
    "VELTRA_GetCommonBuffer": (
        STATUS,
        [HANDLE, c_uint32, POINTER(c_uint64), POINTER(c_uint64)],
    ),
    "VELTRA_MapCommonBuffer": (STATUS, [HANDLE, c_uint64, c_uint64, c_uint64, POINTER(_P)]),
    # DMA: buffer, locked and bus forms, waiting and not.
    "VELTRA_ReadDMAEx": (STATUS, [HANDLE, c_uint32, c_uint32, _P, c_uint64, c_uint64]),
    "VELTRA_WriteDMAEx": (STATUS, [HANDLE, c_uint32, c_uint32, _P, c_uint64, c_uint64]),
    "VELTRA_ReadDMALockedEx": (
        STATUS,
        [HANDLE, c_uint32, c_uint32, c_uint32, c_uint64, c_uint64, c_uint64],
    ),
    "VELTRA_WriteDMALockedEx": (
        STATUS,
        [HANDLE, c_uint32, c_uint32, c_uint32, c_uint64, c_uint64, c_uint64],
    ),
    "VELTRA_ReadDMABus": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64, c_uint64]),
    "VELTRA_WriteDMABus": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint64, c_uint64]),
    "VELTRA_StartReadDMAEx": (
        STATUS,
        [HANDLE, POINTER(OVERLAPPED), c_uint32, c_uint32, _P, c_uint64, c_uint64],
    ),
    "VELTRA_StartWriteDMAEx": (
        STATUS,
        [HANDLE, POINTER(OVERLAPPED), c_uint32, c_uint32, _P, c_uint64, c_uint64],
    ),
    "VELTRA_StartReadDMALockedEx": (
        STATUS,
        [HANDLE, POINTER(OVERLAPPED), c_uint32, c_uint32, c_uint32, c_uint64, c_uint64, c_uint64],
    ),
    "VELTRA_StartWriteDMALockedEx": (
        STATUS,
        [HANDLE, POINTER(OVERLAPPED), c_uint32, c_uint32, c_uint32, c_uint64, c_uint64, c_uint64],
    ),
    "VELTRA_StartReadDMABus": (
        STATUS,
        [HANDLE, POINTER(OVERLAPPED), c_uint32, c_uint32, c_uint64, c_uint64, c_uint64],
    ),
    "VELTRA_StartWriteDMABus": (
        STATUS,
        [HANDLE, POINTER(OVERLAPPED), c_uint32, c_uint32, c_uint64, c_uint64, c_uint64],
    ),
    "VELTRA_FinishDMA": (STATUS, [HANDLE, POINTER(OVERLAPPED), c_int32]),
    "VELTRA_Lock": (STATUS, [HANDLE, _P, c_uint64, POINTER(c_uint32)]),
    "VELTRA_Unlock": (STATUS, [HANDLE, c_uint32]),
    "VELTRA_StartNotificationWait": (STATUS, [HANDLE, POINTER(OVERLAPPED), c_uint32]),
    "VELTRA_RegisterWin32Event": (STATUS, [HANDLE, c_uint32, HANDLE]),
    "VELTRA_UnregisterWin32Event": (STATUS, [HANDLE, c_uint32, HANDLE]),
    "VELTRA_Cancel": (STATUS, [HANDLE]),
}

_KESTA: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "KESTA_Open": (STATUS, [c_uint32, c_int32, c_uint32, POINTER(HANDLE)]),
    "KESTA_Close": (STATUS, [HANDLE]),
    "KESTA_GetStatusStringA": (c_char_p, [STATUS, c_int32]),
    "KESTA_GetUniqueId": (STATUS, [HANDLE, POINTER(c_uint64)]),
    "KESTA_GetProdTestInfo": (STATUS, [HANDLE, POINTER(R.PROD_TEST_INFO)]),
    "KESTA_ServiceIRQ": (STATUS, [HANDLE, POINTER(c_uint32)]),
    "KESTA_ScheduleIPROG": (STATUS, [HANDLE, c_uint32, c_uint32, c_uint64, c_uint32]),
    "KESTA_AbortIPROG": (STATUS, [HANDLE, c_uint32]),
    "KESTA_StatusIPROG": (
        STATUS,
        [HANDLE, c_uint32, POINTER(c_uint32), POINTER(c_uint64), POINTER(c_uint32)],
    ),
}

# The Win32 calls the package makes itself, for the events of non-blocking
# operations: kernel32 on Windows, the stand-in on Linux.
_PLATFORM: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "CreateEventA": (HANDLE, [c_void_p, c_int, c_int, c_char_p]),
    "SetEvent": (c_int, [HANDLE]),
    "ResetEvent": (c_int, [HANDLE]),
    "WaitForSingleObject": (c_uint32, [HANDLE, c_uint32]),
    "WaitForMultipleObjects": (c_uint32, [c_uint32, c_void_p, c_int, c_uint32]),
    "CloseHandle": (c_int, [HANDLE]),
    "GetLastError": (c_uint32, []),
}

_SETUPAPI: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "SetupDiGetClassDevsA": (c_void_p, [c_void_p, c_char_p, c_void_p, c_uint32]),
    "SetupDiEnumDeviceInterfaces": (c_int, [c_void_p, c_void_p, c_void_p, c_uint32, c_void_p]),
    "SetupDiGetDeviceInterfaceDetailA": (
        c_int, [c_void_p, c_void_p, c_void_p, c_uint32, c_void_p, c_void_p]),
    "SetupDiDestroyDeviceInfoList": (c_int, [c_void_p]),
}

# Libraries a VELTRA or KESTA library needs on Linux, loaded first from the
# same folder so that a folder of libraries works whatever their run path.
_LINUX_DEPENDENCIES = ("libvsim.so", "libw32compat.so")
_STAND_IN = "libw32compat.so"


def _checked() -> bool:
    return os.environ.get("VELTRA_CHECKED", "") not in ("", "0")


def file_name(base: str) -> str:
    """The file name of library `base` ("veltra" or "kesta") on this system."""
    stem = base + ("d" if _checked() else "")
    return f"{stem}.dll" if WINDOWS else f"lib{stem}.so"


def search_folders() -> List[str]:
    """The folders looked in before the system's search path."""
    folders = [os.path.dirname(os.path.abspath(__file__))]
    folders += [p for p in os.environ.get("VELTRA_LIBRARY_PATH", "").split(os.pathsep) if p]
    return folders


def windows_system_folders(system: str, windows: str, path: str) -> List[str]:
    """The folders of Windows' standard search that a DLL of the package may
    come from: the system folder, the Windows folder and the folders of
    PATH, in that order, each as an absolute path. Never the current folder
    (nor a relative or empty PATH entry, which would name it): a library
    planted in the folder a program runs in is not loaded."""
    found: List[str] = []
    for folder in [system, windows] + path.split(os.pathsep):
        folder = folder.strip().strip('"')
        if folder and os.path.isabs(folder) and folder not in found:
            found.append(folder)
    return found


def _windows_search() -> List[str]:
    buffer = ctypes.create_unicode_buffer(32768)
    kernel32: Any = getattr(ctypes, "WinDLL")("kernel32")
    system = buffer.value if kernel32.GetSystemDirectoryW(buffer, len(buffer)) else ""
    windows = buffer.value if kernel32.GetWindowsDirectoryW(buffer, len(buffer)) else ""
    return windows_system_folders(system, windows, os.environ.get("PATH", ""))


def _bind(library: Any, table: Dict[str, Tuple[Any, Sequence[Any]]]) -> None:
    for name, (result, arguments) in table.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = list(arguments)


class Libraries:
    """The loaded libraries: VELTRA, KESTA and the platform's Win32 calls.
    Each is loaded on first use, once per process."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._veltra: Any = None
        self._kesta: Any = None
        self._platform: Any = None
        self._setupapi: Any = None
        self._folder: Optional[str] = None  # where the first library came from

    def _open(self, base: str) -> Any:
        name = file_name(base)
        tried: List[str] = []
        own = search_folders()
        # On Windows the standard search follows, without the current
        # folder, each file by its full path.
        for folder in own + (_windows_search() if WINDOWS else []):
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                if folder in own:
                    tried.append(path)
                continue
            if sys.platform == "win32":
                os.add_dll_directory(folder)  # the DLLs it needs lie beside it
            else:
                for dependency in _LINUX_DEPENDENCIES:
                    candidate = os.path.join(folder, dependency)
                    if os.path.isfile(candidate):
                        _LibraryType(candidate)
            try:
                library = _LibraryType(path)
            except OSError as error:
                raise LibraryError(f"cannot load {path}: {error}") from error
            self._folder = folder
            return library
        if WINDOWS:
            tried.append(name + " in the system's folders and PATH")
            raise LibraryError(
                f"cannot find {name}; looked for " + ", ".join(tried)
                + " (set VELTRA_LIBRARY_PATH to the folder that holds it)"
            )
        try:
            return _LibraryType(name)
        except OSError as error:
            tried.append(name + " on the system's library path")
            raise LibraryError(
                f"cannot find {name}; looked for " + ", ".join(tried)
                + " (set VELTRA_LIBRARY_PATH to the folder that holds it)"
            ) from error

    def _load_platform(self) -> Any:
        if sys.platform == "win32":
            # ctypes saves the thread's last error right after each call, so
            # that the interpreter's own system calls cannot overwrite it
            # before it is read (ctypes.get_last_error).
            library: Any = ctypes.WinDLL("kernel32", use_last_error=True)
        else:
            # Already loaded as a dependency of the library: found by its name.
            library = ctypes.CDLL(_STAND_IN)
        _bind(library, _PLATFORM)
        return library

    def veltra(self) -> Any:
        """The VELTRA library, loaded on first use."""
        with self._lock:
            if self._veltra is None:
                library = self._open("veltra")
                _bind(library, _VELTRA)
                self._veltra = library
            return self._veltra

    def kesta(self) -> Any:
        """The KESTA library, loaded on first use."""
        with self._lock:
            if self._kesta is None:
                library = self._open("kesta")
                _bind(library, _KESTA)
                self._kesta = library
            return self._kesta

    def setupapi(self) -> Any:
        """SetupAPI's device-interface calls, to list the cards' device
        paths: setupapi.dll on Windows, the stand-in on Linux."""
        if not WINDOWS:
            self.veltra()
        with self._lock:
            if self._setupapi is None:
                if sys.platform == "win32":
                    library: Any = ctypes.WinDLL("setupapi", use_last_error=True)
                else:
                    library = ctypes.CDLL(_STAND_IN)
                _bind(library, _SETUPAPI)
                self._setupapi = library
            return self._setupapi

    def platform(self) -> Any:
        """The Win32 calls for events. On Linux they come from the stand-in
        that the VELTRA library brought in, so that library is loaded first."""
        if not WINDOWS:
            self.veltra()
        with self._lock:
            if self._platform is None:
                self._platform = self._load_platform()
            return self._platform


libraries = Libraries()
