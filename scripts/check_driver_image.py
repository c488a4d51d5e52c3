#!/usr/bin/env python3
"""Checks the driver image nmeafilt.sys for what the Windows XP kernel needs of it.

Inputs: the image, the linker map written next to it, and the object directory of the
build (objects, and the per-unit call graphs with stack figures that -fcallgraph-info=su
writes). Every check prints one line; the exit status is 1 if any check failed.
"""
import argparse
import glob
import os
import re
import struct
import subprocess
import sys
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_checksum  # noqa: E402

IMAGE_FILE_MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
SUBSYSTEM_NATIVE = 1
SCN_CNT_CODE = 0x00000020
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SCN_MEM_DISCARDABLE = 0x02000000

# What the driver may import. Windows XP exports all of these; the I/O, event, power,
# mapping, pool, string and registry routines are the ones the driver calls, and the
# memory and 64-bit arithmetic routines are the ones the compiler may emit calls to.
ALLOWED_IMPORTS = {
    "ntoskrnl.exe": {
        "IoCreateDevice", "IoAttachDeviceToDeviceStack", "IoDetachDevice", "IoDeleteDevice",
        "IofCallDriver", "IofCompleteRequest", "IoAllocateIrp", "IoFreeIrp", "IoCancelIrp",
        "KeInitializeEvent", "KeWaitForSingleObject", "KeSetEvent",
        "PoStartNextPowerIrp", "PoCallDriver",
        "MmMapIoSpace", "MmUnmapIoSpace", "ExAllocatePoolWithTag", "ExFreePool",
        "RtlInitUnicodeString", "RtlAppendUnicodeStringToString", "RtlWriteRegistryValue",
        "memcpy", "memset", "memmove",
        "_alldiv", "_allrem", "_aulldiv", "_aullrem", "_allmul",
    },
    "hal.dll": set(),
}

# Mnemonics and operands of the x87, MMX and SSE units, in objdump's AT&T syntax.
FPU_MNEMONIC = re.compile(r"^(f[a-z0-9]*|emms|femms|wait|ldmxcsr|stmxcsr|vldmxcsr|vstmxcsr)$")
FPU_OPERAND = re.compile(r"%(st\b|st\(|mm[0-7]\b|[xyz]mm[0-9]+\b)")

STACK_ROOT = "FilterReadComplete"
STACK_BUDGET = 1536
# Frame allowance for a callee outside our units: the kernel's memory routines and libgcc's
# 64-bit division, all leaves whose frames are a few pushes, far below this.
OUTSIDE_FRAME = 64


@dataclass
class Section:
    name: str
    vaddr: int
    vsize: int
    raw_offset: int
    raw_size: int
    flags: int


@dataclass
class Image:
    data: bytes
    machine: int = 0
    magic: int = 0
    entry: int = 0
    image_base: int = 0
    subsystem: int = 0
    subsystem_version: tuple = (0, 0)
    sections: list = field(default_factory=list)
    directories: list = field(default_factory=list)

    def rva_to_offset(self, rva: int) -> int:
        for s in self.sections:
            if s.vaddr <= rva < s.vaddr + max(s.vsize, s.raw_size):
                if rva - s.vaddr >= s.raw_size:
                    raise ValueError(f"RVA 0x{rva:x} lies in uninitialised data")
                return s.raw_offset + rva - s.vaddr
        raise ValueError(f"RVA 0x{rva:x} is in no section")

    def section_at(self, rva: int):
        for s in self.sections:
            if s.vaddr <= rva < s.vaddr + max(s.vsize, s.raw_size):
                return s
        return None

    def cstring(self, rva: int) -> str:
        off = self.rva_to_offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")


def parse_image(data: bytes) -> Image:
    img = Image(data)
    if data[:2] != b"MZ":
        raise ValueError("not an MZ executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    img.machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    img.magic = struct.unpack_from("<H", data, opt)[0]
    if img.magic != PE32_MAGIC:
        return img
    img.entry = struct.unpack_from("<I", data, opt + 16)[0]
    img.image_base = struct.unpack_from("<I", data, opt + 28)[0]
    img.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
    img.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    ndirs = struct.unpack_from("<I", data, opt + 92)[0]
    img.directories = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(min(ndirs, 16))]
    table = opt + opt_size
    for i in range(nsections):
        raw = struct.unpack_from("<8sIIIIIIHHI", data, table + 40 * i)
        name = raw[0].rstrip(b"\0").decode("ascii", "replace")
        img.sections.append(Section(name, raw[2], raw[1], raw[4], raw[3], raw[9]))
    return img


def read_imports(img: Image):
    """[(dll, name-or-'#ordinal')] from the import directory."""
    rva, size = img.directories[1] if len(img.directories) > 1 else (0, 0)
    result = []
    if not rva:
        return result
    off = img.rva_to_offset(rva)
    while True:
        lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", img.data, off)
        if not (lookup or name_rva or thunk):
            break
        dll = img.cstring(name_rva)
        entry = img.rva_to_offset(lookup or thunk)
        while True:
            value = struct.unpack_from("<I", img.data, entry)[0]
            if not value:
                break
            if value & 0x80000000:
                result.append((dll, f"#{value & 0xFFFF}"))
            else:
                result.append((dll, img.cstring(value + 2)))
            entry += 4
        off += 20
    return result


def map_symbols(map_text: str) -> dict:
    """Global symbol -> address from a GNU ld map (names without the leading underscore)."""
    symbols = {}
    for m in re.finditer(r"^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_.$@?][\w.$@?]*)\s*$", map_text, re.M):
        symbols.setdefault(m.group(2).lstrip("_"), int(m.group(1), 16))
    for m in re.finditer(r"^\s+0x([0-9a-fA-F]+)\s+(\w+)\s*=\s*\.", map_text, re.M):
        symbols.setdefault(m.group(2).lstrip("_"), int(m.group(1), 16))
    return symbols


class Report:
    def __init__(self):
        self.failed = []

    def check(self, name: str, ok: bool, detail: str):
        print(f"[{'PASS' if ok else 'FAIL'}] {name}: {detail}")
        if not ok:
            self.failed.append(name)


def check_header(r: Report, img: Image):
    r.check("pe32-i386", img.machine == IMAGE_FILE_MACHINE_I386 and img.magic == PE32_MAGIC,
            f"machine 0x{img.machine:04x}, optional header magic 0x{img.magic:04x}")
    ok = img.subsystem == SUBSYSTEM_NATIVE and img.subsystem_version <= (5, 1)
    r.check("native-subsystem", ok,
            f"subsystem {img.subsystem}, version {img.subsystem_version[0]}.{img.subsystem_version[1]}")


def check_entry(r: Report, img: Image, symbols: dict):
    names = [n for n in symbols if n == "DriverEntry" or n.startswith("DriverEntry@")]
    if len(names) != 1:
        r.check("entry-point", False, f"DriverEntry in the map: {names or 'none'}")
        return
    rva = symbols[names[0]] - img.image_base
    section = img.section_at(img.entry)
    in_code = section is not None and bool(section.flags & SCN_MEM_EXECUTE)
    r.check("entry-point", img.entry == rva and in_code,
            f"AddressOfEntryPoint 0x{img.entry:x}, {names[0]} at 0x{rva:x}"
            + ("" if in_code else ", not in an executable section"))


def check_checksum(r: Report, img: Image):
    have, want = pe_checksum.stored(img.data), pe_checksum.compute(img.data)
    r.check("checksum", have == want and have != 0, f"stored 0x{have:08x}, computed 0x{want:08x}")


def check_imports(r: Report, img: Image):
    imports = read_imports(img)
    bad = [f"{dll}!{name}" for dll, name in imports
           if name not in ALLOWED_IMPORTS.get(dll.lower(), set())]
    listing = ", ".join(f"{dll}!{name}" for dll, name in imports)
    r.check("imports", not bad and bool(imports),
            (f"not allowed: {', '.join(bad)}; " if bad else "") + f"{len(imports)}: {listing}")


def check_sections(r: Report, img: Image):
    bad = [s.name for s in img.sections
           if (s.flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE)) and s.flags & SCN_MEM_WRITE]
    desc = ", ".join(f"{s.name}(0x{s.flags:08x})" for s in img.sections)
    r.check("no-writable-code", not bad, (f"writable and executable: {bad}; " if bad else "") + desc)
    # The read path runs at dispatch level: no code or data may be paged out or discarded.
    paged = [s.name for s in img.sections if s.name.upper().startswith(("PAGE", "INIT"))
             or (s.flags & SCN_MEM_DISCARDABLE and s.name != ".reloc")]
    r.check("non-paged", not paged, f"pageable or discardable: {paged}" if paged else "every section resident")
    relocs = len(img.directories) > 5 and img.directories[5][1] > 0
    r.check("relocations", relocs, "base relocations present" if relocs else "no base relocations")


def check_version_resource(r: Report, img: Image):
    rva, size = img.directories[2] if len(img.directories) > 2 else (0, 0)
    types = []
    if rva and size:
        root = img.rva_to_offset(rva)
        named, ids = struct.unpack_from("<HH", img.data, root + 12)
        types = [struct.unpack_from("<I", img.data, root + 16 + 8 * i)[0] for i in range(named + ids)]
        blob = img.data[root : root + size]
    has_version = 16 in types  # RT_VERSION
    names = "nmeafilt.sys".encode("utf-16-le") in blob if has_version else False
    r.check("version-resource", has_version and names,
            "VERSIONINFO naming nmeafilt.sys" if has_version and names
            else f"resource types {types}, file name {'found' if names else 'missing'}")


def check_fpu(r: Report, image_path: str, objdump: str):
    run = subprocess.run([objdump, "-d", "--no-show-raw-insn", image_path],
                         capture_output=True, text=True)
    if run.returncode:
        r.check("no-fpu-code", False, f"cannot disassemble: {run.stderr.strip()}")
        return
    out = run.stdout
    hits, count = [], 0
    for line in out.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(.*)$", line)
        if not m:
            continue
        count += 1
        parts = m.group(2).split(None, 1)
        mnemonic = parts[0] if parts else ""
        if mnemonic in ("lock", "rep", "repz", "repnz", "data16", "addr16") and len(parts) > 1:
            parts = parts[1].split(None, 1)
            mnemonic = parts[0]
        operands = parts[1] if len(parts) > 1 else ""
        if FPU_MNEMONIC.match(mnemonic) or FPU_OPERAND.search(operands):
            hits.append(f"0x{m.group(1)} {m.group(2).strip()}")
    r.check("no-fpu-code", not hits and count > 0,
            f"{count} instructions scanned" + (f"; {len(hits)} use x87/MMX/SSE: " + "; ".join(hits[:8]) if hits else ""))


def check_constructors(r: Report, img: Image, map_text: str, symbols: dict, objects: list, objdump: str):
    problems = []
    ctor, dtor = symbols.get("CTOR_LIST__"), symbols.get("DTOR_LIST__")
    # The linker brackets the constructor list with a -1 and a 0 word: 8 bytes when empty.
    if ctor is not None and dtor is not None and dtor - ctor != 8:
        problems.append(f"constructor list of {(dtor - ctor - 8) // 4} entries")
    for m in re.finditer(r"^ \.(ctors|init_array)\S*\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)", map_text, re.M):
        if int(m.group(2), 16):
            problems.append(f".{m.group(1)} from {os.path.basename(m.group(3))}")
    problems += [f"section {s.name}" for s in img.sections
                 if s.name.startswith((".ctors", ".init_array", ".tls", ".CRT"))]
    if objects:
        out = subprocess.run([objdump, "-h", "-t", *objects], check=True,
                             capture_output=True, text=True).stdout
        current = ""
        for line in out.splitlines():
            if line.endswith("file format pe-i386"):
                current = os.path.basename(line.split(":")[0])
            elif re.search(r"\s\.(ctors|init_array)\S*\s+0*[1-9a-f]", line):
                problems.append(f"{current}: {line.split()[1]}")
            elif "_GLOBAL__sub_I" in line:
                problems.append(f"{current}: {line.split()[-1]}")
    r.check("no-static-constructors", not problems and ctor is not None,
            "; ".join(problems) if problems else f"constructor list empty, {len(objects)} objects clean")


# ---------------------------------------------------------------- stack depth of a call tree

@dataclass
class Node:
    title: str
    name: str
    unit: str
    size: int = -1  # -1: not defined in any unit (kernel import or libgcc)
    bounded: bool = True
    callees: list = field(default_factory=list)


def parse_callgraphs(paths: list):
    """Merges the per-unit graphs. Returns (definitions, edges): definitions maps a symbol to
    the units defining it; edges maps (unit, symbol) to callee symbols."""
    defs, edges = {}, {}
    node_re = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
    edge_re = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
    for path in paths:
        unit = os.path.basename(path)
        with open(path) as f:
            text = f.read()
        for title, label in node_re.findall(text):
            m = re.search(r"\\n(\d+) bytes \(([^)]*)\)", label)
            if m:
                name = label.split("\\n")[0]
                node = Node(title, name, unit, int(m.group(1)), m.group(2) in ("static", "dynamic,bounded"))
                defs.setdefault(title, []).append(node)
        for src, dst in edge_re.findall(text):
            edges.setdefault((unit, src), []).append(dst)
    for nodes in defs.values():
        for node in nodes:
            node.callees = edges.get((node.unit, node.title), [])
    return defs


def function_name(node: Node) -> str:
    """The unqualified identifier of a node, from its printable name ("T f(args)")."""
    m = re.search(r"([A-Za-z_]\w*)\s*\(", node.name)
    return m.group(1) if m else node.title


def resolve(defs: dict, title: str, unit: str):
    """The definition a call in `unit` reaches: the unit's own (a static or inline function),
    else the largest frame among the others, so that a doubt never lowers the figure."""
    nodes = defs.get(title, [])
    local = [n for n in nodes if n.unit == unit]
    if local:
        return local[0]
    return max(nodes, key=lambda n: n.size) if nodes else None


def deepest(defs: dict, root_title: str, allow_indirect: set, imports: set):
    """Worst stack depth from root: (bytes, path, problems, external callees)."""
    problems, external = [], set()
    memo, active = {}, []

    def visit(node: Node):
        key = (node.unit, node.title)
        if key in memo:
            return memo[key]
        if key in active:
            problems.append("recursion: " + " -> ".join(t for _, t in active[active.index(key):]) + f" -> {node.title}")
            return (0, [])
        if not node.bounded:
            problems.append(f"{node.name}: unbounded dynamic stack")
        active.append(key)
        best = (0, [])
        for callee in node.callees:
            if callee == "__indirect_call":
                if function_name(node) not in allow_indirect:
                    problems.append(f"{node.name}: indirect call")
                continue
            target = resolve(defs, callee, node.unit)
            if target is None:
                bare = callee.strip("_@").split("@")[0]
                external.add(f"{bare} ({'kernel' if bare in imports else 'libgcc'})")
                cand = (OUTSIDE_FRAME, [f"{bare}[{OUTSIDE_FRAME}]"])
            else:
                cand = visit(target)
            if cand[0] > best[0]:
                best = cand
        active.pop()
        memo[key] = (node.size + best[0], [f"{node.name}[{node.size}]"] + best[1])
        return memo[key]

    roots = [n for nodes in defs.values() for n in nodes if function_name(n) == root_title]
    if len(roots) != 1:
        return (None, [], [f"{len(roots)} definitions of {root_title}"], external)
    total, path = visit(roots[0])
    return (total, path, problems, external)


def check_stack(r: Report, callgraphs: list, root: str, budget: int, allow_indirect: set, imports: set):
    if not callgraphs:
        r.check("stack", False, "no call graph files (build with -fcallgraph-info=su)")
        return None
    total, path, problems, external = deepest(parse_callgraphs(callgraphs), root, allow_indirect, imports)
    ok = total is not None and not problems and total <= budget
    detail = (f"worst depth {total} bytes of {budget} from {root}: " + " -> ".join(path)
              if total is not None else "")
    if external:
        detail += f"; outside callees, {OUTSIDE_FRAME} bytes each: " + ", ".join(sorted(external))
    if problems:
        detail += "; " + "; ".join(problems)
    r.check("stack", ok, detail)
    return total


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--map", help="linker map (default: image name with .map)")
    parser.add_argument("--objects", required=True,
                        help="directory searched recursively for *.obj and *.ci of the image")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--stack-root", default=STACK_ROOT)
    parser.add_argument("--stack-budget", type=int, default=STACK_BUDGET)
    parser.add_argument("--allow-indirect", action="append", default=[], metavar="FUNCTION",
                        help="a function whose indirect calls are known not to happen in the image")
    args = parser.parse_args(argv)

    with open(args.image, "rb") as f:
        data = f.read()
    map_path = args.map or os.path.splitext(args.image)[0] + ".map"
    with open(map_path) as f:
        map_text = f.read()
    # Only what the linker loaded counts: a stale object of a removed source must not.
    linked = re.findall(r"^LOAD (\S+\.obj)$", map_text, re.M)
    found = glob.glob(os.path.join(args.objects, "**", "*.obj"), recursive=True)
    objects = sorted(p for p in found if any(os.path.normpath(p).endswith(os.path.normpath(l)) for l in linked))
    callgraphs = [p[: -len(".obj")] + ".ci" for p in objects]
    missing = [p for p in callgraphs if not os.path.exists(p)]

    img = parse_image(data)
    symbols = map_symbols(map_text)
    print(f"{args.image}: {len(data)} bytes, {len(objects)} objects")
    r = Report()
    r.check("objects", len(objects) == len(linked) and linked and not missing,
            f"{len(linked)} linked, {len(objects)} found under {args.objects}"
            + (f"; no call graph: {missing}" if missing else ""))
    callgraphs = [p for p in callgraphs if p not in missing]

    def guarded(name, fn, *fargs):
        # A malformed image fails the check that tripped over it instead of stopping the rest.
        try:
            return fn(r, *fargs)
        except (ValueError, IndexError, struct.error) as e:
            r.check(name, False, f"malformed image: {e}")
            return None

    check_header(r, img)
    guarded("entry-point", check_entry, img, symbols)
    guarded("checksum", check_checksum, img)
    guarded("imports", check_imports, img)
    guarded("no-writable-code", check_sections, img)
    guarded("version-resource", check_version_resource, img)
    guarded("no-fpu-code", check_fpu, args.image, args.objdump)
    guarded("no-static-constructors", check_constructors, img, map_text, symbols, objects, args.objdump)
    try:
        imports = {name for _, name in read_imports(img)}
    except (ValueError, IndexError, struct.error):
        imports = set()
    check_stack(r, callgraphs, args.stack_root, args.stack_budget, set(args.allow_indirect), imports)
    if r.failed:
        print(f"FAILED: {', '.join(r.failed)}")
        return 1
    print("all image checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
