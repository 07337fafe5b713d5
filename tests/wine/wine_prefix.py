"""The throwaway Wine prefix that the tests under Wine share: headless, with the stand-in for
Excel registered and the test programs in place. Never the user's own ~/.wine."""

import json
import os
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TWIN = ROOT / "dist" / "win64" / "KelminaAddinInstaller.exe"
RELEASE = ROOT / "dist" / "win32" / "KelminaAddinInstaller.exe"
HARNESS = ROOT / "build" / "win64" / "tests" / "wine"
WORK = ROOT / "build" / "wine-tests"
PREFIX = WORK / "prefix"
DRIVE_C = PREFIX / "drive_c"
WINE_BIN = Path("/usr/lib/wine")

STAND_IN_CLASS = "{5C7D2A10-8E4B-4F3A-9B61-2D0E7A3C9F42}"
REGISTRATION = f"""REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Classes\\Excel.Application\\CLSID]
@="{STAND_IN_CLASS}"

[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{STAND_IN_CLASS}\\LocalServer32]
@="C:\\\\standin\\\\stand_in_excel.exe"
"""
UNREGISTRATION = "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Classes\\Excel.Application]\n"


def read_events(log):
    """The events that the driver and the stand-in have written to `log` so far, one JSON object a
    line; a line still being written is left for the next read."""
    if not log.exists():
        return []
    return [json.loads(line) for line in log.read_text(encoding="utf-8").split("\n")[:-1]]


def unix_path(windows_path):
    """Where a C: path of the prefix lies on this machine."""
    assert windows_path.startswith("C:\\"), windows_path
    return DRIVE_C.joinpath(*windows_path[3:].replace("/", "\\").split("\\"))


class Wine:
    """A throwaway prefix, and the processes run in it. Headless (the null graphics driver)
    unless a display is given."""

    def __init__(self, prefix=PREFIX, display=None):
        self.prefix = prefix
        self.drive_c = prefix / "drive_c"
        self.display = display
        self.locale = "C.UTF-8"
        prefix.parent.mkdir(parents=True, exist_ok=True)
        self.log = open(prefix.parent / "wine.log", "ab")

    def seen_path(self, host_path):
        """`host_path`, a path on this machine, as Wine's own processes see it."""
        return str(host_path)

    def env(self, overrides=""):
        # No Mono or Gecko prompts; DLL overrides of a test come after those.
        return dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                    WINEDLLOVERRIDES=";".join(filter(None, ["mscoree,mshtml=", overrides])),
                    LC_ALL=self.locale, PATH=f"{WINE_BIN}:{os.environ['PATH']}", DISPLAY=self.display or "")

    def run(self, *args, overrides="", timeout=60):
        # Output goes to a file: a pipe would be held open by processes that outlive the call.
        return subprocess.run([str(WINE_BIN / "wine64"), *args], env=self.env(overrides), stdout=self.log,
                              stderr=self.log, timeout=timeout).returncode

    def start(self, *args):
        """Starts a program and does not wait for it."""
        return subprocess.Popen([str(WINE_BIN / "wine64"), *args], env=self.env(), stdout=self.log,
                                stderr=self.log)

    def server(self, flag):
        subprocess.run([str(WINE_BIN / "wineserver"), flag], env=self.env(), stdout=self.log, stderr=self.log,
                       timeout=60)

    def create(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.run("wineboot", "-i", timeout=180)
        if self.display is None:
            self.run("reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f")
        # Let the first start finish, and the desktop process start again on the chosen driver.
        self.restart()

    def restart(self):
        self.server("-k")
        self.server("-w")

    def import_registry(self, text):
        reg_file = self.drive_c / "registry.reg"
        reg_file.write_text(text, encoding="utf-8")
        assert self.run("regedit", "/s", "C:\\registry.reg") == 0

    def set_up(self):
        """A new prefix with the stand-in for Excel registered and the test programs in place."""
        self.create()
        harness = {"standin": ["stand_in_excel.exe"],
                   "driver": ["box_driver.exe", "box_probe.dll", "read_resources.exe"]}
        for directory, files in harness.items():
            (self.drive_c / directory).mkdir(exist_ok=True)
            for name in files:
                shutil.copy(HARNESS / name, self.drive_c / directory)
        self.import_registry(REGISTRATION)


WINE = Wine()
