"""Why each HID interface is or is not a module, through the companion library KSVHidDiagnose."""

from __future__ import annotations

import ctypes
import sys
from typing import Any, List, NamedTuple, Optional, Union

from ._companion import CompanionLoader

__all__ = ["DiagnoseError", "ENV_DIAGNOSE_LIBRARY", "InterfaceReport", "diagnose_with",
           "find_diagnose_library"]

ENV_DIAGNOSE_LIBRARY = "KSVHID_DIAGNOSE_LIBRARY"
"""Environment variable naming the KSVHidDiagnose library file; else it is looked for beside the
KSVHidApi library in use, then through the system's library search."""

_WINDOWS = sys.platform == "win32"
_SYSTEM_NAME = "KSVHidDiagnose.dll" if _WINDOWS else "libKSVHidDiagnose.so.1"

_BAD_MODE = -1
# The reasons' keys, by their number in KSVHidDiagnose.h (ksvhid diagnose --json uses the same).
_REASONS = ("none", "serial_unreadable", "other_ids", "ids_unreadable", "access_denied", "in_use",
            "open_refused", "busy_a_moment_ago", "path_unreadable", "path_too_long",
            "past_interface_64")


class DiagnoseError(OSError):
    """The HID interfaces could not be listed."""


class _Report(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint),
        ("path", ctypes.c_char_p),
        ("ids_known", ctypes.c_int),
        ("vendor_id", ctypes.c_ushort),
        ("product_id", ctypes.c_ushort),
        ("serial_known", ctypes.c_int),
        ("serial", ctypes.c_char * 256),
        ("module", ctypes.c_int),
        ("reason", ctypes.c_int),
        ("open_error", ctypes.c_uint),
        ("holder_pid", ctypes.c_int),
        ("holder_command", ctypes.c_char_p),
    ]


class _Diagnosis(ctypes.Structure):
    _fields_ = [
        ("mode", ctypes.c_int),
        ("wanted_count", ctypes.c_uint),
        ("wanted_vendor", ctypes.c_ushort * 2),
        ("wanted_product", ctypes.c_ushort * 2),
        ("index_bound", ctypes.c_uint),
        ("path_units_limit", ctypes.c_uint),
        ("module_count", ctypes.c_uint),
        ("interface_count", ctypes.c_uint),
        ("interfaces", ctypes.POINTER(_Report)),
    ]


class InterfaceReport(NamedTuple):
    """One HID interface as the walk sees it in the mode asked for."""

    index: int  # walk order, from 0
    path: str  # "" when it cannot be read
    vendor_id: Optional[int]  # None when the IDs cannot be had
    product_id: Optional[int]
    serial: Union[str, bytes, None]  # as list_modules() gives it; None when unreadable
    module: bool  # counted as a module in this mode
    reason: Optional[str]  # why it is not listed ("other_ids", "in_use", ...); None when it is
    error: int  # the system's error for a refused open (Windows numbering), else 0
    holder_pid: Optional[int]  # "in_use": the process that holds it, where the system says
    holder_command: str


class _DiagnoseLibrary:
    def __init__(self, path: str) -> None:
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
        self.path = path
        d = loader(path)
        self.diagnose = d.KSVHidDiagnose
        self.diagnose.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.POINTER(_Diagnosis))]
        self.diagnose.restype = ctypes.c_int
        self.free = d.KSVHidDiagnosisFree
        self.free.argtypes, self.free.restype = [ctypes.POINTER(_Diagnosis)], ctypes.c_int


find_diagnose_library = CompanionLoader("KSVHidDiagnose", _SYSTEM_NAME, ENV_DIAGNOSE_LIBRARY,
                                        _DiagnoseLibrary, DiagnoseError)
"""Loads KSVHidDiagnose: $KSVHID_DIAGNOSE_LIBRARY, else the file beside `beside` (the path of the
KSVHidApi library in use), else the system's search. Loaded once per process."""


def _report(r: _Report) -> InterfaceReport:
    serial: Union[str, bytes, None] = None
    if r.serial_known:
        raw = r.serial
        serial = raw.decode("ascii") if raw.isascii() else raw
    return InterfaceReport(
        r.index,
        (r.path or b"").decode("utf-8", "surrogateescape"),
        r.vendor_id if r.ids_known else None,
        r.product_id if r.ids_known else None,
        serial,
        bool(r.module),
        _REASONS[r.reason] if 0 < r.reason < len(_REASONS) else None,
        r.open_error,
        r.holder_pid if r.holder_pid > 0 else None,
        (r.holder_command or b"").decode("utf-8", "surrogateescape"),
    )


def diagnose_with(library: Any, mode: int) -> List[InterfaceReport]:
    """Every HID interface present, in walk order, as the walk sees it in `mode` (0..3)."""
    if isinstance(mode, bool) or not isinstance(mode, int):
        raise TypeError(f"mode must be an int, not {type(mode).__name__}")
    made = ctypes.POINTER(_Diagnosis)()
    result = library.diagnose(mode if 0 <= mode <= 3 else _BAD_MODE, ctypes.byref(made))
    if result == _BAD_MODE:
        raise ValueError(f"mode {mode} is not one of 0, 1, 2, 3")
    if result != 1:
        raise DiagnoseError("cannot list the HID interfaces")
    try:
        d = made.contents
        return [_report(d.interfaces[i]) for i in range(d.interface_count)]
    finally:
        library.free(made)
