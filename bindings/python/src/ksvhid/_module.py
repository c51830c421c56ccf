"""Exchange results, errors and the open module."""

from __future__ import annotations

import ctypes
import enum
import threading
from types import TracebackType
from typing import NamedTuple, Optional, Type, Union

from ._library import COMMAND_BYTES, REPLY_BYTES, Library

__all__ = [
    "Result",
    "Reply",
    "ExchangeError",
    "ExchangeTimeout",
    "ModuleNotFound",
    "Module",
    "open_module",
]


class Result(enum.IntEnum):
    """The result code of one exchange, as the library reports it."""

    REPORT_ID_1 = 1
    REPORT_ID_2 = 0
    REPORT_ID_3 = 3  # mode 1 only
    TIMED_OUT = -1
    WAIT_FAILED = -2
    INVALID_FUNCTION = -3
    FILE_NOT_FOUND = -4
    PATH_NOT_FOUND = -5
    ACCESS_DENIED = -6
    INVALID_HANDLE = -7
    NOT_ENOUGH_MEMORY = -8
    OUT_OF_MEMORY = -9
    WRITE_PROTECT = -10
    WRITE_FAULT = -11
    READ_FAULT = -12
    INVALID_PARAMETER = -13
    OPEN_FAILED = -14
    OTHER_REPORT_ID = -15
    WRONG_LENGTH = -16
    OTHER_ERROR = -255


# Results that come back with the 63 reply bytes; every other one raises.
_REPLIED = frozenset({1, 0, 3, -15, -16})


class Reply(NamedTuple):
    """What an exchange gave: the result and the 63 reply bytes."""

    result: Result
    data: bytes

    @property
    def accepted(self) -> bool:
        """True for a reply with report ID 1, 2 or (mode 1) 3."""
        return self.result in (Result.REPORT_ID_1, Result.REPORT_ID_2, Result.REPORT_ID_3)


class ExchangeError(OSError):
    """An exchange ended without a reply; `code` is the library's result and `name` its name."""

    def __init__(self, code: int) -> None:
        self.code = code
        try:
            self.result: Optional[Result] = Result(code)
            self.name = self.result.name
        except ValueError:
            self.result = None
            self.name = "UNKNOWN"
        super().__init__(f"exchange failed with {code} ({self.name})")


class ExchangeTimeout(ExchangeError, TimeoutError):
    """No reply within the library's 2000 ms (result -1)."""


class ModuleNotFound(LookupError):
    """No free module has the serial number: it is absent, or held open by another program."""


Serial = Union[str, bytes]


class Module:
    """One module, opened by serial number for exclusive use. Close it, or use `with`.

    Exchanges on one module run one at a time: a lock serialises threads that share the object.
    """

    def __init__(self, library: Library, serial: Serial, handle: int) -> None:
        """Takes over `handle`, a module opened through `library`; ksvhid.open() makes these."""
        self._library = library
        self._handle: Optional[int] = handle
        self._lock = threading.Lock()
        self.serial = serial

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<ksvhid.Module {self.serial!r} {state}>"

    def __enter__(self) -> "Module":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __del__(self) -> None:
        # A module dropped without close() would stay held (invisible to every walk) until the
        # process ends.
        if getattr(self, "_handle", None) is not None:
            self.close()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def exchange(self, command: Union[bytes, bytearray, memoryview] = b"") -> Reply:
        """Sends `command` (up to 63 bytes, zero-padded) and waits for the reply.

        Returns a Reply for report IDs 1, 2 and 3, and also for a reply with another report ID
        (OTHER_REPORT_ID) or of the wrong length (WRONG_LENGTH), whose bytes may still be of use.
        Raises ExchangeTimeout when no reply came within 2000 ms, ExchangeError for the other
        failures, ValueError for a longer command or a closed module.
        """
        if isinstance(command, str):
            raise TypeError("command must be bytes, not str")
        payload = memoryview(command).tobytes()  # bytes(5) would make five zero bytes of an int
        if len(payload) > COMMAND_BYTES:
            raise ValueError(f"command of {len(payload)} bytes; at most {COMMAND_BYTES} fit")
        request = ctypes.create_string_buffer(payload, COMMAND_BYTES)
        reply = ctypes.create_string_buffer(REPLY_BYTES)
        with self._lock:
            if self._handle is None:
                raise ValueError("exchange on a closed module")
            code = self._library.send_receive(self._handle, request, reply)
        if code in _REPLIED:
            return Reply(Result(code), reply.raw)
        if code == Result.TIMED_OUT:
            raise ExchangeTimeout(code)
        raise ExchangeError(code)

    def close(self) -> None:
        """Closes the module, after an exchange running on another thread; again does nothing."""
        with self._lock:
            if self._handle is not None:
                self._library.close(self._handle)
                self._handle = None


def open_module(library: Library, serial: Serial, text: bytes) -> Module:
    """Opens the first free module whose serial number text is `text`."""
    handle = ctypes.c_void_p()
    if library.open(ctypes.byref(handle), text) != 1 or handle.value is None:
        raise ModuleNotFound(
            f"no module with serial number {serial!r} could be opened: it is absent, "
            "or held open by another program (or by this one)"
        )
    return Module(library, serial, handle.value)
