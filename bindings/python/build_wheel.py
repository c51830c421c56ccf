"""Builds the ksvhid wheel that carries one build of the library.

    build_wheel.py --library FILE [--watch-library FILE] [--diagnose-library FILE] --platform TAG
                   --readme README.md --out DIR

TAG is the wheel's platform tag: linux_x86_64 (FILE is libKSVHidApi.so.1), win_amd64 or win32
(FILE is the matching KSVHidApi.dll). The package, pyproject.toml's metadata and the README's
"Python" section (the description) and the licence are staged in a scratch folder beside DIR, with the library
inside the package under the name the package looks for (and KSVHidWatch and KSVHidDiagnose
beside it, for ksvhid.watch and ksvhid.diagnose), and setuptools' bdist_wheel makes
DIR/ksvhid-VERSION-py3-none-TAG.whl. Needs setuptools and wheel (Debian's python3-setuptools and
python3-wheel); reads pyproject.toml with tomllib (Python 3.11).
"""

import argparse
import os
import re
import shutil
import sys
import tomllib
import warnings

from setuptools import setup
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
CARRIED_NAMES = {"linux_x86_64": "libKSVHidApi.so.1", "win_amd64": "KSVHidApi.dll",
                 "win32": "KSVHidApi.dll"}
WATCH_NAMES = {"linux_x86_64": "libKSVHidWatch.so.1", "win_amd64": "KSVHidWatch.dll",
               "win32": "KSVHidWatch.dll"}
DIAGNOSE_NAMES = {"linux_x86_64": "libKSVHidDiagnose.so.1", "win_amd64": "KSVHidDiagnose.dll",
                  "win32": "KSVHidDiagnose.dll"}


class PlatformWheel(bdist_wheel):
    """A wheel for any Python 3 on one platform: no extension module, but a native library."""

    def get_tag(self):
        return "py3", "none", self.plat_name


def python_section(readme_path):
    """The README's "## Python" section, up to the next section of that level."""
    with open(readme_path, encoding="utf-8") as file:
        text = file.read()
    match = re.search(r"^## Python\n.*?(?=^## |\Z)", text, re.M | re.S)
    if not match:
        raise SystemExit(f"{readme_path}: no '## Python' section")
    return match.group(0).rstrip() + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", required=True)
    parser.add_argument("--platform", required=True, choices=sorted(CARRIED_NAMES))
    parser.add_argument("--watch-library")
    parser.add_argument("--diagnose-library")
    parser.add_argument("--readme", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    with open(os.path.join(HERE, "pyproject.toml"), "rb") as file:
        project = tomllib.load(file)["project"]
    out = os.path.abspath(args.out)
    description = python_section(args.readme)
    stage = out + ".stage-" + args.platform
    shutil.rmtree(stage, ignore_errors=True)
    package = os.path.join(stage, "ksvhid")
    shutil.copytree(os.path.join(HERE, "src", "ksvhid"), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    carried = CARRIED_NAMES[args.platform]
    shutil.copyfile(args.library, os.path.join(package, carried))
    data = ["py.typed", carried]
    if args.watch_library:
        data.append(WATCH_NAMES[args.platform])
        shutil.copyfile(args.watch_library, os.path.join(package, data[-1]))
    if args.diagnose_library:
        data.append(DIAGNOSE_NAMES[args.platform])
        shutil.copyfile(args.diagnose_library, os.path.join(package, data[-1]))
    os.makedirs(out, exist_ok=True)
    # The licence, which bdist_wheel puts in the wheel's .dist-info folder.
    shutil.copyfile(os.path.join(HERE, "..", "..", "LICENSE"), os.path.join(stage, "LICENSE"))

    os.chdir(stage)
    # setuptools warns that its install step, which bdist_wheel runs, is deprecated.
    warnings.simplefilter("ignore")
    setup(
        name=project["name"],
        version=project["version"],
        description=project["description"],
        long_description=description,
        long_description_content_type="text/markdown",
        python_requires=project["requires-python"],
        author=project["authors"][0]["name"],
        license=project["license"]["text"],
        license_files=["LICENSE"],
        classifiers=project["classifiers"],
        packages=["ksvhid"],
        package_data={"ksvhid": data},
        cmdclass={"bdist_wheel": PlatformWheel},
        script_args=["-q", "bdist_wheel", "--plat-name", args.platform, "--dist-dir", out,
                     "--bdist-dir", os.path.join(stage, "bdist")],
    )
    os.chdir(out)
    shutil.rmtree(stage)
    return 0


if __name__ == "__main__":
    sys.exit(main())
