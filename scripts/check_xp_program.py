#!/usr/bin/env python3
"""Checks that a user-mode program loads on Windows XP: PE32 for i386, console subsystem 5.01,
no DLL beyond kernel32, advapi32, setupapi and msvcrt, and from those only names XP exports
(kernel32: only names on its list; the others: no name on the list of later additions).

--selftest damages copies of the program (one import renamed, a newer subsystem version) and
expects each to be refused, so that a check which cannot fail does not go unnoticed."""
import argparse
import os
import sys
import tempfile

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_driver_image import MACHINE_I386, Report, load, read_imports  # noqa: E402

SUBSYSTEM_CONSOLE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]
ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "setupapi.dll", "msvcrt.dll"}


def load_lists(folder):
    with open(os.path.join(folder, "kernel32.txt")) as f:
        kernel32 = {line.strip() for line in f if line.strip() and not line.startswith("#")}
    later = set()
    with open(os.path.join(folder, "post_xp.txt")) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2 and not line.startswith("#"):
                later.add((parts[0].lower() + ".dll", parts[1]))
    return kernel32, later


def check(path, exports):
    kernel32, later = load_lists(exports)
    with open(path, "rb") as f:
        pe = load(f.read())
    r = Report()
    machine, magic = pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic
    r.check("pe32-i386", machine == MACHINE_I386 and magic == pefile.OPTIONAL_HEADER_MAGIC_PE,
            f"machine 0x{machine:04x}, optional header 0x{magic:04x}")
    oh = pe.OPTIONAL_HEADER
    version = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    r.check("console-5.01", oh.Subsystem == SUBSYSTEM_CONSOLE and version == (5, 1),
            f"subsystem {oh.Subsystem}, version {version[0]}.{version[1]:02d}")
    imports = [(dll.lower(), name) for dll, name in read_imports(pe)]
    dlls = sorted({dll for dll, _ in imports})
    r.check("dlls", set(dlls) <= ALLOWED_DLLS, ", ".join(dlls))
    bad = [f"{dll}!{name}" for dll, name in imports
           if name.startswith("#")
           or (dll == "kernel32.dll" and name not in kernel32)
           or (dll, name) in later]
    r.check("xp-exports", not bad, f"{len(imports)} imports" + (": not on XP: " + ", ".join(bad) if bad else ", all on XP"))
    return 1 if r.failed else 0


def damaged(data, how):
    pe = load(data)
    if how == "import":
        pe.set_bytes_at_offset(bytes(pe.__data__).index(b"\0CreateFileA\0") + 1, b"CreateFileX")
    else:
        pe.OPTIONAL_HEADER.MajorSubsystemVersion = 6
        pe.OPTIONAL_HEADER.MinorSubsystemVersion = 0
    return bytes(pe.write())


def selftest(path, exports):
    with open(path, "rb") as f:
        data = f.read()
    failures = 0
    for how in ("import", "subsystem"):
        with tempfile.NamedTemporaryFile(suffix=".exe") as tmp:
            tmp.write(damaged(data, how))
            tmp.flush()
            print(f"-- damaged copy ({how}); expected to be refused:")
            if check(tmp.name, exports) == 0:
                print(f"[FAIL] selftest: a copy with a damaged {how} passed")
                failures += 1
    return failures


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("program")
    p.add_argument("--exports", default=os.path.join(here, "..", "tests", "data", "xp-exports"))
    p.add_argument("--selftest", action="store_true")
    a = p.parse_args()
    status = check(a.program, a.exports)
    if a.selftest:
        status |= 1 if selftest(a.program, a.exports) else 0
    return status


if __name__ == "__main__":
    sys.exit(main())
