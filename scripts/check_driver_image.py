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
import subprocess
import sys
from dataclasses import dataclass, field

import pefile

MACHINE_I386 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
SUBSYSTEM_NATIVE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"]
DIRECTORY = pefile.DIRECTORY_ENTRY
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
# A malformed image fails the check that meets it; these are how it shows.
MALFORMED = (pefile.PEFormatError, ValueError, IndexError)

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
# XP's loader makes sections named PAGE* or .eda* pageable and discards INIT ones once
# DriverEntry has returned; the read path runs at dispatch level, where neither may be touched.
PAGED_PREFIXES = ("PAGE", "INIT", ".EDA")

# Mnemonics and operands of the x87, MMX and SSE units, in objdump's AT&T syntax.
FPU_MNEMONIC = re.compile(r"^(f[a-z0-9]*|emms|femms|wait|ldmxcsr|stmxcsr|vldmxcsr|vstmxcsr)$")
FPU_OPERAND = re.compile(r"%(st\b|st\(|mm[0-7]\b|[xyz]mm[0-9]+\b)")

STACK_ROOT = "FilterReadComplete"
STACK_BUDGET = 1536
# Frame allowance for a callee outside our units: the kernel's memory routines and libgcc's
# 64-bit division, all leaves whose frames are a few pushes, far below this.
OUTSIDE_FRAME = 64


def load(data: bytes) -> pefile.PE:
    """Headers and sections; the import and resource directories are read when asked for."""
    return pefile.PE(data=data, fast_load=True)


def section_name(section) -> str:
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def directory(pe: pefile.PE, name: str):
    """The data directory entry, or None where the header has fewer entries."""
    index = DIRECTORY[name]
    entries = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    return entries[index] if index < len(entries) else None


def read_imports(pe: pefile.PE):
    """[(dll, name-or-'#ordinal')] from the import directory."""
    pe.parse_data_directories(directories=[DIRECTORY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return [(entry.dll.decode("ascii", "replace"),
             imp.name.decode("ascii", "replace") if imp.name else f"#{imp.ordinal}")
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for imp in entry.imports]


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


def check_header(r: Report, pe: pefile.PE):
    machine, magic = pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic
    r.check("pe32-i386", machine == MACHINE_I386 and magic == pefile.OPTIONAL_HEADER_MAGIC_PE,
            f"machine 0x{machine:04x}, optional header magic 0x{magic:04x}")
    oh = pe.OPTIONAL_HEADER
    version = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    r.check("native-subsystem", oh.Subsystem == SUBSYSTEM_NATIVE and version <= (5, 1),
            f"subsystem {oh.Subsystem}, version {version[0]}.{version[1]}")


def check_entry(r: Report, pe: pefile.PE, symbols: dict):
    names = [n for n in symbols if n == "DriverEntry" or n.startswith("DriverEntry@")]
    if len(names) != 1:
        r.check("entry-point", False, f"DriverEntry in the map: {names or 'none'}")
        return
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    rva = symbols[names[0]] - pe.OPTIONAL_HEADER.ImageBase
    section = pe.get_section_by_rva(entry)
    in_code = section is not None and bool(section.IMAGE_SCN_MEM_EXECUTE)
    r.check("entry-point", entry == rva and in_code,
            f"AddressOfEntryPoint 0x{entry:x}, {names[0]} at 0x{rva:x}"
            + ("" if in_code else ", not in an executable section"))


def check_checksum(r: Report, pe: pefile.PE):
    have, want = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    r.check("checksum", have == want and have != 0, f"stored 0x{have:08x}, computed 0x{want:08x}")


def check_imports(r: Report, pe: pefile.PE):
    imports = read_imports(pe)
    bad = [f"{dll}!{name}" for dll, name in imports
           if name not in ALLOWED_IMPORTS.get(dll.lower(), set())]
    listing = ", ".join(f"{dll}!{name}" for dll, name in imports)
    r.check("imports", not bad and bool(imports),
            (f"not allowed: {', '.join(bad)}; " if bad else "") + f"{len(imports)}: {listing}")


def check_sections(r: Report, pe: pefile.PE):
    bad = [section_name(s) for s in pe.sections
           if (s.IMAGE_SCN_MEM_EXECUTE or s.IMAGE_SCN_CNT_CODE) and s.IMAGE_SCN_MEM_WRITE]
    desc = ", ".join(f"{section_name(s)}(0x{s.Characteristics:08x})" for s in pe.sections)
    r.check("no-writable-code", not bad, (f"writable and executable: {bad}; " if bad else "") + desc)
    # The read path runs at dispatch level: no code or data may be paged out or discarded.
    paged = [section_name(s) for s in pe.sections
             if section_name(s).upper().startswith(PAGED_PREFIXES)
             or (s.IMAGE_SCN_MEM_DISCARDABLE and section_name(s) != ".reloc")]
    r.check("non-paged", not paged, f"pageable or discardable: {paged}" if paged else "every section resident")
    relocs = directory(pe, "IMAGE_DIRECTORY_ENTRY_BASERELOC")
    ok = relocs is not None and relocs.Size > 0
    r.check("relocations", ok, "base relocations present" if ok else "no base relocations")


def check_version_resource(r: Report, pe: pefile.PE):
    resources = directory(pe, "IMAGE_DIRECTORY_ENTRY_RESOURCE")
    types, blob = [], b""
    if resources is not None and resources.VirtualAddress and resources.Size:
        pe.parse_data_directories(directories=[DIRECTORY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        types = [e.id if e.id is not None else str(e.name) for e in root.entries] if root else []
        blob = pe.get_data(resources.VirtualAddress, resources.Size)
    has_version = RT_VERSION in types
    names = has_version and "nmeafilt.sys".encode("utf-16-le") in blob
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


def check_constructors(r: Report, pe: pefile.PE, map_text: str, symbols: dict, objects: list, objdump: str):
    problems = []
    ctor, dtor = symbols.get("CTOR_LIST__"), symbols.get("DTOR_LIST__")
    # The linker brackets the constructor list with a -1 and a 0 word: 8 bytes when empty.
    if ctor is not None and dtor is not None and dtor - ctor != 8:
        problems.append(f"constructor list of {(dtor - ctor - 8) // 4} entries")
    for m in re.finditer(r"^ \.(ctors|init_array)\S*\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)", map_text, re.M):
        if int(m.group(2), 16):
            problems.append(f".{m.group(1)} from {os.path.basename(m.group(3))}")
    problems += [f"section {section_name(s)}" for s in pe.sections
                 if section_name(s).startswith((".ctors", ".init_array", ".tls", ".CRT"))]
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

    pe = load(data)
    symbols = map_symbols(map_text)
    print(f"{args.image}: {len(data)} bytes, {len(objects)} objects")
    r = Report()
    r.check("objects", len(objects) == len(linked) and linked and not missing,
            f"{len(linked)} linked, {len(objects)} found under {args.objects}"
            + (f"; no call graph: {missing}" if missing else ""))
    callgraphs = [p for p in callgraphs if p not in missing]

    def guarded(name, fn, *fargs):
        try:
            return fn(r, *fargs)
        except MALFORMED as e:
            r.check(name, False, f"malformed image: {e}")
            return None

    check_header(r, pe)
    guarded("entry-point", check_entry, pe, symbols)
    guarded("checksum", check_checksum, pe)
    guarded("imports", check_imports, pe)
    guarded("no-writable-code", check_sections, pe)
    guarded("version-resource", check_version_resource, pe)
    guarded("no-fpu-code", check_fpu, args.image, args.objdump)
    guarded("no-static-constructors", check_constructors, pe, map_text, symbols, objects, args.objdump)
    try:
        imports = {name for _, name in read_imports(pe)}
    except MALFORMED:
        imports = set()
    check_stack(r, callgraphs, args.stack_root, args.stack_budget, set(args.allow_indirect), imports)
    if r.failed:
        print(f"FAILED: {', '.join(r.failed)}")
        return 1
    print("all image checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
