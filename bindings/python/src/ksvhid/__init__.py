"""Find and drive KSV measurement modules through the KSVHidApi library.

    import ksvhid
    print(ksvhid.list_modules())
    with ksvhid.open("KSV-SIM-0001") as module:
        reply = module.exchange(bytes([1, 2, 3]))

The library is loaded on first use: the file named by $KSVHID_LIBRARY, else the library the
package carries (a wheel's), else libKSVHidApi.so.1 (Linux) or KSVHidApi.dll (Windows) through the
system's library search; `load(path)` picks one.
"""

from __future__ import annotations

import ctypes
import os
import threading
from typing import List, NamedTuple, Optional, Union

from ._library import ENV_LIBRARY, Library, LibraryNotFound, find_library
from ._module import (
    ExchangeError,
    ExchangeTimeout,
    Module,
    ModuleNotFound,
    Reply,
    Result,
    Serial,
    open_module,
)
from ._diagnose import (
    ENV_DIAGNOSE_LIBRARY,
    DiagnoseError,
    InterfaceReport,
    diagnose_with,
    find_diagnose_library,
)
from ._watch import ENV_WATCH_LIBRARY, Watch, WatchError, WatchEvent, find_watch_library

__all__ = [
    "DiagnoseError",
    "ENV_DIAGNOSE_LIBRARY",
    "ENV_LIBRARY",
    "ENV_WATCH_LIBRARY",
    "ExchangeError",
    "ExchangeTimeout",
    "InterfaceReport",
    "Library",
    "LibraryNotFound",
    "Module",
    "ModuleNotFound",
    "Reply",
    "Result",
    "Version",
    "Watch",
    "WatchError",
    "WatchEvent",
    "diagnose",
    "get_mode",
    "library",
    "list_modules",
    "load",
    "module_count",
    "open",
    "set_mode",
    "version",
    "watch",
]

__version__ = "1.3.170"

MODES = range(4)

_default: Optional[Library] = None
_default_lock = threading.Lock()


class Version(NamedTuple):
    major: int
    minor: int
    build: int

    def __str__(self) -> str:
        return f"{self.major}.{self.minor}.{self.build}"


def load(path: Union[str, "os.PathLike[str]", None] = None) -> Library:
    """Loads the library at `path` (or as on first use, if None) and uses it from now on.

    Modules already open keep the library they were opened with.
    """
    global _default
    loaded = find_library(None if path is None else os.fspath(path))
    with _default_lock:
        _default = loaded
    return loaded


def library() -> Library:
    """The library in use, loaded now if this is the first use."""
    global _default
    with _default_lock:
        if _default is None:
            _default = find_library()
        return _default


def version() -> Version:
    """The library's version, (1, 3, 170)."""
    return Version(*library().version())


def set_mode(mode: int) -> None:
    """Selects the module mode (0..3) for the whole process.

    Any other value raises ValueError and leaves mode 0 selected, as the library does.
    """
    if isinstance(mode, bool) or not isinstance(mode, int):
        raise TypeError(f"mode must be an int, not {type(mode).__name__}")
    if not library().set_mode(mode):
        raise ValueError(f"mode {mode} is not one of 0, 1, 2, 3; mode 0 is selected")


def get_mode() -> int:
    """The module mode last selected through this package (0 until then)."""
    return library().get_mode()


def module_count() -> int:
    """The number of modules attached and free, including any whose serial cannot be read."""
    return int(library().count())


def list_modules() -> List[Serial]:
    """The serial numbers of the free modules, in walk order.

    A serial number is `str` when it is ASCII and `bytes` otherwise (the library keeps the low
    byte of each UTF-16 unit the device reports). Modules whose serial number cannot be read are
    left out: they cannot be opened either.
    """
    lib = library()
    serials: List[Serial] = []
    buffer = ctypes.create_string_buffer(256)
    for ordinal in range(lib.count()):
        if lib.name(ordinal, buffer) == 1:
            serials.append(_from_text(buffer.value))
    return serials


def open(serial: Serial) -> Module:  # noqa: A001 - reads as ksvhid.open(...)
    """Opens the first free module with this serial number; raises ModuleNotFound otherwise.

    A `str` is turned into the library's text the way the library turns the device's serial
    number into it: the low byte of each UTF-16 unit. So the text a device reports, and what
    list_modules() gave, both open it.
    """
    return open_module(library(), serial, _to_text(serial))


def watch(mode: int = 0) -> Watch:
    """Events for the modules of `mode` (0..3) as they arrive and leave, the present ones first.

        with ksvhid.watch() as events:
            for event in events:          # blocks; ends when events.close() is called
                print(event.kind, event.serial)

    Uses the companion library KSVHidWatch, found beside the KSVHidApi library in use.
    """
    return Watch(find_watch_library(library().path), mode)


def diagnose(mode: int = 0) -> List[InterfaceReport]:
    """Every HID interface present, in walk order: whether the walk takes it for a module in
    `mode` (0..3) and, when it is not listed, why (`reason`: "other_ids", "in_use", ...), as
    ksvhid diagnose shows it. The library's own mode is left as it is.

    Uses the companion library KSVHidDiagnose, found beside the KSVHidApi library in use.
    """
    return diagnose_with(find_diagnose_library(library().path), mode)


def _from_text(text: bytes) -> Serial:
    return text.decode("ascii") if text.isascii() else text


def _to_text(serial: Serial) -> bytes:
    if isinstance(serial, str):
        units = serial.encode("utf-16-le")
        text = units[0::2]
    elif isinstance(serial, (bytes, bytearray, memoryview)):
        text = bytes(serial)
    else:
        raise TypeError(f"serial must be str or bytes, not {type(serial).__name__}")
    if b"\0" in text:
        raise ValueError("serial number with a zero byte")
    return text
