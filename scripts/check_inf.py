#!/usr/bin/env python3
"""Static check of the driver's INF as the build writes it: every referenced section exists,
the port keeps its system installation (install, .Services, .CoInstallers and .Interfaces
sections all take msports.inf's), the hardware key's UpperFilters is written whole (serial
enumerator, then the filter) without relying on msports.inf's .HW section, Windows 2000
finds a models section, the source disk is declared for x86, the service entry is a
demand-start kernel driver whose binary is the built image, and DriverVer carries the
version given with --version.

usage: check_inf.py [--selftest] [--version X.Y.Z] INF
--selftest also checks damaged copies of the INF, each of which must be refused."""
import argparse
import re
import sys

SERVICE = "nmeafilt"
IMAGE = "nmeafilt.sys"
FILTER_LIST = f'hkr,,"upperfilters",0x00010000,"serenum","{SERVICE}"'


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


# Each install section's suffix and the msports.inf section it must take; None: written here.
SECTIONS = (("", "comport.nt"), (".hw", None), (".services", "comport.nt.services"),
            (".coinstallers", "comport.nt.coinstallers"), (".interfaces", "comport.nt.interfaces"))


def problems(text, version=None):
    inf = parse(text)
    found = []

    def need(cond, what):
        if not cond:
            found.append(what)

    need("version" in inf and ("class", "Ports") in inf["version"], "[Version] with Class = Ports")
    if version is not None:
        driver_ver = values(inf.get("version", []), "driverver")
        need(len(driver_ver) == 1 and re.fullmatch(rf"\d\d/\d\d/\d{{4}},{re.escape(version)}\.0", driver_ver[0]),
             f"DriverVer = mm/dd/yyyy,{version}.0")
    models = []
    for manufacturer in inf.get("manufacturer", []):
        name, *decorations = [p.strip().lower() for p in manufacturer[1].split(",")]
        # Windows 2000 ignores decorated models sections and reads only the undecorated one.
        models += [name] + [f"{name}.{d}" for d in decorations]
        for d in decorations:
            need(sorted(inf.get(name, [])) == sorted(inf.get(f"{name}.{d}", [])),
                 f"[{name}] with the same models as [{name}.{d}]")
    installs = set()
    for m in models:
        need(m in inf, f"models section [{m}]")
        for _, v in inf.get(m, []):
            installs.add(v.split(",")[0].strip().lower())
    need(installs, "at least one model")
    for install in installs:
        base = install + ".ntx86" if install + ".ntx86" in inf else install
        for suffix, needed in SECTIONS:
            sec = inf.get(base + suffix)
            need(sec is not None, f"[{base + suffix}]")
            if sec is None:
                continue
            if needed:
                need([v.lower() for v in values(sec, "include")] == ["msports.inf"], f"[{base + suffix}] Include = msports.inf")
                need([v.lower() for v in values(sec, "needs")] == [needed], f"[{base + suffix}] Needs = {needed}")
            else:
                need(not values(sec, "needs"), f"[{base + suffix}] without Needs: it writes UpperFilters itself")
            for key in ("copyfiles", "addreg"):
                for ref in values(sec, key):
                    for name in ref.split(","):
                        need(name.strip().lower() in inf, f"section [{name.strip()}] referenced by {key}")
        hw = inf.get(base + ".hw", [])
        regs = [re.sub(r"\s+", "", k).lower() for ref in values(hw, "addreg") for k, _ in inf.get(ref.lower(), [])]
        need([r for r in regs if r.startswith('hkr,,"upperfilters"')] == [FILTER_LIST],
             f'UpperFilters written as the list "serenum", "{SERVICE}" (0x00010000) on the hardware key')
        services = values(inf.get(base + ".services", []), "addservice")
        ours = [s for s in services if s.split(",")[0].strip() == SERVICE]
        need(len(ours) == 1 and ours[0].split(",")[1].strip() in ("", "0"),
             f"AddService = {SERVICE} without the function-driver flag")
        if ours:
            body = dict(inf.get(ours[0].split(",")[2].strip().lower(), []))
            want = {"servicetype": "1", "starttype": "3", "errorcontrol": "1",
                    "servicebinary": f"%12%\\{IMAGE}"}
            for key, value in want.items():
                need(body.get(key, "").lower() == value.lower(), f"service {key} = {value}")
    disks = {k for k, _ in inf.get("sourcedisksnames.x86", [])}
    files = dict(inf.get("sourcedisksfiles.x86", []))
    need(IMAGE in files and files[IMAGE].split(",")[0].strip() in disks,
         f"{IMAGE} in [SourceDisksFiles.x86] on a disk of [SourceDisksNames.x86]")
    return found


# Each damage undoes one point; the check must notice every one.
DAMAGES = [
    ("append after msports.inf's .HW section",
     lambda t: t.replace('0x00010000, "serenum", "nmeafilt"', '0x00010008, "nmeafilt"')
                .replace("[NmeaFilt_Port.NTx86.HW]\n", "[NmeaFilt_Port.NTx86.HW]\nInclude = msports.inf\nNeeds = ComPort.NT.HW\n")),
    ("filter before the enumerator", lambda t: t.replace('"serenum", "nmeafilt"', '"nmeafilt", "serenum"')),
    ("no undecorated models section", lambda t: t.replace("[NmeaFilt]\n", "[NmeaFilt.Unused]\n")),
    ("undecorated models differ", lambda t: t.replace("[NmeaFilt]\n%PortWithFilter% = NmeaFilt_Port, *PNP0501\n", "[NmeaFilt]\n")),
    ("undecorated source disks", lambda t: t.replace("[SourceDisksFiles.x86]", "[SourceDisksFiles]")),
    ("automatic start", lambda t: t.replace("StartType     = 3", "StartType     = 2")),
    ("no co-installers section", lambda t: t.replace("[NmeaFilt_Port.NTx86.CoInstallers]", "[NmeaFilt_Port.NTx86.CoInstallersX]")),
    ("interfaces of another section", lambda t: t.replace("Needs   = ComPort.NT.Interfaces", "Needs   = ComPort.NT")),

]
# Noticed only when the check is told which version to expect.
VERSION_DAMAGE = ("another version", lambda t: re.sub(r"(DriverVer\s*=\s*[0-9/]+,)\d+", r"\g<1>99", t))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inf")
    parser.add_argument("--selftest", action="store_true")
    parser.add_argument("--version", help="the project version DriverVer must carry")
    a = parser.parse_args(argv)
    path, selftest = a.inf, a.selftest
    with open(path) as f:
        text = f.read()
    status = 0
    for p in problems(text, a.version):
        print(f"[FAIL] inf: missing or wrong: {p}")
        status = 1
    if not status:
        print(f"[PASS] inf: {path}: service {SERVICE}, UpperFilters serenum then {SERVICE}, port installed by msports.inf"
              + (f", version {a.version}" if a.version else ""))
    damages = DAMAGES + ([VERSION_DAMAGE] if a.version else [])
    for name, damage in damages if selftest else []:
        damaged = damage(text)
        found = problems(damaged, a.version)
        ok = damaged != text and found
        print(f"[{'PASS' if ok else 'FAIL'}] inf selftest: {name}: {'; '.join(found) if found else 'not noticed'}")
        status |= 0 if ok else 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
