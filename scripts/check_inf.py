#!/usr/bin/env python3
"""Static check of the driver's INF: every referenced section exists, the port keeps its
system installation, the filter is appended to UpperFilters, and the service entry is a
demand-start kernel driver whose binary is the built image."""
import re
import sys


def parse(text):
    sections, current = {}, None
    for raw in text.splitlines():
        line = re.sub(r"\s*;.*$", "", raw).strip()  # no ';' inside the quoted strings we use
        if not line:
            continue
        m = re.match(r"^\[(.+)\]$", line)
        if m:
            current = sections.setdefault(m.group(1).lower(), [])
        elif current is not None:
            key, _, value = line.partition("=")
            current.append((key.strip().lower(), value.strip()))
    return sections


def values(section, key):
    return [v for k, v in section if k == key]


def main(path, image_name="nmeafilt.sys", service="nmeafilt"):
    with open(path) as f:
        inf = parse(f.read())
    problems = []

    def need(cond, what):
        if not cond:
            problems.append(what)

    need("version" in inf and ("class", "Ports") in inf["version"], "[Version] with Class = Ports")
    models = []
    for manufacturer in inf.get("manufacturer", []):
        name, *decorations = [p.strip() for p in manufacturer[1].split(",")]
        models += [f"{name}.{d}".lower() for d in decorations] or [name.lower()]
    installs = set()
    for m in models:
        need(m in inf, f"models section [{m}]")
        for _, v in inf.get(m, []):
            installs.add(v.split(",")[0].strip().lower())
    need(installs, "at least one model")
    for install in installs:
        base = install + ".ntx86" if install + ".ntx86" in inf else install
        for suffix, needed in (("", "comport.nt"), (".hw", "comport.nt.hw"), (".services", "comport.nt.services")):
            sec = inf.get(base + suffix)
            need(sec is not None, f"[{base + suffix}]")
            if sec is None:
                continue
            need([v.lower() for v in values(sec, "include")] == ["msports.inf"], f"[{base + suffix}] Include = msports.inf")
            need([v.lower() for v in values(sec, "needs")] == [needed], f"[{base + suffix}] Needs = {needed}")
            for key in ("copyfiles", "addreg"):
                for ref in values(sec, key):
                    for name in ref.split(","):
                        need(name.strip().lower() in inf, f"section [{name.strip()}] referenced by {key}")
        hw = inf.get(base + ".hw", [])
        regs = [e for ref in values(hw, "addreg") for e in inf.get(ref.lower(), [])]
        filters = [k for k, _ in regs if re.fullmatch(r'hkr\s*,\s*,\s*"upperfilters"\s*,\s*0x00010008\s*,\s*"' + service + '"', k)]
        need(len(filters) == 1, f'UpperFilters appended with 0x00010008 "{service}" on the hardware key')
        services = values(inf.get(base + ".services", []), "addservice")
        ours = [s for s in services if s.split(",")[0].strip() == service]
        need(len(ours) == 1 and ours[0].split(",")[1].strip() in ("", "0"),
             f"AddService = {service} without the function-driver flag")
        if ours:
            body = dict(inf.get(ours[0].split(",")[2].strip().lower(), []))
            want = {"servicetype": "1", "starttype": "3", "errorcontrol": "1",
                    "servicebinary": f"%12%\\{image_name}"}
            for key, value in want.items():
                need(body.get(key, "").lower() == value.lower(), f"service {key} = {value}")
    files = [k for k, _ in inf.get("sourcedisksfiles", [])]
    need(image_name in files, f"{image_name} in [SourceDisksFiles]")
    for p in problems:
        print(f"[FAIL] inf: missing or wrong: {p}")
    if not problems:
        print(f"[PASS] inf: {path}: service {service}, UpperFilters appended, port installed by msports.inf")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
