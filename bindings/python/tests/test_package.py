"""The package's own logic, over a stand-in for the library's exchange and close calls, and the
ways it finds the library."""

import os
import subprocess
import sys
import threading
import time

import pytest

import ksvhid
from ksvhid import Result as R

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")


class FakeLibrary:
    """Answers every exchange with `code` and reply bytes 0xAA, and records the calls."""

    def __init__(self, code=1, pause=0.0):
        self.code = code
        self.pause = pause
        self.calls = []
        self.inside = 0
        self.most_inside = 0
        self.guard = threading.Lock()

    def send_receive(self, handle, command, reply):
        with self.guard:
            self.inside += 1
            self.most_inside = max(self.most_inside, self.inside)
        time.sleep(self.pause)
        self.calls.append(("exchange", handle, command.raw))
        reply.raw = b"\xaa" * 63
        with self.guard:
            self.inside -= 1
        return self.code

    def close(self, handle):
        self.calls.append(("close", handle))
        return 1


@pytest.mark.parametrize(
    "code, raises",
    [(1, None), (0, None), (3, None), (-15, None), (-16, None), (-1, ksvhid.ExchangeTimeout)]
    + [(code, ksvhid.ExchangeError) for code in (-2, -3, -7, -12, -14, -255, 2, -17)],
)
def test_result_codes(code, raises):
    fake = FakeLibrary(code)
    module = ksvhid.Module(fake, "S", 7)
    if raises is None:
        reply = module.exchange(b"\x01\x02")
        assert reply == (code, b"\xaa" * 63) and reply.result is R(code)
    else:
        with pytest.raises(raises) as caught:
            module.exchange(b"\x01\x02")
        error = caught.value
        name = R(code).name if code in list(R) else "UNKNOWN"
        assert (error.code, error.name, type(error)) == (code, name, raises)
        assert f"{code} ({name})" in str(error)
        assert isinstance(error, TimeoutError) == (code == -1)
    assert fake.calls == [("exchange", 7, b"\x01\x02" + bytes(61))]


def test_refused_exchanges_make_no_call():
    fake = FakeLibrary()
    module = ksvhid.Module(fake, "S", 7)
    with pytest.raises(ValueError):
        module.exchange(bytes(64))
    for wrong in ("text", 5, [1, 2]):
        with pytest.raises(TypeError):
            module.exchange(wrong)
    module.close()
    with pytest.raises(ValueError):
        module.exchange(b"\x01")
    assert fake.calls == [("close", 7)]


def test_one_exchange_at_a_time_per_module():
    fake = FakeLibrary(pause=0.005)
    module = ksvhid.Module(fake, "S", 7)
    threads = [
        threading.Thread(target=lambda: [module.exchange(b"") for _ in range(5)]) for _ in range(4)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert (fake.most_inside, len(fake.calls)) == (1, 20)


def test_close_waits_for_a_running_exchange():
    fake = FakeLibrary(pause=0.3)
    module = ksvhid.Module(fake, "S", 7)
    thread = threading.Thread(target=module.exchange, args=(b"\x01",))
    thread.start()
    while not fake.inside:
        time.sleep(0.001)
    module.close()
    thread.join()
    assert [call[0] for call in fake.calls] == ["exchange", "close"]


@pytest.mark.parametrize(
    "serial, text",
    [
        ("KSV-1", b"KSV-1"),
        (b"KSV-\xb5", b"KSV-\xb5"),
        ("KSV-\u00b5", b"KSV-\xb5"),  # the low byte of each UTF-16 unit, as the library keeps
        ("\u0141UK", b"AUK"),
        ("\U0001f641", b"=A"),  # a surrogate pair: two units
    ],
)
def test_serial_text(serial, text):
    assert ksvhid._to_text(serial) == text


@pytest.mark.parametrize(
    "serial, error", [("a\0b", ValueError), (b"\0", ValueError), (5, TypeError)]
)
def test_serial_refused(serial, error):
    with pytest.raises(error):
        ksvhid.open(serial)


def test_explicit_library_that_is_missing(tmp_path):
    before = ksvhid.library()
    missing = str(tmp_path / "libKSVHidApi.so.1")
    with pytest.raises(ksvhid.LibraryNotFound, match="given") as caught:
        ksvhid.load(missing)
    assert missing in str(caught.value) and isinstance(caught.value, OSError)
    assert ksvhid.library() is before


def test_library_from_environment_wins(monkeypatch, tmp_path):
    path = str(tmp_path / "nothing.so")
    monkeypatch.setenv("KSVHID_LIBRARY", path)
    with pytest.raises(ksvhid.LibraryNotFound, match="KSVHID_LIBRARY") as caught:
        ksvhid.load()
    assert path in str(caught.value)


def test_a_library_without_the_functions():
    libc = "libc.so.6"
    with pytest.raises(ksvhid.LibraryNotFound, match="GetKestrovanHIDnumber"):
        ksvhid.load(libc)


def run_python(code, **env):
    environment = {k: v for k, v in os.environ.items() if k not in ("KSVHID_LIBRARY",
                                                                    "KSVHID_SIMULATION")}
    environment.update(env, PYTHONPATH=SRC)
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                          text=True, timeout=60)


def test_system_search_and_the_built_in_modules():
    folder = os.path.dirname(os.environ["KSVHID_LIBRARY"])
    run = run_python("import ksvhid; print(ksvhid.library().path, ksvhid.list_modules())",
                     LD_LIBRARY_PATH=folder)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split(" ", 1) == [
        "libKSVHidApi.so.1",
        "['KSV-SIM-0001', 'KSV-SIM-0002', 'KSV-SIM-0003', b'KSV-\\xb5-0004']\n",
    ]


def test_nothing_found_names_the_places_tried():
    run = run_python("import ksvhid; ksvhid.version()", LD_LIBRARY_PATH="/nonexistent")
    if run.returncode == 0:
        pytest.skip("a KSVHidApi library is installed on this system")
    assert "LibraryNotFound" in run.stderr
    assert "libKSVHidApi.so.1 through the dynamic loader" in run.stderr
    assert "LD_LIBRARY_PATH=/nonexistent" in run.stderr
