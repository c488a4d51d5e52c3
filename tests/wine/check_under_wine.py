#!/usr/bin/env python3
"""The installation check, x86-64 build, under wine64: COM3 is linked through the prefix's
dosdevices to the pseudo-terminal of `nmeafilt run` or straight to `nmeafilt simulate`, and
registry keys written into the prefix stand for an installation.

usage: check_under_wine.py CHECK_EXE NMEAFILT IDLE_DRIVER_SYS"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CHECK, NMEAFILT, IDLE_DRIVER = (None, None, None)
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")

PORTS_CLASS = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
DEVICE_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\ACPI\PNP0501\1"
SERVICE_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\nmeafilt"


def multi_sz(*items):
    data = "".join(i + "\0" for i in items) + "\0"
    return "hex(7):" + ",".join(f"{ord(c):02x},00" for c in data)


def installation(filters, start_type, machine_name):
    return f"""Windows Registry Editor Version 5.00

[{DEVICE_KEY}]
"ClassGUID"="{PORTS_CLASS}"
"UpperFilters"={multi_sz(*filters)}

[{DEVICE_KEY}\\Device Parameters]
"PortName"="COM3"

[{SERVICE_KEY}]
"Type"=dword:00000001
"Start"=dword:{start_type:08x}
"ErrorControl"=dword:00000001
"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\idle_driver.sys"

[{SERVICE_KEY}\\Parameters]
"MachineName"="{machine_name}"
"""


NO_INSTALLATION = f"""Windows Registry Editor Version 5.00

[-{DEVICE_KEY}]
[-{SERVICE_KEY}]
"""


class CheckUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nmeafilt-wine-")
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.tmp, "prefix"), WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run([WINE, "wineboot", "-i"], env=cls.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.restart_wine()
        drivers = os.path.join(cls.env["WINEPREFIX"], "drive_c", "windows", "system32", "drivers")
        shutil.copy(IDLE_DRIVER, os.path.join(drivers, "idle_driver.sys"))

    @classmethod
    def restart_wine(cls):
        subprocess.run([WINESERVER, "-k"], env=cls.env)
        subprocess.run([WINESERVER, "-w"], env=cls.env)
        # A server that stays up keeps a started service running between two programs.
        subprocess.run([WINESERVER, "-p"], env=cls.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINESERVER, "-k"], env=cls.env)
        subprocess.run([WINESERVER, "-w"], env=cls.env)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.children = []

    def tearDown(self):
        self.stop_children()

    def stop_children(self):
        for p in reversed(self.children):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.children = []

    def start(self, *args, link):
        path = os.path.join(self.tmp, link)
        p = subprocess.Popen([NMEAFILT, *args, "--pty", path], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.children.append(p)
        for _ in range(100):
            if os.path.islink(path):
                return path
            time.sleep(0.05)
        self.fail(f"{' '.join(args)} offered no pseudo-terminal at {path}")

    def receiver(self, mode):
        return self.start("simulate", "--mode", mode, "--baud", "115200", link=f"receiver-{mode}")

    def com3(self, target):
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", "com3")
        if os.path.lexists(link):
            os.remove(link)
        if target:
            os.symlink(target, link)

    def registry(self, text):
        path = os.path.join(self.tmp, "keys.reg")
        with open(path, "w", encoding="utf-16") as f:
            f.write(text.replace("\n", "\r\n"))
        subprocess.run([WINE, "regedit", "/S", path], env=self.env, check=True)
        self.restart_wine()  # the service manager reads its services when it starts

    def check(self, *args):
        # To a file, not a pipe: Wine's own processes, started by the first program, live on
        # with its descriptors and would keep a pipe open.
        with tempfile.TemporaryFile("w+") as out:
            p = subprocess.run([WINE, CHECK, "COM3", *args], env=self.env, stdout=out,
                               stderr=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            return p.returncode, out.read()

    def check_json(self, seconds):
        code, out = self.check("--seconds", str(seconds), "--json")
        report = json.loads(out)
        return code, report, {c["name"]: (c["result"], c["detail"]) for c in report["checks"]}

    def test_filtered_stream_passes_in_both_modes(self):
        for mode in ("gps", "utc"):
            with self.subTest(mode=mode):
                filtered = self.start("run", "--port", self.receiver(mode), "--baud", "115200",
                                      link=f"filtered-{mode}")
                self.com3(filtered)
                code, report, checks = self.check_json(4)
                self.assertEqual(checks["stream"][0], "pass", checks["stream"][1])
                counts = report["stream"]["counts"]
                self.assertTrue(all(counts[t] > 0 for t in ("GGA", "GSA", "GSV", "VTG", "RMC")), counts)
                self.assertEqual(report["stream"]["faults"], 0)
                self.assertTrue(set(report["stream"]["rmc_status"]) <= {"A", "V"}, report["stream"])
                # Wine's serial path has no filter in it: the port keeps the handshake asked for.
                self.assertEqual(checks["handshake"],
                                 ("fail", "hardware handshake was not overridden: CTS output flow is on"))
                self.assertEqual(code, 1)
                self.stop_children()

    def test_bare_receiver_fails_on_its_proprietary_sentence(self):
        self.com3(self.receiver("gps"))
        code, out = self.check("--seconds", "3")
        self.assertEqual(code, 1)
        line = next(l for l in out.splitlines() if l.startswith("[FAIL] stream"))
        self.assertIn("proprietary sentence $PQXN", line)

    def test_installation_keys_make_the_installation_checks_pass_and_fail(self):
        self.com3(None)  # no port at all: the installation checks still report, exit code 4
        self.registry(NO_INSTALLATION)
        code, report, checks = self.check_json(1)
        self.assertEqual(code, 4)
        self.assertEqual(report["port_error"]["reason"], "missing")
        self.assertEqual(checks["upper-filter"], ("fail", "no present Ports device has PortName COM3"))
        self.assertEqual(checks["service"], ("fail", "the service nmeafilt is not installed"))
        self.assertEqual(checks["stream"][0], "fail")
        self.assertIn("cannot open COM3", checks["stream"][1])

        self.registry(installation(["serenum", "nmeafilt"], 3, "WQ53-1"))
        code, report, checks = self.check_json(1)
        self.assertEqual(checks["service"], ("fail", "nmeafilt is a demand-start kernel driver but stopped"))
        sc = subprocess.run([WINE, "sc", "start", "nmeafilt"], env=self.env, stdout=subprocess.DEVNULL)
        self.assertEqual(sc.returncode, 0)
        code, report, checks = self.check_json(1)
        self.assertEqual(checks["upper-filter"], ("pass", r"ACPI\PNP0501\1 has UpperFilters serenum, nmeafilt"))
        self.assertEqual(checks["service"], ("pass", "nmeafilt is a demand-start kernel driver, running"))
        self.assertEqual(report["machine_name"], "WQ53-1")

        self.registry(installation(["serenum"], 2, "WQ53-1"))
        code, report, checks = self.check_json(1)
        self.assertEqual(checks["upper-filter"], ("fail", r"ACPI\PNP0501\1 has no nmeafilt in UpperFilters (serenum)"))
        self.assertEqual(checks["service"], ("fail", "nmeafilt has start type 2, not demand start (3)"))


if __name__ == "__main__":
    CHECK, NMEAFILT, IDLE_DRIVER = (os.path.abspath(a) for a in sys.argv[1:4])
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
