"""The throwaway Wine prefix that the tests under Wine share: headless, with the stand-in for
Excel registered and the test programs in place. Never the user's own ~/.wine.

One run puts one build of the installer against one Office under one Wine, as KELMINA_WINE_RUN
names it (see RUNS): the 64-bit twin under this machine's Wine 8, or the 32-bit release under
Debian 13's Wine 10, in a root of its own that scripts/wine-root keeps, in the way that
KELMINA_32BIT_WAY names (WAYS). A run's tests are spread over workers (KELMINA_WINE_WORKER), each
with a copy of the run's prefix and a wineserver of its own."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import threading
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parents[2]
TWIN = ROOT / "dist" / "win64" / "KelminaAddinInstaller.exe"
RELEASE = ROOT / "dist" / "win32" / "KelminaAddinInstaller.exe"
WINE_ROOT = ROOT / "scripts" / "wine-root"

# The ways this machine may run the release's 32-bit code, in the order they are tried.
WAYS = {
    "native": "Wine 10 in its WoW64 mode, 32-bit code run by this machine's own kernel",
    "user-mode": "Wine 10 with wine32, every 32-bit process run by qemu-i386 (user-mode emulation)",
}


class Setup(NamedTuple):
    installer: Path
    installer_bits: int
    office_bits: int
    release: bool  # the 32-bit release, under Wine 10 in its root, not this machine's Wine 8

    def describe(self, way=None):
        wine = WAYS[way] if self.release else "Wine 8 (this machine), 64-bit throughout"
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


def wine_root(way):
    answer = subprocess.run([str(WINE_ROOT), "path", way], check=True, capture_output=True, text=True)
    return Path(answer.stdout.strip())


# A command in a mount and PID namespace of its own: its mounts, and every process it starts, go
# with it when it ends, however it ends.
OWN_NAMESPACES = ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc", "--"]


def in_own_namespaces(way):
    """Runs this script again in OWN_NAMESPACES, unless it is there already, and there mounts the
    root of `way`."""
    if not os.environ.get("KELMINA_OWN_NAMESPACES"):
        os.execvpe("unshare", [*OWN_NAMESPACES, sys.executable, *sys.argv],
                   dict(os.environ, KELMINA_OWN_NAMESPACES="1"))
    subprocess.run([str(WINE_ROOT), "mount", way], check=True)


# The way of this process's run, as the runner chose it.
WAY = os.environ.get("KELMINA_32BIT_WAY", "native")


def work_folder(run):
    """Where a run keeps its prefixes. Wine only sees files inside its own root, so the release's
    runs keep theirs there, one folder per clone of the repository and run."""
    if RUNS[run].release:
        return wine_root(WAY) / "work" / f"{hashlib.sha1(str(ROOT).encode()).hexdigest()[:8]}-{run}"
    return ROOT / "build" / "wine-tests" / run


# The kinds of file that Wine installs under C:\windows and never writes again.
SHARED_BINARIES = {".dll", ".exe", ".drv", ".sys", ".cpl", ".ocx", ".acm", ".ax", ".tlb", ".ds", ".nls", ".ttf",
                   ".fon", ".otf", ".mui", ".msstyles", ".com", ".vxd", ".tsp", ".ime"}


STAND_IN_CLASS = "{5C7D2A10-8E4B-4F3A-9B61-2D0E7A3C9F42}"


# How much slower than natively this run's Wine goes: qemu-i386 costs the 32-bit processes some
# threefold, and the runner sets it by the way. The harness's time limits grow by it; what the
# tests assert about the installer's own timing does not.
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
        self.root = wine_root(WAY) if setup.release else None
        worker = os.environ.get("KELMINA_WINE_WORKER")
        self.prefix = prefix or work_folder(run) / (f"worker-{worker}" if worker else "template") / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.display = None
        self.locale = "C.UTF-8"
        self._server_locale = None
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
        return subprocess.run(self.command("wine64", *args), env=self.env(overrides), stdin=subprocess.DEVNULL,
                              stdout=self.log, stderr=self.log, timeout=allowed(timeout)).returncode

    def start(self, *args):
        """Starts a program and does not wait for it."""
        return subprocess.Popen(self.command("wine64", *args), env=self.env(), stdin=subprocess.DEVNULL,
                                stdout=self.log, stderr=self.log)

    def server(self, flag):
        subprocess.run(self.command("wineserver", flag), env=self.env(), stdin=subprocess.DEVNULL, stdout=self.log,
                       stderr=self.log, timeout=allowed(60))

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
        self._server_locale = None

    def use_locale(self, locale):
        """Wine's own processes keep the locale they started under: a change of locale restarts
        them, and the same locale again costs nothing."""
        self.locale = locale
        if self._server_locale not in (None, locale):
            self.restart()
        self._server_locale = locale

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
        self.create()
        harness = {"standin": [self.stand_in],
                   "driver": [self.harness / name for name in ("box_driver.exe", "box_probe.dll", "read_resources.exe", "name_forms.exe")]}
        for directory, files in harness.items():
            (self.drive_c / directory).mkdir(exist_ok=True)
            for path in files:
                shutil.copy(path, self.drive_c / directory)
        self.register_stand_in()

    def copy_from(self, template):
        """This prefix as a copy of `template`, a prefix that is shut down, on the same file system:
        a copy takes a second where making one takes Wine many. Wine's own binaries make a prefix
        0.7 GB (Wine 8) to 1.4 GB (Wine 10) large and are never written, so the copy shares them
        with the template as hard links; every other file is a copy of its own, since Wine and the
        tests rewrite some in place (win.ini, the stand-in's settings)."""
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.prefix.parent.mkdir(parents=True, exist_ok=True)

        def copy(source, target):
            if Path(source).suffix.lower() in SHARED_BINARIES and "/drive_c/windows/" in source:
                os.link(source, target)
            else:
                shutil.copy2(source, target)

        shutil.copytree(template, self.prefix, symlinks=True, copy_function=copy)

    def shut_down(self):
        """Ends every process of the prefix."""
        self.server("-k")


# The run of this process, as KELMINA_WINE_RUN names it.
RUN = os.environ.get("KELMINA_WINE_RUN", "twin-office64")
WINE = Wine(RUN)
INSTALLER, OFFICE_BITS, HARNESS, PREFIX, DRIVE_C = WINE.installer, WINE.office_bits, WINE.harness, WINE.prefix, WINE.drive_c
INSTALLER_BITS = RUNS[RUN].installer_bits


def program_of(pid):
    """The Windows program that a process of this machine runs, and the Linux program that runs it
    (/proc/PID/exe); None for a process that is gone. The Windows program is the first argument
    after whatever starts it (chroot and the root, qemu-i386, Wine's loader), as Wine leaves it or
    as it rewrites the command line: `reg add ... /d C:\\standin\\stand_in_excel.exe` runs reg."""
    try:
        arguments = [a for a in Path(f"/proc/{pid}/cmdline").read_bytes().decode("utf-8", "replace").split("\0") if a]
        executable = os.readlink(f"/proc/{pid}/exe")
    except OSError:
        return None
    starters = {"chroot", "qemu-i386", "wine", "wine64", "wine-preloader", "wine64-preloader"}
    while arguments and (arguments[0].startswith("/") or arguments[0] in starters):
        arguments.pop(0)
    if not arguments:
        return None
    # Wine may leave the command line as one argument, a path with blanks in it included.
    first = re.match(r"(.*?\.exe)(\s|$)", arguments[0], re.IGNORECASE)
    program = re.split(r"[\\/]", first.group(1) if first else arguments[0].split(" ")[0])[-1]
    return program.lower(), Path(executable.removesuffix(" (deleted)")).name, " ".join(arguments)


class ProcessWatch:
    """Notes, while a scenario runs, which Linux program runs each of the given Windows programs:
    Wine falls back between its ways without a word, so a run proves its way by its processes.
    What counts is the last program seen in each process: Wine may start a 32-bit program through
    `wine64`, which at once replaces itself, in the same process, with the loader that runs it."""

    def __init__(self, programs):
        self.programs = {program.lower() for program in programs}
        self._last = {}  # process id: (program, Linux program, command line)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    @property
    def seen(self):
        """program: {Linux program that ran it last in some process: that process's command line}"""
        seen = {}
        for program, runner, command_line in self._last.values():
            seen.setdefault(program, {}).setdefault(runner, command_line)
        return seen

    def _watch(self):
        while not self._stop.wait(0.1):
            for entry in os.scandir("/proc"):
                if entry.name.isdigit():
                    found = program_of(entry.name)
                    if found and found[0] in self.programs:
                        self._last[entry.name] = found

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *_):
        self._stop.set()
        self._thread.join()


def expected_runners(bits):
    """The Linux programs that may run a Windows program of `bits` in this process's run."""
    if bits == 32 and RUNS[RUN].release and WAY == "user-mode":
        return {"qemu-i386"}
    # Wine's 64-bit loader, or its preloader: for a 32-bit program too, in WoW64 mode. The 32-bit
    # loader (`wine`) here would mean that Wine left WoW64 mode for the old way without a word.
    return {"wine64", "wine64-preloader"}
