"""ksvhid against the simulator library and the modules of simulation.json."""

import threading
import time

import pytest

import ksvhid
from conftest import MODE_0_SERIALS, listed

R = ksvhid.Result


def padded(data):
    return bytes(data).ljust(63, b"\0")


def test_version():
    assert ksvhid.version() == (1, 3, 170)
    assert ksvhid.version().build == 170


@pytest.mark.parametrize("mode", [3, 2, 1, 0])
def test_mode_selected(mode):
    ksvhid.set_mode(mode)
    assert ksvhid.get_mode() == mode


@pytest.mark.parametrize("bad", [-1, 4, 2**31, 2**32 + 1, -(2**32) + 1])
def test_mode_outside_range_selects_mode_0(bad):
    ksvhid.set_mode(1)
    with pytest.raises(ValueError, match="mode 0"):
        ksvhid.set_mode(bad)
    assert ksvhid.get_mode() == 0
    # The library itself is back in mode 0: the mode-1 module is gone from the list.
    assert listed() == MODE_0_SERIALS


@pytest.mark.parametrize("bad", ["1", 1.0, True, None])
def test_mode_of_another_type(bad):
    with pytest.raises(TypeError):
        ksvhid.set_mode(bad)


def test_listing_by_mode():
    # Mode 0: the keyboard, the busy module and the unreadable serial are not listed; the
    # unreadable one is still counted. The non-ASCII serial comes as bytes.
    assert listed() == MODE_0_SERIALS
    assert ksvhid.module_count() == len(ksvhid.list_modules()) + 1
    ksvhid.set_mode(1)
    assert ksvhid.list_modules() == ["PY-L3"]
    assert ksvhid.module_count() == 1


@pytest.mark.parametrize(
    "mode, serial, command, result, data",
    [
        (0, "PY-PLUS", b"\x01\x02\xff", R.REPORT_ID_1, b"\x02\x03\x00" + b"\x01" * 60),
        (0, "PY-PLUS", b"", R.REPORT_ID_1, b"\x01" * 63),
        (0, "PY-TWO", bytearray(b"abc"), R.REPORT_ID_2, padded(b"abc")),
        (0, b"PY-\xb5", memoryview(b"\x0f" * 63), R.REPORT_ID_1, b"\xf0" * 63),
        (0, "PY-\u00b5", b"\x00", R.REPORT_ID_1, b"\xff" * 63),
        (1, "PY-L3", b"\x07" * 20, R.REPORT_ID_3, padded(b"\x07" * 9)),
        (0, "PY-ID5", b"\x09", R.OTHER_REPORT_ID, padded(b"\x09")),
        (0, "PY-SHORT", b"\x0a" * 63, R.WRONG_LENGTH, padded(b"\x0a" * 31)),
    ],
)
def test_exchange_results(mode, serial, command, result, data):
    ksvhid.set_mode(mode)
    with ksvhid.open(serial) as module:
        reply = module.exchange(command)
        assert type(reply.result) is R
        assert reply == (result, data)
        assert reply.accepted == (result >= 0)
    assert module.closed


def test_silent_module_times_out():
    with ksvhid.open("PY-SILENT") as module:
        start = time.monotonic()
        with pytest.raises(ksvhid.ExchangeTimeout) as caught:
            module.exchange(b"\x01")
        elapsed = time.monotonic() - start
    assert 1.9 < elapsed < 5
    assert isinstance(caught.value, TimeoutError)
    assert (caught.value.code, caught.value.name) == (-1, "TIMED_OUT")


def test_unplugged_module():
    # PY-GONE leaves during its second exchange: that exchange and every later one fail with
    # the one result of a removal.
    assert "PY-GONE" in ksvhid.list_modules()
    with ksvhid.open("PY-GONE") as module:
        assert module.exchange(b"\x01").result == R.REPORT_ID_1
        for command in (b"\x02", b"\x03"):
            with pytest.raises(ksvhid.ExchangeError) as caught:
                module.exchange(command)
            assert not isinstance(caught.value, TimeoutError)
            assert caught.value.code == -255 and caught.value.name == R(-255).name
    assert "PY-GONE" not in ksvhid.list_modules()


@pytest.mark.parametrize("serial", ["PY-NONE", b"PY-NONE", "PY-KBD", "PY-BUSY", "PY-L3", "py-plus"])
def test_module_not_found(serial):
    with pytest.raises(ksvhid.ModuleNotFound) as caught:
        ksvhid.open(serial)
    assert isinstance(caught.value, LookupError)
    assert "absent" in str(caught.value) and "another program" in str(caught.value)


def test_open_module_is_held():
    module = ksvhid.open("PY-PLUS")
    try:
        with pytest.raises(ksvhid.ModuleNotFound):
            ksvhid.open("PY-PLUS")
        assert "PY-PLUS" not in ksvhid.list_modules()
    finally:
        module.close()
    assert listed() == MODE_0_SERIALS
    ksvhid.open("PY-PLUS").close()


def test_command_too_long():
    with ksvhid.open("PY-TWO") as module:
        with pytest.raises(ValueError, match="64 bytes"):
            module.exchange(bytes(64))
        assert module.exchange(bytes(range(63))) == (R.REPORT_ID_2, bytes(range(63)))


def test_closed_module():
    module = ksvhid.open("PY-PLUS")
    module.close()
    module.close()
    assert module.closed
    with pytest.raises(ValueError, match="closed"):
        module.exchange(b"\x01")
    with module:
        pass  # leaving the block closes again, harmlessly


def test_two_threads_on_two_modules():
    # An exchange waiting on the slow module must not hold up one on another module: the
    # library waits for each transfer alone, and ctypes lets go of the GIL during the call.
    slow_reply = []
    with ksvhid.open("PY-SLOW") as slow, ksvhid.open("PY-PLUS") as fast:
        started = threading.Event()

        def wait_for_slow():
            started.set()
            slow_reply.append(slow.exchange(b"\x05"))

        thread = threading.Thread(target=wait_for_slow)
        thread.start()
        started.wait()
        time.sleep(0.2)  # the slow exchange is under way (it takes 1500 ms)
        assert fast.exchange(b"\x05") == (R.REPORT_ID_1, b"\x06" + b"\x01" * 62)
        assert thread.is_alive(), "the fast exchange waited for the slow one"
        thread.join()
    assert slow_reply == [(R.REPORT_ID_1, padded(b"\x05"))]


def test_two_threads_share_one_module():
    # Each thread must get the reply to its own command, never the other's.
    errors = []
    with ksvhid.open("PY-SHARED") as module:

        def run(first):
            for value in range(first, first + 10):
                reply = module.exchange(bytes([value]) * 63)
                if reply != (R.REPORT_ID_1, bytes([value + 1]) * 63):
                    errors.append((value, reply))

        threads = [threading.Thread(target=run, args=(first,)) for first in (10, 100)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert errors == []


def test_diagnose_gives_each_interface_and_why():
    reports = ksvhid.diagnose(3)
    assert [r.index for r in reports] == list(range(len(reports)))
    assert [r.serial for r in reports if r.module] == ["PY-TWO", "PY-SHARED"]
    keyboard = reports[0]
    assert (keyboard.vendor_id, keyboard.product_id, keyboard.serial) == (0x1209, 0x0001, "PY-KBD")
    assert (keyboard.module, keyboard.reason) == (False, "other_ids")
    assert ksvhid.get_mode() == 0  # the library's own mode is left as it is
    with pytest.raises(ValueError, match="mode 4"):
        ksvhid.diagnose(4)
