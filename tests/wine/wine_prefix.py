"""The throwaway Wine prefix that the tests under Wine share: headless, with the stand-in for
Excel registered and the test programs in place. Never the user's own ~/.wine.

One run puts one build of the installer against one Office under one Wine, as KELMINA_WINE_RUN
names it (see RUNS): the 64-bit twin under this machine's Wine 8, or the 32-bit release under
the WoW64 Wine 10 that scripts/wow64-wine keeps in a Debian 13 root of its own."""

import hashlib
import json
import os
import shutil
import subprocess
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parents[2]
TWIN = ROOT / "dist" / "win64" / "KelminaAddinInstaller.exe"
RELEASE = ROOT / "dist" / "win32" / "KelminaAddinInstaller.exe"
WOW64_WINE = ROOT / "scripts" / "wow64-wine"


class Setup(NamedTuple):
    installer: Path
    installer_bits: int
    office_bits: int
    wow64: bool  # run under the WoW64 Wine in its root, not this machine's Wine

    def describe(self):
        wine = "WoW64 Wine 10 (Debian 13 root)" if self.wow64 else "Wine 8 (this machine)"
        return f"{self.installer_bits}-bit installer, {self.office_bits}-bit Office, {wine}"


RUNS = {
    "twin-office64": Setup(TWIN, 64, 64, False),
    "release-office64": Setup(RELEASE, 32, 64, True),
    "release-office32": Setup(RELEASE, 32, 32, True),
}


def machine_cannot_run_32bit_code():
    """Why the WoW64 runs cannot run here, or None when they can: some virtual machines run 64-bit
    user code only, and 32-bit Windows code then runs under no Wine at all."""
    probe = ROOT / "build" / "runs_32bit_code"
    probe.parent.mkdir(exist_ok=True)
    source = Path(__file__).resolve().parent / "runs_32bit_code.c"
    subprocess.run(["cc", "-O0", "-no-pie", "-o", str(probe), str(source)], check=True)
    answer = subprocess.run([str(probe)], capture_output=True, text=True)
    return answer.stdout.strip() if answer.returncode == 1 else None


def wow64_root():
    return Path(subprocess.run([str(WOW64_WINE), "path"], check=True, capture_output=True, text=True).stdout.strip())


def work_folder(run):
    """Where a run keeps its prefix. Wine only sees files inside its own root, so the WoW64 runs
    keep theirs there, one folder per clone of the repository and run."""
    if RUNS[run].wow64:
        return wow64_root() / "work" / f"{hashlib.sha1(str(ROOT).encode()).hexdigest()[:8]}-{run}"
    return ROOT / "build" / "wine-tests"


STAND_IN_CLASS = "{5C7D2A10-8E4B-4F3A-9B61-2D0E7A3C9F42}"


# How much slower than a machine of its own this one runs Wine: a whole machine emulated in
# software is some fifteen times slower. The harness's time limits grow by it; what the tests
# assert about the installer's own timing does not.
SLOWDOWN = float(os.environ.get("KELMINA_WINE_SLOWDOWN", "1"))


def allowed(seconds):
    """A time limit of the harness, on this machine."""
    return round(seconds * SLOWDOWN)


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
    """A throwaway prefix for one of RUNS, and the processes run in it. Headless (the null
    graphics driver) unless a display is given. For the release, Wine is the one in the WoW64
    root, and runs chrooted into it."""

    def __init__(self, run, prefix=None):
        setup = RUNS[run]
        self.installer, self.office_bits = setup.installer, setup.office_bits
        # The driver, the probe it loads into the installer, the resource reader and the planted
        # DLL take the installer's bitness; the stand-in takes the Office's.
        self.harness = ROOT / "build" / f"win{setup.installer_bits}" / "tests" / "wine"
        self.stand_in = ROOT / "build" / f"win{setup.office_bits}" / "tests" / "wine" / "stand_in_excel.exe"
        self.root = wow64_root() if setup.wow64 else None
        self.prefix = prefix or work_folder(run) / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.display = None
        self.locale = "C.UTF-8"
        self._log = None

    @property
    def log(self):
        """Wine's own output, beside the prefix."""
        if self._log is None:
            self.prefix.parent.mkdir(parents=True, exist_ok=True)
            self._log = open(self.prefix.parent / "wine.log", "ab")
        return self._log

    def said_since(self, offset):
        """What Wine wrote to its log after `offset`, the log's size taken before."""
        with open(self.log.name, "rb") as log:
            log.seek(offset)
            return log.read().decode("utf-8", "replace")

    def seen_path(self, host_path):
        """A path of this machine as Wine's own processes see it."""
        if self.root is None:
            return str(host_path)
        return "/" + str(Path(host_path).resolve().relative_to(self.root.resolve()))

    def env(self, overrides=""):
        # No Mono or Gecko prompts; DLL overrides of a test come after those.
        return dict(os.environ, WINEPREFIX=self.seen_path(self.prefix), WINEDEBUG="-all",
                    WINEDLLOVERRIDES=";".join(filter(None, ["mscoree,mshtml=", overrides])),
                    LC_ALL=self.locale, PATH=f"/usr/lib/wine:{os.environ['PATH']}", DISPLAY=self.display or "")

    def command(self, program, *args):
        wine_program = f"/usr/lib/wine/{program}"
        return [*(["chroot", str(self.root)] if self.root else []), wine_program, *map(str, args)]

    def run(self, *args, overrides="", timeout=60):
        # Output goes to a file: a pipe would be held open by processes that outlive the call.
        return subprocess.run(self.command("wine64", *args), env=self.env(overrides), stdout=self.log,
                              stderr=self.log, timeout=allowed(timeout)).returncode

    def start(self, *args):
        """Starts a program and does not wait for it."""
        return subprocess.Popen(self.command("wine64", *args), env=self.env(), stdout=self.log, stderr=self.log)

    def server(self, flag):
        subprocess.run(self.command("wineserver", flag), env=self.env(), stdout=self.log, stderr=self.log,
                       timeout=allowed(60))

    def version(self):
        return subprocess.run(self.command("wine64", "--version"), env=self.env(), capture_output=True,
                              text=True).stdout.strip()

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

    def registry(self, *args):
        """reg.exe in the registry view of the Office that is played: 32-bit Office registers its
        classes in the 32-bit view, where only 32-bit programs look by default."""
        assert self.run("reg", *args, f"/reg:{self.office_bits}", "/f") == 0, args

    def register_stand_in(self):
        classes = "HKLM\\Software\\Classes"
        self.registry("add", f"{classes}\\Excel.Application\\CLSID", "/ve", "/d", STAND_IN_CLASS)
        self.registry("add", f"{classes}\\CLSID\\{STAND_IN_CLASS}\\LocalServer32", "/ve", "/d",
                      "C:\\standin\\stand_in_excel.exe")

    def unregister_stand_in(self):
        self.registry("delete", "HKLM\\Software\\Classes\\Excel.Application")

    def set_up(self):
        """A new prefix with the stand-in for Excel registered and the test programs in place."""
        if self.root is not None:
            subprocess.run([str(WOW64_WINE), "mount"], check=True)
        self.create()
        harness = {"standin": [self.stand_in],
                   "driver": [self.harness / name for name in ("box_driver.exe", "box_probe.dll", "read_resources.exe", "name_forms.exe")]}
        for directory, files in harness.items():
            (self.drive_c / directory).mkdir(exist_ok=True)
            for path in files:
                shutil.copy(path, self.drive_c / directory)
        self.register_stand_in()

    def shut_down(self):
        """Ends every process of the prefix and, for the WoW64 Wine, undoes its mounts."""
        try:
            self.server("-k")
        finally:
            if self.root is not None:
                subprocess.run([str(WOW64_WINE), "umount"], check=True)


# The run of this process, as KELMINA_WINE_RUN names it.
RUN = os.environ.get("KELMINA_WINE_RUN", "twin-office64")
WINE = Wine(RUN)
INSTALLER, OFFICE_BITS, HARNESS, PREFIX, DRIVE_C = WINE.installer, WINE.office_bits, WINE.harness, WINE.prefix, WINE.drive_c
