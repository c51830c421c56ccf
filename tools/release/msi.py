#!/usr/bin/env python3
"""The Windows Installer package of one width, made with wixl (Debian's msitools):

    msi.py --width x64|x86 --version V --files DIR --docs DIR --wxs FILE --out FILE.msi

installs every file under DIR (the width's folder of the release zip) and the texts README.txt,
LICENSE.txt and CHANGELOG.md of --docs in <Program Files>\\KSVHidApi, for all users of the machine
(the x86 package in Program Files (x86) on 64-bit Windows). Each width has its own UpgradeCode,
kept for ever, so a later version of the same width replaces this one and the two widths can be
installed side by side; each version has a ProductCode of its own. Component GUIDs are derived
from the UpgradeCode and the file's path, so that a file keeps its component from one version to
the next, as Windows Installer expects.
"""
import argparse
import os
import re
import subprocess
import sys
import uuid
from xml.sax.saxutils import quoteattr

UPGRADE_CODES = {
    "x64": "B9A9152B-90CF-4A0B-A874-5028F9F70239",
    "x86": "F26AD14A-AAE4-4571-BBD8-196032097CDA",
}
PROGRAM_FILES = {"x64": "ProgramFiles64Folder", "x86": "ProgramFilesFolder"}
DOCS = ("README.txt", "LICENSE.txt", "CHANGELOG.md")
MANUFACTURER = "The KSVHidApi authors"


def identifier(kind, relative):
    """A table key for a path: letters, digits, '_' and '.', at most 72 characters."""
    text = kind + "_" + re.sub(r"[^A-Za-z0-9_.]", "_", relative)
    if len(text) > 72:
        text = kind + "_" + uuid.uuid5(uuid.NAMESPACE_URL, relative).hex
    return text


def tree(files_dir):
    """{folder relative to the install folder ("" for itself): [(name, source path)]}."""
    folders = {"": []}
    for top, dirs, names in os.walk(files_dir):
        dirs.sort()
        relative = os.path.relpath(top, files_dir).replace(os.sep, "/")
        relative = "" if relative == "." else relative
        folders.setdefault(relative, [])
        for name in sorted(names):
            folders[relative].append((name, os.path.join(top, name)))
    return folders


def wxs(width, version, files_dir, docs_dir):
    upgrade = UPGRADE_CODES[width]
    win64 = "yes" if width == "x64" else "no"
    folders = tree(files_dir)
    folders[""] += [(name, os.path.join(docs_dir, name)) for name in DOCS]
    components = []

    def directory(relative, indent):
        lines = []
        for name, source in folders[relative]:
            path = f"{relative}/{name}" if relative else name
            component = identifier("c", path)
            guid = str(uuid.uuid5(uuid.UUID(upgrade), path)).upper()
            components.append(component)
            lines += [
                f'{indent}<Component Id="{component}" Guid="{guid}" Win64="{win64}">',
                f'{indent}  <File Id="{identifier("f", path)}" Name={quoteattr(name)} '
                f'Source={quoteattr(os.path.relpath(source, docs_dir))} KeyPath="yes"/>',
                f"{indent}</Component>",
            ]
        for sub in sorted(f for f in folders if f and os.path.dirname(f) == relative):
            lines.append(f'{indent}<Directory Id="{identifier("d", sub)}" '
                         f'Name={quoteattr(os.path.basename(sub))}>')
            lines += directory(sub, indent + "  ")
            lines.append(f"{indent}</Directory>")
        return lines

    body = directory("", " " * 10)
    refs = [f'      <ComponentRef Id="{c}"/>' for c in components]
    title = f"KSVHidApi {version} ({width})"
    # A new ProductCode for each version (a major upgrade), the same one whenever a version is made.
    product = str(uuid.uuid5(uuid.UUID(upgrade), "product " + version)).upper()
    return "\n".join([
        '<?xml version="1.0" encoding="utf-8"?>',
        '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
        f'  <Product Id="{product}" Name="{title}" Language="1033" Version="{version}"',
        f'           Manufacturer="{MANUFACTURER}" UpgradeCode="{upgrade}">',
        f'    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"',
        f'             Manufacturer="{MANUFACTURER}"',
        f'             Description="{title}: find and drive measurement modules"/>',
        '    <MajorUpgrade',
        '        DowngradeErrorMessage="A later version of KSVHidApi is already installed."/>',
        '    <Media Id="1" Cabinet="KSVHidApi.cab" EmbedCab="yes"/>',
        '    <Directory Id="TARGETDIR" Name="SourceDir">',
        f'      <Directory Id="{PROGRAM_FILES[width]}">',
        '        <Directory Id="INSTALLDIR" Name="KSVHidApi">',
        *body,
        "        </Directory>",
        "      </Directory>",
        "    </Directory>",
        '    <Feature Id="Complete" Title="KSVHidApi" Level="1">',
        *refs,
        "    </Feature>",
        "  </Product>",
        "</Wix>",
        "",
    ])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--width", required=True, choices=sorted(UPGRADE_CODES))
    parser.add_argument("--version", required=True)
    parser.add_argument("--files", required=True)
    parser.add_argument("--docs", required=True)
    parser.add_argument("--wxs", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.wxs, "w", encoding="utf-8") as file:
        file.write(wxs(args.width, args.version, args.files, args.docs))
    # wixl reads each Source relative to the folder it runs in: the docs folder, which holds the
    # width's folder too.
    subprocess.run(["wixl", "-a", args.width, "-o", os.path.abspath(args.out),
                    os.path.abspath(args.wxs)], check=True, cwd=args.docs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
