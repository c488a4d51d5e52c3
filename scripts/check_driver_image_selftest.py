#!/usr/bin/env python3
"""Shows that each check of check_driver_image.py fails when it should.

Takes a built image that passes, damages a copy in one way at a time (with the header
checksum rewritten afterwards unless the checksum is the damage) and expects exactly the
matching check to fail. The stack walk is tested on small call graphs with known figures.
"""
import contextlib
import io
import os
import sys
import tempfile

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_driver_image as chk  # noqa: E402
import pe_checksum  # noqa: E402

failures = []
extra_args = []  # checker options given after the three paths, used for every run


def expect(name, cond, detail=""):
    print(f"[{'ok' if cond else 'WRONG'}] {name}" + (f": {detail}" if detail and not cond else ""))
    if not cond:
        failures.append(name)


def run_checker(image, map_path, objects):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        rc = chk.main([image, "--map", map_path, "--objects", objects, *extra_args])
    failed = {line.split("]")[1].split(":")[0].strip()
              for line in out.getvalue().splitlines() if line.startswith("[FAIL]")}
    return rc, failed, out.getvalue()


def patched_image_cases(image, map_path, objects, workdir):
    with open(image, "rb") as f:
        good = f.read()
    text = next(i for i, s in enumerate(chk.load(good).sections) if s.IMAGE_SCN_MEM_EXECUTE)

    def put(record, name, change):
        """Damage to a header field: `record` finds the header in the image, `change` maps the
        good value to the damaged one."""
        def apply(pe):
            target = record(pe)
            setattr(target, name, change(getattr(target, name)))
        return apply

    def file_header(pe):
        return pe.FILE_HEADER

    def optional_header(pe):
        return pe.OPTIONAL_HEADER

    def code_section(pe):
        return pe.sections[text]

    def directory(name):
        return lambda pe: chk.directory(pe, name)

    def rename(old, new):
        return lambda pe: pe.set_bytes_at_offset(bytes(pe.__data__).index(old + b"\0"), new)

    def entry_code(pe):
        pe.set_bytes_at_rva(pe.OPTIONAL_HEADER.AddressOfEntryPoint, b"\xd9\xee")  # fldz

    scn = pefile.SECTION_CHARACTERISTICS
    cases = [
        ("pe32-i386", put(file_header, "Machine", lambda _: 0x8664)),
        ("native-subsystem", put(optional_header, "Subsystem", lambda _: 2)),
        ("native-subsystem", put(optional_header, "MajorSubsystemVersion", lambda _: 6)),
        ("entry-point", put(optional_header, "AddressOfEntryPoint", lambda v: v + 16)),
        ("checksum", None),
        ("imports", rename(b"ntoskrnl.exe", b"ntoskrnl.exf")),
        ("imports", rename(b"memcpy", b"memcpx")),
        ("no-writable-code", put(code_section, "Characteristics", lambda v: v | scn["IMAGE_SCN_MEM_WRITE"])),
        ("non-paged", put(code_section, "Characteristics", lambda v: v | scn["IMAGE_SCN_MEM_DISCARDABLE"])),
        ("non-paged", put(code_section, "Name", lambda _: b"PAGE")),
        ("non-paged", put(code_section, "Name", lambda _: b"INIT")),
        ("non-paged", put(code_section, "Name", lambda _: b".edata")),
        ("no-fpu-code", entry_code),
        ("relocations", put(directory("IMAGE_DIRECTORY_ENTRY_BASERELOC"), "Size", lambda _: 0)),
        ("version-resource", put(directory("IMAGE_DIRECTORY_ENTRY_RESOURCE"), "Size", lambda _: 0)),
        ("version-resource", rename("nmeafilt.sys".encode("utf-16-le")[:-1], "nmeafilt.sy_".encode("utf-16-le")[:-1])),
    ]
    for want, damage in cases:
        pe = chk.load(good)
        if damage is None:
            pe.OPTIONAL_HEADER.CheckSum ^= 0x10
            data = pe.write()
        else:
            damage(pe)
            data = pe_checksum.with_checksum(pe.write())
        path = os.path.join(workdir, "damaged.sys")
        with open(path, "wb") as f:
            f.write(data)
        rc, failed, _ = run_checker(path, map_path, objects)
        expect(f"image damage caught by {want}", rc == 1 and want in failed, f"failed: {sorted(failed)}")

    # A constructor list that is not empty, as the linker would lay one out.
    with open(map_path) as f:
        text_map = f.read()
    dtor = chk.map_symbols(text_map)["DTOR_LIST__"]
    bad_map = os.path.join(workdir, "damaged.map")
    with open(bad_map, "w") as f:
        f.write(text_map.replace(f"0x{dtor:08x}", f"0x{dtor + 4:08x}"))
    rc, failed, _ = run_checker(image, bad_map, objects)
    expect("constructor list caught", rc == 1 and "no-static-constructors" in failed, f"{sorted(failed)}")


def graph(units):
    """Writes one .ci file per unit: {unit: [(title, label-name, bytes, kind, [callees])]}."""
    d = tempfile.mkdtemp()
    for unit, nodes in units.items():
        lines = [f'graph: {{ title: "{unit}"']
        for title, name, size, kind, callees in nodes:
            lines.append(f'node: {{ title: "{title}" label: "{name}\\n{unit}:1:1\\n{size} bytes ({kind})" }}')
            for c in callees:
                lines.append(f'edge: {{ sourcename: "{title}" targetname: "{c}" label: "{unit}:2:2" }}')
        with open(os.path.join(d, unit + ".ci"), "w") as f:
            f.write("\n".join(lines) + "\n}\n")
    return sorted(os.path.join(d, u + ".ci") for u in units)


def stack_cases():
    root = ("FilterReadComplete@12", "long int FilterReadComplete(void*, void*, void*)")
    # Deepest path picks the heavier branch across units; a static helper of the same name in
    # another unit is not confused with the one the caller sees.
    paths = graph({
        "read.cpp": [(*root, 40, "static", ["_Z1av", "memcpy"])],
        "a.cpp": [("_Z1av", "void a()", 100, "static", ["_Z6helperv", "_Z1bv", "___udivdi3"]),
                  ("_Z6helperv", "void helper()", 8, "static", [])],
        "b.cpp": [("_Z1bv", "void b()", 600, "dynamic,bounded", []),
                  ("_Z6helperv", "void helper()", 5000, "static", [])],
    })
    total, path, problems, _ = chk.deepest(chk.parse_callgraphs(paths), "FilterReadComplete", set(), {"memcpy"})
    expect("stack sums the deepest path", total == 740 and not problems, f"{total} {path} {problems}")
    # callees outside our units get their allowance
    paths = graph({"r.cpp": [(*root, 40, "static", ["___udivdi3"])]})
    total, _, _, _ = chk.deepest(chk.parse_callgraphs(paths), "FilterReadComplete", set(), set())
    expect("outside callee counted", total == 40 + chk.OUTSIDE_FRAME, f"{total}")

    bad = {
        "recursion": {"r.cpp": [(*root, 40, "static", ["_Z1fv"]), ("_Z1fv", "void f()", 16, "static", ["_Z1fv"])]},
        "indirect call": {"r.cpp": [(*root, 40, "static", ["__indirect_call"])]},
        "unbounded frame": {"r.cpp": [(*root, 40, "static", ["_Z1fv"]), ("_Z1fv", "void f()", 16, "dynamic", [])]},
        "over budget": {"r.cpp": [(*root, 1000, "static", ["_Z1fv"]), ("_Z1fv", "void f()", 537, "static", [])]},
        "root missing": {"r.cpp": [("_Z1fv", "void f()", 16, "static", [])]},
    }
    for name, units in bad.items():
        r = chk.Report()
        with contextlib.redirect_stdout(io.StringIO()):
            chk.check_stack(r, graph(units), "FilterReadComplete", 1536, set(), set())
        expect(f"stack check fails on {name}", r.failed == ["stack"])
    r = chk.Report()
    with contextlib.redirect_stdout(io.StringIO()):
        chk.check_stack(r, graph(bad["indirect call"]), "FilterReadComplete", 1536, {"FilterReadComplete"}, set())
    expect("indirect call accepted where declared", not r.failed)


def main():
    if len(sys.argv) < 4:
        print("usage: check_driver_image_selftest.py IMAGE MAP OBJECT-DIR [CHECKER-OPTIONS...]")
        return 2
    image, map_path, objects = sys.argv[1:4]
    extra_args.extend(sys.argv[4:])
    rc, failed, output = run_checker(image, map_path, objects)
    expect("the built image passes", rc == 0, output)
    with tempfile.TemporaryDirectory() as workdir:
        patched_image_cases(image, map_path, objects, workdir)
    stack_cases()
    if failures:
        print(f"checker self-test FAILED: {failures}")
        return 1
    print("checker self-test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
