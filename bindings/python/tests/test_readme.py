"""The README's Python example, run as written by a package that pip installed into a fresh
virtual environment, prints what the README says it prints."""

import os
import re
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")


def readme_example():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as file:
        text = file.read()
    section = text[text.index("\n## Python\n"):]
    section = section[: section.find("\n## ", 1)]
    code, printed = re.search(r"```python\n(.*?)```\n+```text\n(.*?)```", section, re.S).groups()
    return code, printed


def test_readme_example_after_pip_install(tmp_path):
    code, printed = readme_example()
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env_dir)],
                   check=True, timeout=120)
    python = str(env_dir / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         os.path.join(ROOT, "bindings", "python")],
        capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    (tmp_path / "example.py").write_text(code, encoding="utf-8")
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("KSVHID_LIBRARY", "KSVHID_SIMULATION", "PYTHONPATH")}
    environment["LD_LIBRARY_PATH"] = os.path.dirname(os.environ["KSVHID_LIBRARY"])
    run = subprocess.run([python, "example.py"], cwd=tmp_path, env=environment,
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout == printed
    # The installed copy, with its type marker, is what ran.
    where = ("import ksvhid, os; print(ksvhid.__file__); "
             "print(os.listdir(os.path.dirname(ksvhid.__file__)))")
    check = subprocess.run([python, "-c", where], cwd=tmp_path, env=environment,
                           capture_output=True, text=True, timeout=60)
    file, listing = check.stdout.splitlines()
    assert file.startswith(str(env_dir)) and "'py.typed'" in listing
