"""The binfmt_misc entry that makes the kernel start every 32-bit x86 ELF program through QEMU's
user-mode emulator, for the user-mode way of running the release's 32-bit code.

The entry is machine-wide: while it exists, every 32-bit ELF program on the machine goes through
qemu-i386, even where the kernel could run it itself. So it is held as a lease. The first run that
needs it registers it; the last one to end removes it. Each holder keeps a shared lock on a lease
file for as long as it runs, and the kernel drops that lock when the holder dies, however it dies:
a lease left by a killed run is seen as dead, and the next run takes the entry over. An entry of
this name that no run of ours registered (one a maintainer made by hand, say) is kept as it is.
Entries of other names are never touched.

The `F` flag makes the kernel open the interpreter once, at registration, so that it also serves
programs started inside the Wine root's chroot, where its host path does not exist."""

import contextlib
import fcntl
import os
import subprocess
from pathlib import Path

NAME = "kelmina-i386"
BINFMT = Path("/proc/sys/fs/binfmt_misc")
# Gone at a reboot, as the entry is.
STATE = Path("/run/kelmina")
# 32-bit little-endian ELF, executable or shared object (a static PIE), for the i386.
MAGIC = "7f454c4601010100000000000000000002000300"
MASK = "fffffffffffefe00fffffffffffffffffeffffff"


def _escaped(hex_text):
    return "".join(f"\\x{hex_text[i:i + 2]}" for i in range(0, len(hex_text), 2))


def available():
    """Why no entry can be registered here, or None when one can."""
    if os.geteuid() != 0:
        return "registering a binfmt_misc entry needs root"
    filesystems = Path("/proc/filesystems").read_text()
    if "binfmt_misc" not in filesystems.split():
        return "this kernel has no binfmt_misc"
    return None


class Lease:
    """Holds the entry for `interpreter` (a qemu-i386 as the host sees it) while a run needs it."""

    def __init__(self, interpreter):
        self.interpreter = str(interpreter)
        if ":" in self.interpreter or any(c.isspace() for c in self.interpreter):
            raise ValueError(f"binfmt_misc cannot name an interpreter whose path holds a colon or a blank: "
                             f"{self.interpreter}")
        self.held = None

    @contextlib.contextmanager
    def _alone(self):
        """Taking and giving back leases, one run at a time."""
        STATE.mkdir(parents=True, exist_ok=True)
        with open(STATE / "binfmt.mutex", "a") as mutex:
            fcntl.flock(mutex, fcntl.LOCK_EX)
            yield

    @staticmethod
    def _no_other_holder():
        with open(STATE / "binfmt.lease", "a") as probe:
            try:
                fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return True
            except BlockingIOError:
                return False

    def _entry_is_ours(self, entry):
        text = entry.read_text()
        lines = dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
        return (lines.get("interpreter") == self.interpreter and lines.get("flags:", "").strip() == "F"
                and lines.get("magic") == MAGIC and lines.get("mask") == MASK)

    def acquire(self):
        with self._alone():
            alone = self._no_other_holder()
            if not (BINFMT / "register").exists():
                subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True)
                (STATE / "binfmt.mounted").touch()
            entry = BINFMT / NAME
            registered_by_us = (STATE / "binfmt.registered").exists()
            if entry.exists() and not self._entry_is_ours(entry):
                if not registered_by_us:
                    raise RuntimeError(f"{entry} is there and names another interpreter, and no run of ours made it: "
                                       f"remove it (echo -1 > {entry}) or let it be and do not use the user-mode way")
                if alone:
                    # Left by a killed run, with a root since made elsewhere.
                    entry.write_text("-1")
            if not entry.exists():
                (BINFMT / "register").write_text(
                    f":{NAME}:M::{_escaped(MAGIC)}:{_escaped(MASK)}:{self.interpreter}:F")
                (STATE / "binfmt.registered").touch()
            self.held = open(STATE / "binfmt.lease", "a")
            fcntl.flock(self.held, fcntl.LOCK_SH)

    def release(self):
        if self.held is None:
            return
        with self._alone():
            self.held.close()
            self.held = None
            if not self._no_other_holder():
                return
            entry = BINFMT / NAME
            if (STATE / "binfmt.registered").exists():
                if entry.exists():
                    entry.write_text("-1")
                (STATE / "binfmt.registered").unlink()
            if (STATE / "binfmt.mounted").exists():
                left = {p.name for p in BINFMT.iterdir()} - {"register", "status"}
                if not left:
                    subprocess.run(["umount", str(BINFMT)], check=False)
                    (STATE / "binfmt.mounted").unlink()
