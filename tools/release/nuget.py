#!/usr/bin/env python3
"""The NuGet package KsvHid.VERSION.nupkg (called by tools/release.sh, which sets KSV_RELEASE_*):

    lib/netstandard2.0/KsvHid.dll, KsvHid.xml     the .NET binding and its documentation
    runtimes/win-x64/native/, runtimes/win-x86/native/
                                                   KSVHidApi.dll, KSVHidWatch.dll and
                                                   KSVHidDiagnose.dll of each width
    runtimes/linux-x64/native/                     libKSVHidApi.so, libKSVHidWatch.so and
                                                   libKSVHidDiagnose.so
    README.md, LICENSE.txt, KsvHid.nuspec          the package's readme, the licence, the manifest

The binding is the Linux tree's (compiled by Mono's mcs); .NET takes a native library of the
running platform from runtimes/<rid>/native/, and Mono finds libKSVHidApi.so by its own probing
of the library search path. The package is an Open Packaging Conventions zip, as nuget pack makes
it: the manifest, its relationship (_rels/.rels), the content types and the package properties.
"""
import os
import re
import subprocess
import sys
import time
import zipfile
from xml.sax.saxutils import escape

ROOT = os.environ["KSV_RELEASE_ROOT"]
BUILD = os.environ["KSV_RELEASE_BUILD"]
OUT = os.environ["KSV_RELEASE_OUT"]
WORK = os.environ["KSV_RELEASE_WORK"]
VERSION = os.environ["KSV_RELEASE_VERSION"]
AUTHORS = "The KSVHidApi authors"


def section(path, heading, level="##"):
    """The text under HEADING of a Markdown file, up to the next heading of that level."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    match = re.search(rf"^{level} {re.escape(heading)}\n.*?(?=^{level} |\Z)", text, re.M | re.S)
    if not match:
        raise SystemExit(f"{path}: no '{level} {heading}' section")
    return match.group(0).rstrip() + "\n"


def stripped_copy(source, name):
    """A copy of a Linux library without its debugging sections (the tree is RelWithDebInfo)."""
    target = os.path.join(WORK, "nuget-" + name)
    subprocess.run(["strip", "--strip-unneeded", "-o", target, source], check=True)
    return target


def nuspec(release_notes):
    description = ("Find and drive measurement modules that attach over USB as HID devices: the "
                   "KSVHidApi library for .NET, with its native libraries for Windows (x64, x86) "
                   "and Linux (x64).")
    return f"""<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>KsvHid</id>
    <version>{VERSION}</version>
    <title>KsvHid</title>
    <authors>{AUTHORS}</authors>
    <owners>{AUTHORS}</owners>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <license type="expression">MIT</license>
    <readme>README.md</readme>
    <description>{escape(description)}</description>
    <releaseNotes>{escape(release_notes)}</releaseNotes>
    <copyright>Copyright (c) {AUTHORS}</copyright>
    <tags>hid usb measurement native</tags>
    <dependencies>
      <group targetFramework=".NETStandard2.0" />
    </dependencies>
  </metadata>
</package>
"""


def main():
    dotnet = os.path.join(BUILD, "linux", "bindings", "dotnet")
    linux = os.path.join(BUILD, "linux", "Library")
    files = [
        ("lib/netstandard2.0/KsvHid.dll", os.path.join(dotnet, "KsvHid.dll")),
        ("lib/netstandard2.0/KsvHid.xml", os.path.join(dotnet, "KsvHid.xml")),
    ]
    for rid, tree in (("win-x64", "windows"), ("win-x86", "windows32")):
        for name in ("KSVHidApi.dll", "KSVHidWatch.dll", "KSVHidDiagnose.dll"):
            files.append((f"runtimes/{rid}/native/{name}", os.path.join(BUILD, tree, "bin", name)))
    for name in ("libKSVHidApi.so", "libKSVHidWatch.so", "libKSVHidDiagnose.so"):
        real = os.path.realpath(os.path.join(linux, name))
        files.append((f"runtimes/linux-x64/native/{name}", stripped_copy(real, name)))

    with open(os.path.join(ROOT, "tools", "release", "nuget-readme.md"), encoding="utf-8") as file:
        readme = file.read()
    notes = section(os.path.join(ROOT, "CHANGELOG.md"), VERSION)
    entries = [("KsvHid.nuspec", nuspec(notes).encode()), ("README.md", readme.encode())]
    with open(os.path.join(ROOT, "LICENSE"), "rb") as file:
        entries.append(("LICENSE.txt", file.read()))
    for name, source in files:
        with open(source, "rb") as file:
            entries.append((name, file.read()))

    extensions = sorted({os.path.splitext(name)[1][1:] for name, _ in entries} | {"rels", "psmdcp"})
    types = "".join(f'<Default Extension="{e}" ContentType="application/octet" />'
                    for e in extensions if e not in ("rels", "psmdcp"))
    entries.append(("[Content_Types].xml", (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" '
        'ContentType="application/vnd.openxmlformats-package.relationships+xml" />'
        '<Default Extension="psmdcp" '
        'ContentType="application/vnd.openxmlformats-package.core-properties+xml" />'
        f"{types}</Types>").encode()))
    properties = "package/services/metadata/core-properties/ksvhid.psmdcp"
    entries.append(("_rels/.rels", (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" '
        'Target="/KsvHid.nuspec" Id="manifest" />'
        '<Relationship Type="http://schemas.openxmlformats.org/package/2006/relationships/'
        f'metadata/core-properties" Target="/{properties}" Id="properties" />'
        "</Relationships>").encode()))
    entries.append((properties, (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<coreProperties xmlns:dc="http://purl.org/dc/elements/1.1/" '
        'xmlns:dcterms="http://purl.org/dc/terms/" '
        'xmlns="http://schemas.openxmlformats.org/package/2006/metadata/core-properties">'
        f"<dc:creator>{AUTHORS}</dc:creator><dc:identifier>KsvHid</dc:identifier>"
        f"<version>{VERSION}</version><keywords>hid usb measurement native</keywords>"
        "</coreProperties>").encode()))

    stamp = time.gmtime(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")))[:6]
    target = os.path.join(OUT, f"KsvHid.{VERSION}.nupkg")
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as package:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=max(stamp, (1980, 1, 1, 0, 0, 0)))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            package.writestr(info, data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
