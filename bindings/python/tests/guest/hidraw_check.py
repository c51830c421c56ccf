"""The package over the real library and hidraw, against virtual modules (run in the test guest).

    hidraw_check.py LIBRARY VIRTUAL_MODULE [DOTNET_PROBE...]

Creates a keyboard and two modules with ksv-virtual-module, then lists, opens and exchanges
through ksvhid, watches a module arrive and leave, and runs the command DOTNET_PROBE (the .NET
binding's GuestProbe) on the same modules. Exits 0 when every check holds; prints each failure
otherwise.
"""

import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))

import ksvhid  # noqa: E402

DEVICES = [
    "keyboard:vid=0x046d,pid=0xc31c,serial=PY-KBD,id=kbd",
    "module:vid=0x17fe,pid=0x82cd,serial=PY-1,xor=0xff,id=one",
    # U+00B5 reaches the library as the UTF-16 unit 0x00B5, which it keeps as the byte 0xB5.
    "module:vid=0x10c4,pid=0x82cd,serial=PY-\u00b5-2,reply-id=2,id=two",
]
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def main():
    library, virtual_module, dotnet_probe = sys.argv[1], sys.argv[2], sys.argv[3:]
    process = subprocess.Popen(
        [virtual_module, "--control", "-", *DEVICES],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        for line in process.stdout:
            print("virtual module:", line.rstrip())
            if line.startswith("ready"):
                break
        else:
            print("ksv-virtual-module ended before its devices were ready")
            return 1
        run(library)
        if dotnet_probe:
            run_dotnet(dotnet_probe)
        run_watch(process)
    finally:
        process.stdin.close()  # end of input removes the devices
        process.wait(timeout=10)
    return 1 if failures else 0


def run(library):
    ksvhid.load(library)
    check(ksvhid.version() == (1, 3, 170), "version 1.3.170")
    serials = ksvhid.list_modules()
    check(serials == ["PY-1", b"PY-\xb5-2"], f"list: {serials!r}")

    command = bytes(range(1, 11))
    with ksvhid.open("PY-1") as module:
        reply = module.exchange(command)
        expected = bytes(b ^ 0xFF for b in command.ljust(63, b"\0"))
        check(reply == (ksvhid.Result.REPORT_ID_1, expected), f"exchange on PY-1: {reply!r}")
        check(ksvhid.list_modules() == [b"PY-\xb5-2"], "an open module is not listed")
        try:
            ksvhid.open("PY-1")
            check(False, "a module already open is not opened again")
        except ksvhid.ModuleNotFound:
            check(True, "a module already open is not opened again")
    check(module.closed and ksvhid.list_modules() == serials, "closed, listed again")

    with ksvhid.open(b"PY-\xb5-2") as module:
        reply = module.exchange(b"\x42")
        expected = b"\x42".ljust(63, b"\0")
        check(reply == (ksvhid.Result.REPORT_ID_2, expected), f"exchange on PY-\u00b5-2: {reply!r}")
    # The str the device reports opens it too.
    with ksvhid.open("PY-\u00b5-2") as module:
        check(module.exchange(b"\x43").result == ksvhid.Result.REPORT_ID_2, "opened by str")


def run_dotnet(probe):
    """The .NET binding sees the modules, serial numbers, results and replies the package sees."""
    expected = []
    for serial in ksvhid.list_modules():
        with ksvhid.open(serial) as module:
            reply = module.exchange(bytes(range(1, 11)))
        text = serial if isinstance(serial, bytes) else serial.encode("ascii")
        expected.append(f"{text.hex()} {int(reply.result)} {reply.data.hex()} held")
    expected += ["arrived 17fe:82cd 50592d31 free", "arrived 10c4:82cd 50592db52d32 free"]
    seen = subprocess.run(probe, capture_output=True, text=True, timeout=120)
    print(seen.stdout + seen.stderr, end="")
    check(len(expected) == 4 and seen.stdout.splitlines() == expected, ".NET binding: the same")


def run_watch(process):
    def control(command, answer):
        process.stdin.write(command + "\n")
        process.stdin.flush()
        line = process.stdout.readline()
        check(line.startswith(answer), f"{command}: {line.strip()}")

    events = ksvhid.watch()
    check(events.method == "netlink", f"watch method: {events.method}")
    first = sorted(((e.kind, e.serial, e.free) for e in (events.next(5), events.next(5))), key=str)
    present = [("arrived", "PY-1", True), ("arrived", b"PY-\xb5-2", True)]
    check(first == sorted(present, key=str), f"present: {first}")
    check(events.next(0.3) is None, "no event for the keyboard")
    control("add module:vid=0x17fe,pid=0x82cd,serial=PY-W,id=w", "added w")
    control("remove w", "removed w")
    cycle = [(e.kind, e.vendor_id, e.product_id, e.serial) for e in (events.next(5), events.next(5))]
    check(cycle == [("arrived", 0x17FE, 0x82CD, "PY-W"), ("left", 0x17FE, 0x82CD, "PY-W")],
          f"arrived and left: {cycle}")
    seen = []
    iterating = threading.Thread(target=lambda: seen.extend(events))
    iterating.start()
    time.sleep(0.3)
    events.close()
    iterating.join(5)
    check(not iterating.is_alive() and seen == [], "close() ends an iteration on another thread")


if __name__ == "__main__":
    sys.exit(main())
