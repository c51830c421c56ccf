"""The wheels of the build (KSVHID_WHEELS: their paths, separated by os.pathsep): the Linux one,
installed offline into a fresh virtual environment, runs the README's Python example as written;
each carries the library of its platform and the package's metadata."""

import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
WHEELS = [path for path in os.environ.get("KSVHID_WHEELS", "").split(os.pathsep) if path]
# The PE machine type of each Windows platform's DLL.
MACHINES = {"win_amd64": 0x8664, "win32": 0x14C}


def readme_python_section():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as file:
        text = file.read()
    return re.search(r"^## Python\n.*?(?=^## |\Z)", text, re.M | re.S).group(0)


def wheel_for(platform):
    if not WHEELS:
        pytest.skip("KSVHID_WHEELS is not set")
    found = [path for path in WHEELS if path.endswith(f"-py3-none-{platform}.whl")]
    assert len(found) == 1, f"one {platform} wheel among {WHEELS}"
    return found[0]


def other_python():
    """A python3 on PATH that is not Debian's (pyenv's, say), else this one."""
    for candidate in (shutil.which("python3"), sys.executable):
        probe = subprocess.run([candidate, "-c", "import sys; print(sys.base_prefix)"],
                               capture_output=True, text=True, check=True)
        if probe.stdout.strip() != "/usr":
            return candidate
    return sys.executable


def test_readme_example_after_wheel_install(tmp_path):
    section = readme_python_section()
    code, printed = re.search(r"```python\n(.*?)```\n+```text\n(.*?)```", section, re.S).groups()
    env_dir = tmp_path / "env"
    interpreter = other_python()
    # No pip of its own in the environment (ensurepip takes long): the interpreter's pip installs.
    subprocess.run([interpreter, "-m", "venv", "--without-pip", str(env_dir)], check=True,
                   timeout=120)
    python = str(env_dir / "bin" / "python")
    install = subprocess.run([interpreter, "-m", "pip", "--python", python, "install", "--no-index",
                              wheel_for("linux_x86_64")], capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    (tmp_path / "example.py").write_text(code, encoding="utf-8")
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("KSVHID_SIMULATION", "PYTHONPATH", "LD_LIBRARY_PATH")}
    run = subprocess.run([python, "example.py"], cwd=tmp_path, env=environment,
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr, run.stdout) == (0, "", printed)
    # Without KSVHID_LIBRARY, the library the wheel carries: the real one, and no modules here.
    del environment["KSVHID_LIBRARY"]
    where = "import ksvhid; print(ksvhid.library().path, ksvhid.module_count(), ksvhid.version())"
    check = subprocess.run([python, "-c", where], cwd=tmp_path, env=environment,
                           capture_output=True, text=True, timeout=60)
    path, count, version = check.stdout.split()
    assert path.startswith(str(env_dir)) and path.endswith("/ksvhid/libKSVHidApi.so.1")
    assert (count, version) == ("0", "1.3.170")


@pytest.mark.parametrize("platform", ["linux_x86_64", "win_amd64", "win32"])
def test_wheel_contents(platform):
    with zipfile.ZipFile(wheel_for(platform)) as wheel:
        names = wheel.namelist()
        metadata = wheel.read("ksvhid-1.3.170.dist-info/METADATA").decode("utf-8")
        library = [name for name in names if name.startswith("ksvhid/") and "KSVHidApi" in name]
        assert "ksvhid/py.typed" in names and len(library) == 1
        image = wheel.read(library[0])
        licence = wheel.read("ksvhid-1.3.170.dist-info/LICENSE")
    assert "\nVersion: 1.3.170\n" in metadata and "\nRequires-Python: >=3.8\n" in metadata
    # The licence as the metadata names it, and its text in the .dist-info folder.
    assert "\nLicense: MIT\n" in metadata and "\nAuthor: The KSVHidApi authors\n" in metadata
    with open(os.path.join(ROOT, "LICENSE"), "rb") as file:
        assert licence == file.read()
    assert metadata.split("\n\n", 1)[1].strip() == readme_python_section().strip()
    if platform in MACHINES:
        assert library == ["ksvhid/KSVHidApi.dll"]
        (offset,) = struct.unpack_from("<I", image, 0x3C)
        assert image[offset:offset + 4] == b"PE\0\0"
        assert struct.unpack_from("<H", image, offset + 4)[0] == MACHINES[platform]
    else:
        assert library == ["ksvhid/libKSVHidApi.so.1"] and image[:4] == b"\x7fELF"
        assert struct.unpack_from("<H", image, 0x12)[0] == 62  # x86-64
