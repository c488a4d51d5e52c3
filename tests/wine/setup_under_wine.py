#!/usr/bin/env python3
"""The installer, x86-64 build, under wine64, in a private prefix holding a port's keys as
check_under_wine.py writes them (COM3, UpperFilters serenum and other). It installs the idle
stand-in driver on COM3, installs again, reports, refuses a port that is not there and removes
the filter, each time read back with Wine's own reg and with nmeafilt-check.

usage: setup_under_wine.py SETUP_EXE CHECK_EXE IDLE_DRIVER_SYS VERSION"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from check_under_wine import DEVICE_KEY, PORTS_CLASS, SERVICE_KEY, WINE, WINESERVER, multi_sz

SETUP, CHECK, DRIVER, VERSION = (None, None, None, None)

PORT_KEYS = f"""Windows Registry Editor Version 5.00

[{DEVICE_KEY}]
"ClassGUID"="{PORTS_CLASS}"
"UpperFilters"={multi_sz("serenum", "other")}

[{DEVICE_KEY}\\Device Parameters]
"PortName"="COM3"
"""


class SetupUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="nmeafilt-setup-wine-")
        prefix = os.path.join(cls.tmp, "prefix")
        cls.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run([WINE, "wineboot", "-i"], env=cls.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        keys = os.path.join(cls.tmp, "port.reg")
        with open(keys, "w", encoding="utf-16") as f:
            f.write(PORT_KEYS.replace("\n", "\r\n"))
        subprocess.run([WINE, "regedit", "/S", keys], env=cls.env, check=True)
        # One server for the whole scenario: Wine's service manager, started by the first
        # program, then answers every later one from the same state.
        subprocess.run([WINESERVER, "-k"], env=cls.env)
        subprocess.run([WINESERVER, "-w"], env=cls.env)
        subprocess.run([WINESERVER, "-p"], env=cls.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        cls.installed = os.path.join(prefix, "drive_c", "windows", "system32", "drivers",
                                     "nmeafilt.sys")

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINESERVER, "-k"], env=cls.env)
        subprocess.run([WINESERVER, "-w"], env=cls.env)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_program(self, program, *args):
        # To a file, not a pipe: Wine's own processes live on with the descriptors they inherit.
        with tempfile.TemporaryFile("w+") as out:
            p = subprocess.run([WINE, program, *args], env=self.env, stdout=out,
                               stderr=subprocess.STDOUT, timeout=120)
            out.seek(0)
            return p.returncode, out.read()

    def reg(self, key):
        """The values of a key as Wine's reg reads them, None when the key is not there."""
        code, out = self.run_program("reg", "query", key)
        if code != 0:
            return None
        values = {}
        for line in out.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                kind, data = parts[1], parts[2]
                values[parts[0]] = (data.split("\\0") if kind == "REG_MULTI_SZ"
                                    else int(data, 16) if kind == "REG_DWORD" else data)
        return values

    def state(self):
        with_file = os.path.exists(self.installed)
        return (self.reg(DEVICE_KEY).get("UpperFilters"), self.reg(SERVICE_KEY), with_file)

    def upper_filter_verdict(self):
        code, out = self.run_program(CHECK, "COM3", "--seconds", "1", "--json")
        report = json.loads(out)
        self.assertEqual(code, 4, out)  # no COM3 device behind the keys: the port does not open
        self.assertEqual(report["port_error"]["reason"], "missing")
        return next(c["result"] for c in report["checks"] if c["name"] == "upper-filter")

    def test_install_again_report_refuse_remove(self):
        self.assertEqual(self.state(), (["serenum", "other"], None, False))

        code, out = self.run_program(SETUP, "install", "COM3", "--sys", DRIVER)
        self.assertIn(code, (0, 3), out)
        filters, service, with_file = self.state()
        self.assertEqual(filters, ["serenum", "other", "nmeafilt"])
        self.assertEqual({k: service.get(k) for k in ("Type", "Start", "ErrorControl", "ImagePath")},
                         {"Type": 1, "Start": 3, "ErrorControl": 1,
                          "ImagePath": r"system32\drivers\nmeafilt.sys"})
        with open(DRIVER, "rb") as a, open(self.installed, "rb") as b:
            self.assertEqual(a.read(), b.read())
        self.assertEqual(self.upper_filter_verdict(), "pass")
        installed = self.state()

        code, out = self.run_program(SETUP, "install", "COM3", "--sys", DRIVER)
        self.assertEqual(code, 0, out)
        self.assertIn("nothing to do", out)
        self.assertEqual(self.state(), installed)

        code, out = self.run_program(SETUP, "status", "--json")
        self.assertEqual(code, 0, out)
        status = json.loads(out)
        self.assertEqual([(p["port"], p["upper_filters"], p["filter"]) for p in status["ports"]],
                         [("COM3", ["serenum", "other", "nmeafilt"], True)])
        self.assertEqual(status["service"].get("start"), 3, status["service"])
        self.assertEqual(status["driver_file"]["version"], VERSION + ".0")

        code, out = self.run_program(SETUP, "install", "COM9", "--sys", DRIVER)
        self.assertEqual(code, 4, out)
        self.assertIn("COM3", out)
        self.assertEqual(self.state(), installed)

        code, out = self.run_program(SETUP, "remove", "COM3")
        self.assertIn(code, (0, 3), out)
        self.assertEqual(self.state(), (["serenum", "other"], None, False))
        self.assertEqual(self.upper_filter_verdict(), "fail")


if __name__ == "__main__":
    SETUP, CHECK, DRIVER = (os.path.abspath(a) for a in sys.argv[1:4])
    VERSION = sys.argv[4]
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
