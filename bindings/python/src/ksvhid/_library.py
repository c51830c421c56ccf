"""Finding and loading the KSVHidApi library, and the prototypes of its seven functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, Callable, List, Optional, Tuple

__all__ = ["LibraryNotFound", "Library", "find_library", "ENV_LIBRARY"]

ENV_LIBRARY = "KSVHID_LIBRARY"
"""Environment variable naming the library file to load; it takes precedence over the search."""

_WINDOWS = sys.platform == "win32"
_SYSTEM_NAME = "KSVHidApi.dll" if _WINDOWS else "libKSVHidApi.so.1"
_CARRIED_NAME = _SYSTEM_NAME

SERIAL_BUFFER_BYTES = 256
COMMAND_BYTES = 63
REPLY_BYTES = 63


class LibraryNotFound(OSError):
    """No KSVHidApi library could be loaded; the message lists every place that was tried."""

    def __init__(self, tried: List[str]) -> None:
        self.tried = list(tried)
        super().__init__("KSVHidApi library not found; tried:\n  " + "\n  ".join(self.tried))


class Library:
    """One loaded KSVHidApi library with the prototypes of its functions.

    The library keeps its module mode as one process-wide value and offers no call that reads it,
    so the mode last selected through this object is remembered here (0 at first, as the library
    starts in mode 0).
    """

    def __init__(self, path: str) -> None:
        # CDLL and WinDLL release the GIL for the duration of every call, so a thread waiting for
        # a module's reply never holds up the others. (PyDLL would keep the GIL and must not be
        # used here.)
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
        self.path = path
        self._dll = loader(path)
        self._mode = 0
        self._mode_lock = threading.Lock()
        d = self._dll
        int_p = ctypes.POINTER(ctypes.c_int)
        self.count: Callable[[], int] = _proto(d.GetKestrovanHIDnumber, [])
        self.name: Callable[[int, ctypes.Array[ctypes.c_char]], int] = _proto(
            d.GetKestrovanHIDName, [ctypes.c_int, ctypes.c_char_p]
        )
        self.open: Callable[[object, bytes], int] = _proto(
            d.OpenKestrovanHID, [ctypes.POINTER(ctypes.c_void_p), ctypes.c_char_p]
        )
        self.send_receive: Callable[
            [Optional[int], ctypes.Array[ctypes.c_char], ctypes.Array[ctypes.c_char]], int
        ] = _proto(d.SendReceiveKestrovanHID, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p])
        self.close: Callable[[Optional[int]], int] = _proto(d.CloseKestrovanHID, [ctypes.c_void_p])
        self._version: Callable[[Any, Any, Any], int] = _proto(
            d.GetKestrovanHIDversion, [int_p, int_p, int_p]
        )
        self._set_mode: Callable[[int], int] = _proto(d.SetModuleMode, [ctypes.c_int])

    def __repr__(self) -> str:
        return f"<ksvhid.Library {self.path!r}>"

    def version(self) -> Tuple[int, int, int]:
        major, minor, build = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        self._version(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(build))
        return major.value, minor.value, build.value

    def set_mode(self, mode: int) -> bool:
        """Selects a mode; False (and mode 0 selected) for anything outside 0..3."""
        # A value beyond a C int would be cut to its low 32 bits by ctypes and might then name a
        # valid mode; hand the library a value it rejects instead.
        wanted = mode if -(2**31) <= mode < 2**31 else -1
        with self._mode_lock:
            accepted = self._set_mode(wanted) == 1
            self._mode = mode if accepted else 0
        return accepted

    def get_mode(self) -> int:
        with self._mode_lock:
            return self._mode


def _proto(function: Any, argtypes: List[Any]) -> Any:
    """Declares a function of the library: these arguments, an int result."""
    function.argtypes = argtypes
    function.restype = ctypes.c_int
    return function


def _search_description() -> str:
    if _WINDOWS:
        return f"{_SYSTEM_NAME} through the system's DLL search (the program's folder, System32)"
    where = os.environ.get("LD_LIBRARY_PATH")
    extra = f"LD_LIBRARY_PATH={where}, " if where else "LD_LIBRARY_PATH unset, "
    return f"{_SYSTEM_NAME} through the dynamic loader ({extra}the ld.so cache, /lib, /usr/lib)"


def find_library(path: Optional[str] = None) -> Library:
    """Loads the library: `path` if given, else $KSVHID_LIBRARY if set, else the one the package
    carries (installed from a wheel), else the system's search.

    Raises LibraryNotFound, naming each place tried and why it failed.
    """
    if path is not None:
        candidates = [(os.fspath(path), f"{os.fspath(path)} (given)")]
    elif os.environ.get(ENV_LIBRARY):
        value = os.environ[ENV_LIBRARY]
        candidates = [(value, f"{value} (from {ENV_LIBRARY})")]
    else:
        candidates = []
        # A wheel carries the library of its platform inside the package.
        carried = os.path.join(os.path.dirname(os.path.abspath(__file__)), _CARRIED_NAME)
        if os.path.exists(carried):
            candidates.append((carried, f"{carried} (carried by the package)"))
        candidates.append((_SYSTEM_NAME, _search_description()))
        if _WINDOWS:
            # Since Python 3.8 the DLL search of ctypes leaves out PATH, which other Windows
            # programs do search; look there as well.
            on_path = ctypes.util.find_library("KSVHidApi")
            candidates.append((on_path or "", "KSVHidApi.dll in the folders on PATH"))
    tried: List[str] = []
    for target, description in candidates:
        if not target:
            tried.append(f"{description}: not there")
            continue
        try:
            return Library(target)
        except OSError as error:
            tried.append(f"{description}: {error}")
        except AttributeError as error:  # a library without the seven functions
            tried.append(f"{description}: {error}")
    raise LibraryNotFound(tried)
