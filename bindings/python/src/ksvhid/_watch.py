"""Modules that arrive and leave, through the companion library KSVHidWatch."""

from __future__ import annotations

import ctypes
import sys
from typing import Any, Iterator, NamedTuple, Optional, Union

from ._companion import CompanionLoader

__all__ = ["ENV_WATCH_LIBRARY", "Watch", "WatchError", "WatchEvent", "find_watch_library"]

ENV_WATCH_LIBRARY = "KSVHID_WATCH_LIBRARY"
"""Environment variable naming the KSVHidWatch library file; else it is looked for beside the
KSVHidApi library in use, then through the system's library search."""

_WINDOWS = sys.platform == "win32"
_SYSTEM_NAME = "KSVHidWatch.dll" if _WINDOWS else "libKSVHidWatch.so.1"

_ARRIVED = 1
_FREE, _HELD = 1, 0
_CLOSED = -3
_RESULT_NAMES = {-1: "bad mode", -2: "the system refused", -3: "closed", -4: "busy"}

# How long one call waits before the iterator looks again: it keeps Ctrl+C prompt, since a call
# into the library is not interrupted by it.
_WAIT_SLICE_MS = 250


class WatchError(OSError):
    """The watch could not be opened, or failed while waiting."""


class _Event(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("free", ctypes.c_int),
        ("vendor_id", ctypes.c_ushort),
        ("product_id", ctypes.c_ushort),
        ("serial", ctypes.c_char * 256),
    ]


class WatchEvent(NamedTuple):
    """One module that arrived or left. For "left", what it arrived with."""

    kind: str  # "arrived" or "left"
    vendor_id: int
    product_id: int
    serial: Union[str, bytes]  # str when ASCII, else the library's bytes; "" when unreadable
    free: Optional[bool]  # free when it arrived; None where the system cannot tell (Windows)


class _WatchLibrary:
    def __init__(self, path: str) -> None:
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
        self.path = path
        d = loader(path)
        handle_p = ctypes.POINTER(ctypes.c_void_p)
        self.open = d.KSVHidWatchOpen
        self.open.argtypes, self.open.restype = [ctypes.c_int, handle_p], ctypes.c_int
        self.next = d.KSVHidWatchNext
        self.next.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(_Event)]
        self.next.restype = ctypes.c_int
        self.close = d.KSVHidWatchClose
        self.close.argtypes, self.close.restype = [ctypes.c_void_p], ctypes.c_int
        self.method = d.KSVHidWatchMethod
        self.method.argtypes, self.method.restype = [ctypes.c_void_p], ctypes.c_char_p


find_watch_library = CompanionLoader("KSVHidWatch", _SYSTEM_NAME, ENV_WATCH_LIBRARY, _WatchLibrary,
                                     WatchError)
"""Loads KSVHidWatch: $KSVHID_WATCH_LIBRARY, else the file beside `beside` (the path of the
KSVHidApi library in use), else the system's search. Loaded once per process."""


class Watch:
    """Events for the modules of one mode: iterate over it, or call next(timeout).

    The first events are "arrived" for the modules present when it opened. Iterating blocks until
    the next event and ends when the watch is closed; close() may be called from another thread
    and ends an iteration that waits there.
    """

    def __init__(self, library: Any, mode: int = 0) -> None:
        if isinstance(mode, bool) or not isinstance(mode, int):
            raise TypeError(f"mode must be an int, not {type(mode).__name__}")
        self._lib = library
        self._event = _Event()
        handle = ctypes.c_void_p()
        result = library.open(mode if 0 <= mode <= 3 else -1, ctypes.byref(handle))
        if result != 1:
            if result == -1:
                raise ValueError(f"mode {mode} is not one of 0, 1, 2, 3")
            raise WatchError(f"cannot watch for modules: {_RESULT_NAMES.get(result, result)}")
        self._handle: Optional[int] = handle.value

    @property
    def method(self) -> str:
        """How the library learns of changes: "netlink", "RegisterDeviceNotification", "poll"."""
        text = self._lib.method(self._handle)
        return text.decode("ascii") if text else ""

    @property
    def closed(self) -> bool:
        return self._handle is None

    def next(self, timeout: Optional[float] = None) -> Optional[WatchEvent]:
        """The next event, waiting up to `timeout` seconds (None: until one comes); None when
        the time ran out. Raises WatchError when the watch is closed or fails."""
        handle = self._handle
        if handle is None:
            raise WatchError("the watch is closed")
        limit_ms = -1 if timeout is None else max(0, int(timeout * 1000))
        result = self._lib.next(handle, limit_ms, ctypes.byref(self._event))
        return None if result == 0 else self._take(result)

    def __iter__(self) -> Iterator[WatchEvent]:
        return self

    def __next__(self) -> WatchEvent:
        while True:
            handle = self._handle
            if handle is None:
                raise StopIteration
            result = self._lib.next(handle, _WAIT_SLICE_MS, ctypes.byref(self._event))
            if result == _CLOSED:
                raise StopIteration
            if result != 0:
                return self._take(result)

    def _take(self, result: int) -> WatchEvent:
        if result < 0:
            raise WatchError(f"the watch ended: {_RESULT_NAMES.get(result, result)}")
        e = self._event
        serial = e.serial
        return WatchEvent(
            "arrived" if e.kind == _ARRIVED else "left",
            e.vendor_id,
            e.product_id,
            serial.decode("ascii") if serial.isascii() else serial,
            True if e.free == _FREE else False if e.free == _HELD else None,
        )

    def close(self) -> None:
        """Ends the watch; an iteration or next() waiting on another thread ends too."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.close(handle)

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - never from a finaliser
            pass
