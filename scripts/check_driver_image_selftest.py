#!/usr/bin/env python3
"""Shows that each check of check_driver_image.py fails when it should.

Takes a built image that passes, damages a copy in one way at a time (with the header
checksum rewritten afterwards unless the checksum is the damage) and expects exactly the
matching check to fail. The stack walk is tested on small call graphs with known figures.
"""
import contextlib
import io
import os
import shutil
import struct
import sys
import tempfile

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
    img = chk.parse_image(good)
    pe = struct.unpack_from("<I", good, 0x3C)[0]
    opt = pe + 24
    section_table = opt + struct.unpack_from("<H", good, pe + 20)[0]
    text = next(i for i, s in enumerate(img.sections) if s.flags & chk.SCN_MEM_EXECUTE)

    def put(fmt, offset, value):
        return lambda d: struct.pack_into(fmt, d, offset, value)

    def rename(old, new):
        def apply(d):
            at = bytes(d).index(old + b"\0")
            d[at : at + len(new)] = new
        return apply

    def entry_code(d):
        # fldz at the entry point
        d[img.rva_to_offset(img.entry) : img.rva_to_offset(img.entry) + 2] = b"\xd9\xee"

    cases = [
        ("pe32-i386", put("<H", pe + 4, 0x8664)),
        ("native-subsystem", put("<H", opt + 68, 2)),
        ("native-subsystem", put("<H", opt + 48, 6)),
        ("entry-point", put("<I", opt + 16, img.entry + 16)),
        ("checksum", None),
        ("imports", rename(b"ntoskrnl.exe", b"ntoskrnl.exf")),
        ("imports", rename(b"memcpy", b"memcpx")),
        ("no-writable-code", put("<I", section_table + 40 * text + 36,
                                 img.sections[text].flags | chk.SCN_MEM_WRITE)),
        ("non-paged", put("<I", section_table + 40 * text + 36,
                          img.sections[text].flags | chk.SCN_MEM_DISCARDABLE)),
        ("non-paged", put("8s", section_table + 40 * text, b"PAGE")),
        ("no-fpu-code", entry_code),
        ("relocations", put("<I", opt + 96 + 8 * 5 + 4, 0)),
        ("version-resource", put("<I", opt + 96 + 8 * 2 + 4, 0)),
        ("version-resource", rename("nmeafilt.sys".encode("utf-16-le")[:-1], "nmeafilt.sy_".encode("utf-16-le")[:-1])),
    ]
    for want, damage in cases:
        data = bytearray(good)
        if damage is None:
            struct.pack_into("<I", data, pe_checksum.checksum_offset(data),
                             pe_checksum.stored(good) ^ 0x10)
        else:
            damage(data)
            struct.pack_into("<I", data, pe_checksum.checksum_offset(data), pe_checksum.compute(data))
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
