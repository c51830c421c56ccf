"""The suite runs against the simulator library, named by KSVHID_LIBRARY, with the modules of
SIMULATION below (walk order). KSVHID_SIMULATION must be set before the library is loaded."""

import json
import os
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

import ksvhid  # noqa: E402

SIMULATION = [
    {"vendor": "0x1209", "product": "0x0001", "serial": "PY-KBD"},  # not a module
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-PLUS", "reply": "plus-one"},
    {"vendor": "0x10C4", "product": "0x82CD", "serial": "PY-TWO", "report_id": 2},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-\u00b5", "reply": "invert"},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-SILENT", "reply": "silent"},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-ID5", "report_id": 5},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-SHORT", "length": 32},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-BUSY", "busy": True},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": None},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-SLOW", "delay_ms": 1500},
    {"vendor": "0x10C4", "product": "0x82CD", "serial": "PY-SHARED", "reply": "plus-one",
     "delay_ms": 20},
    {"vendor": "0x17FE", "product": "0x82CD", "serial": "PY-GONE", "unplug_after": 1},
    {"vendor": "0x17FE", "product": "0x8200", "serial": "PY-L3", "report_id": 3, "length": 10},
]

# What list_modules() gives in mode 0: the readable serials of the free modules (PY-GONE, which
# leaves when test_unplugged_module drives it, aside).
MODE_0_SERIALS = ["PY-PLUS", "PY-TWO", b"PY-\xb5", "PY-SILENT", "PY-ID5", "PY-SHORT", "PY-SLOW",
                  "PY-SHARED"]


def listed():
    return [serial for serial in ksvhid.list_modules() if serial != "PY-GONE"]


def pytest_configure(config):
    if not os.environ.get(ksvhid.ENV_LIBRARY):
        raise pytest.UsageError(
            f"set {ksvhid.ENV_LIBRARY} to the simulator library (lib/ksvhid-simulator/)")
    handle, path = tempfile.mkstemp(prefix="ksvhid-simulation-", suffix=".json")
    with os.fdopen(handle, "w", encoding="utf-8") as file:
        json.dump({"modules": SIMULATION}, file)
    os.environ["KSVHID_SIMULATION"] = path
    config.ksvhid_simulation = path


def pytest_unconfigure(config):
    path = getattr(config, "ksvhid_simulation", None)
    if path:
        os.unlink(path)


@pytest.fixture(autouse=True)
def mode_0():
    """Every test starts and ends in mode 0."""
    ksvhid.set_mode(0)
    yield
    ksvhid.set_mode(0)
