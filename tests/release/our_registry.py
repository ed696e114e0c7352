#!/usr/bin/env python3
"""Prints the registry entries of ours in a Wine prefix's registry file.

    our_registry.py REGFILE VALUES.TSV [PATH=NAME ...]
    our_registry.py --left BEFORE.reg AFTER.reg WORD...

REGFILE is system.reg (HKEY_LOCAL_MACHINE) or user.reg (HKEY_CURRENT_USER);
VALUES.TSV is the list registry_values.exe writes, which names our keys.
Prints one sorted line per value, "KEY<tab>NAME<tab>DATA" (a key without
values as "KEY<tab>(key)"), for every key under Software\\Classes and its
32-bit view Software\\Classes\\Wow6432Node that is one of our keys or lies
below one. Each PATH=NAME replaces the folder PATH (case ignored) by NAME in
the data, so that registrations of DLLs in different folders compare equal.

With --left, prints what AFTER holds and BEFORE did not (new keys, new or
changed values) that names one of the WORDs, case ignored: our name, our
GUIDs, the package's codes (also in the installer's packed form). Empty
keys the installer keeps for itself, and whatever Wine changes on its own,
name none of them.
"""
import re
import sys

ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\0"}


def unescape(text):
    """A Wine registry string as written: \\x{hex} (braces optional) and the
    single-letter escapes; any other escaped character stands for itself."""
    return re.sub(r"\\(?:x\{?([0-9a-fA-F]{1,4})\}?|(.))",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else ESCAPES.get(m.group(2), m.group(2)), text)


def read_reg(path):
    """{key: {name: data}} of a Wine registry file; name "" is the default."""
    keys, current = {}, None
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        while line.endswith("\\") and i + 1 < len(lines):  # continued hex data
            i += 1
            line = line[:-1] + lines[i].strip()
        i += 1
        if line.startswith("["):
            end = line.rindex("]")
            current = keys.setdefault(unescape(line[1:end]), {})
        elif current is not None and (line.startswith('"') or line.startswith("@")):
            if line.startswith("@"):
                name, rest = "", line[2:]
            else:
                m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)', line)
                name, rest = unescape(m.group(1)), m.group(2)
            if rest.startswith('"') and rest.endswith('"'):
                current[name] = unescape(rest[1:-1])
            else:
                current[name] = rest
    return keys


def packed(guid):
    """The installer's packed form of a GUID (as in its registry keys)."""
    h = guid.strip("{}").replace("-", "").upper()
    return h[7::-1] + h[11:7:-1] + h[15:11:-1] + "".join(h[i + 1] + h[i] for i in range(16, 32, 2))


def left(before_path, after_path, words):
    words = [w.lower() for w in words] + [packed(w).lower() for w in words if len(w.strip("{}")) == 36]
    before, after = read_reg(before_path), read_reg(after_path)
    out = []
    for key, named in after.items():
        old = before.get(key)
        entries = [(name, data) for name, data in named.items() if old is None or old.get(name) != data]
        if old is None and not named:
            entries.append(("(key)", ""))
        for name, data in entries:
            if any(w in f"{key}\t{name}\t{data}".lower() for w in words):
                out.append(f"{key}\t{name}\t{data}")
    print("\n".join(sorted(out)))


def main():
    if sys.argv[1] == "--left":
        return left(sys.argv[2], sys.argv[3], sys.argv[4:])
    reg, values = sys.argv[1], sys.argv[2]
    replacements = [arg.split("=", 1) for arg in sys.argv[3:]]
    ours = set()
    with open(values, encoding="utf-8") as f:
        for line in f:
            key = line.split("\t")[1]
            parts = key.split("\\")
            # A ProgID, or CLSID\{...}, TypeLib\{...}, Interface\{...}.
            ours.add("\\".join(parts[:2] if parts[0] in ("CLSID", "TypeLib", "Interface") else parts[:1]).lower())
    out = []
    for key, named in read_reg(reg).items():
        m = re.match(r"(?i)software\\classes\\(wow6432node\\)?(.*)", key)
        if not m:
            continue
        relative = m.group(2).lower()
        if not any(relative == o or relative.startswith(o + "\\") for o in ours):
            continue
        if not named:
            out.append(f"{key}\t(key)")
        for name, data in named.items():
            for path, token in replacements:
                data = re.sub(re.escape(path), lambda _: token, data, flags=re.IGNORECASE)
            out.append(f"{key}\t{name}\t{data}")
    print("\n".join(sorted(out, key=str.lower)))


if __name__ == "__main__":
    main()
