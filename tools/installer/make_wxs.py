#!/usr/bin/env python3
"""Writes the WiX source of one installer package for wixl.

    make_wxs.py FLAVOUR VERSION STAGE OUTPUT

FLAVOUR is one of
    x64   per machine, for 64-bit Windows: the x64 DLL in Program Files and
          the 64-bit registry, the x86 DLL in Program Files (x86) and the
          32-bit registry
    x86   per machine, for 32-bit Windows: the x86 DLL alone
    user  for the current user, on 64-bit Windows: both DLLs under the
          user's profile, registered under HKCU\\Software\\Classes only
STAGE holds x64/ and x86/ (veskmail.dll, veskmail.tlb, and values.tsv, the
registry values the DLL writes when registered, from registry_values.exe).
Every registry value of the package comes from values.tsv, so a package
registers exactly what regsvr32 does. Nothing here depends on the time or
the machine: the product code follows from the version, the component
codes are fixed, and wixl's own stamps are replaced afterwards
(fix_msi_stamps.py).
"""
import sys
import uuid
from xml.sax.saxutils import quoteattr

# Fixed for good: packages of one flavour upgrade each other by these.
UPGRADE_CODES = {
    "x64": "D52E76C7-D159-4C1C-9757-4BCC5448F104",
    "x86": "EB7B7C24-A309-4527-B36B-EC354FDA2DB7",
    "user": "53A2D62A-CF34-499B-AC35-D00A4AF2E11C",
}
# Product and component codes are name-based UUIDs in this namespace.
NAMESPACE = uuid.UUID("B0088513-94BD-4B84-B174-B5769A7024F4")

# For each flavour: (architecture, Win64, folder id, folder path) of each DLL.
# A folder path is a list of (id, name) under a standard folder.
LAYOUTS = {
    "x64": [("x64", "yes", "ProgramFiles64Folder", [("INSTALLDIR_X64", "VeskMail")]),
            ("x86", "no", "ProgramFilesFolder", [("INSTALLDIR_X86", "VeskMail")])],
    "x86": [("x86", "no", "ProgramFilesFolder", [("INSTALLDIR_X86", "VeskMail")])],
    "user": [("x64", "yes", "LocalAppDataFolder",
              [("USER_PROGRAMS", "Programs"), ("USER_VESKMAIL", "VeskMail"), ("INSTALLDIR_X64", "x64")]),
             ("x86", "no", "LocalAppDataFolder",
              [("USER_PROGRAMS", "Programs"), ("USER_VESKMAIL", "VeskMail"), ("INSTALLDIR_X86", "x86")])],
}


def code(*parts):
    return str(uuid.uuid5(NAMESPACE, "/".join(parts))).upper()


def formatted(text):
    """Text as a literal in the installer's formatted strings: brackets and
    braces would otherwise be read as properties and groups."""
    out = []
    for c in text:
        out.append("[\\" + c + "]" if c in "[]{}" else c)
    return "".join(out)


def read_values(path):
    values = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 4 or fields[0] not in ("text", "path", "folder", "key"):
                sys.exit(f"{path}:{number}: not KIND, KEY, NAME and DATA")
            values.append(tuple(fields))
    if not values:
        sys.exit(f"{path}: no values")
    return values


def registry_rows(arch, root, prefix, values, dll_file, folder):
    rows = []
    for index, (kind, key, name, data) in enumerate(values, 1):
        attributes = {"Id": f"reg_{arch}_{index:04d}", "Root": root, "Key": prefix + key, "Type": "string"}
        if kind == "key":
            # Created with the component and removed with it, holding no value.
            attributes.update(Name="*", Value="")
        else:
            if name in ("+", "-", "*"):
                sys.exit(f"value name {name!r} under {key} means something else to the installer")
            value = {"path": f"[#{dll_file}]", "folder": f"[{folder}]"}.get(kind) or formatted(data)
            if not value:
                sys.exit(f"empty value under {key}: the installer would not write it")
            if name:
                attributes["Name"] = name
            attributes["Value"] = value
        rows.append("<RegistryValue " + " ".join(f"{k}={quoteattr(v)}" for k, v in attributes.items()) + "/>")
    return rows


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in LAYOUTS:
        sys.exit("usage: make_wxs.py x64|x86|user VERSION STAGE OUTPUT")
    flavour, version, stage, output = sys.argv[1:]
    per_user = flavour == "user"
    root, prefix = ("HKCU" if per_user else "HKLM"), "Software\\Classes\\"

    lines = []
    add = lines.append
    add('<?xml version="1.0" encoding="utf-8"?>')
    add('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">')
    name = "VeskMail" + (" (current user)" if per_user else "")
    add(f'<Product Id="{code(flavour, "product", version)}" Name="{name}" Language="1033" Version="{version}"'
        f' Manufacturer="VeskMail" UpgradeCode="{UPGRADE_CODES[flavour]}">')
    scope = "perUser" if per_user else "perMachine"
    add(f'<Package InstallerVersion="500" Compressed="yes" InstallScope="{scope}"'
        f' Description="VeskMail {version} mail components"'
        ' Comments="In-process automation server veskmail.dll with its type library"/>')
    # A newer package removes the older one before it installs.
    add('<MajorUpgrade DowngradeErrorMessage="A newer version of VeskMail is already installed."/>')
    if flavour == "x86":
        add('<Condition Message="This package is for 32-bit Windows; on 64-bit Windows install'
            ' veskmail-x64.msi, which brings both the 64-bit and the 32-bit component.">NOT VersionNT64</Condition>')
    if flavour == "x64" or per_user:
        add('<Condition Message="This package is for 64-bit Windows.">VersionNT64</Condition>')
    add('<Media Id="1" Cabinet="veskmail.cab" EmbedCab="yes"/>')

    # The folders as a tree (the per-user layout shares its upper folders),
    # each DLL's component in its own folder.
    tree = {}
    for arch, win64, standard, folders in LAYOUTS[flavour]:
        node = tree.setdefault((standard, None), {})
        for folder in folders[:-1]:
            node = node.setdefault(folder, {})
        node[folders[-1]] = (arch, win64)
    components = []

    def emit(node):
        for (folder_id, folder_name), child in node.items():
            add(f'<Directory Id="{folder_id}"' + (f' Name="{folder_name}">' if folder_name else '>'))
            if isinstance(child, dict):
                if per_user and folder_name:
                    # A folder of ours in the profile, above the DLLs' own:
                    # removed on uninstall once empty.
                    add(f'<Component Id="folder_{folder_id}" Guid="{code(flavour, "folder", folder_id)}" Win64="yes">')
                    add(f'<RemoveFolder Id="remove_{folder_id}" On="uninstall"/>')
                    add('</Component>')
                    components.append(f"folder_{folder_id}")
                emit(child)
            else:
                arch, win64 = child
                component, dll_file = f"veskmail_{arch}", f"veskmail.dll_{arch}"
                add(f'<Component Id="{component}" Guid="{code(flavour, "component", arch)}" Win64="{win64}">')
                add(f'<File Id="{dll_file}" Name="veskmail.dll" Source="{arch}/veskmail.dll" KeyPath="yes"/>')
                add(f'<File Id="veskmail.tlb_{arch}" Name="veskmail.tlb" Source="{arch}/veskmail.tlb"/>')
                values = read_values(f"{stage}/{arch}/values.tsv")
                if arch == "x86" and len(LAYOUTS[flavour]) > 1:
                    # Windows keeps one set of ProgIDs for both views: the
                    # x64 component writes them (the same data) for both.
                    values = [v for v in values if v[1].split("\\")[0] in ("CLSID", "TypeLib", "Interface")]
                lines.extend(registry_rows(arch, root, prefix, values, dll_file, folder_id))
                if per_user:
                    # A folder in the profile is removed explicitly once
                    # emptied.
                    add(f'<RemoveFolder Id="remove_folder_{arch}" On="uninstall"/>')
                add('</Component>')
                components.append(component)
            add('</Directory>')

    add('<Directory Id="TARGETDIR" Name="SourceDir">')
    emit(tree)
    add('</Directory>')

    add('<Feature Id="VeskMail" Title="VeskMail" Level="1">')
    for component in components:
        add(f'<ComponentRef Id="{component}"/>')
    add('</Feature>')
    add('</Product>')
    add('</Wix>')
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(line for line in lines if line) + "\n")


if __name__ == "__main__":
    main()
