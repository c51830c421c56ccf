"""Loading a companion library (KSVHidWatch, KSVHidDiagnose) once per process."""

from __future__ import annotations

import os
import threading
from typing import Callable, Generic, List, Optional, Type, TypeVar

_Loaded = TypeVar("_Loaded")


class CompanionLoader(Generic[_Loaded]):
    """Loads a companion: the file that the environment variable names, else the file beside
    `beside` (the path of the KSVHidApi library in use), else the system's search. The first load
    that succeeds is kept for the process."""

    def __init__(self, name: str, system_name: str, environment: str,
                 load: Callable[[str], _Loaded], error: Type[OSError]) -> None:
        self._name = name
        self._system_name = system_name
        self._environment = environment
        self._load = load
        self._error = error
        self._loaded: Optional[_Loaded] = None
        self._lock = threading.Lock()

    def __call__(self, beside: Optional[str] = None) -> _Loaded:
        with self._lock:
            if self._loaded is not None:
                return self._loaded
            candidates: List[str] = []
            if os.environ.get(self._environment):
                candidates.append(os.environ[self._environment])
            else:
                if beside and os.path.dirname(beside):
                    candidates.append(os.path.join(os.path.dirname(beside), self._system_name))
                candidates.append(self._system_name)
            tried = []
            for candidate in candidates:
                try:
                    self._loaded = self._load(candidate)
                    return self._loaded
                except OSError as error:
                    tried.append(f"{candidate}: {error}")
            raise self._error(f"{self._name} library not found; tried:\n  " + "\n  ".join(tried))
