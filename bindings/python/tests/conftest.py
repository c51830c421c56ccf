"""The suite runs against the simulator library, named by KSVHID_LIBRARY, with the modules of
simulation.json (walk order; the .NET binding's tests use them too). KSVHID_SIMULATION must be set
before the library is loaded."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

import ksvhid  # noqa: E402

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
    os.environ["KSVHID_SIMULATION"] = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "simulation.json")


@pytest.fixture(autouse=True)
def mode_0():
    """Every test starts and ends in mode 0."""
    ksvhid.set_mode(0)
    yield
    ksvhid.set_mode(0)
