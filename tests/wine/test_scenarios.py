"""The installer run under Wine as on a user's machine: real message boxes, a real out-of-process
stand-in for Excel, real files. Each scenario checks the boxes, the files, what the stand-in was
asked and the exit status. Every scenario runs under code page 1252 and again under code page
932, on the build and against the Office that the run names (wine_prefix.RUNS)."""

import os
import shutil
import subprocess
import sys
import time
import unittest

from wine_prefix import (DRIVE_C, INSTALLER, INSTALLER_BITS, OFFICE_BITS, PREFIX, RUN, RUNS, WINE, ProcessWatch,
                         allowed, expected_runners, read_events, unix_path)

# The tests' own copy of the texts the user must see.
ADDIN = "ケルミナアドイン.xla"
NOT_INSTALLED = ("エラー", "Excelがインストールされていません", "ok", "16")
NO_DESTINATION = ("エラー", "アドインのインストール先が不明です", "ok", "16")
CONFIRMATION = ("インストールの確認", "ケルミナアドイン(Excelアドイン)をインストールしますか？", "yes,no", "32")
COMPLETION = ("ケルミナアドイン(Excelアドイン)", "アドインのインストールが完了しました", "ok", "64")
REPORT_HEAD = "何らかのエラーが発生しました\r\nErrCode:"
# What Excel says of itself: the HRESULT of an error it raises, and its busy answers.
EXCEL_ERROR = "0x800A03EC"
CALL_REJECTED = "0x80010001"
RETRY_LATER = "0x8001010A"
TIMED_OUT = "0x8001011F"  # RPC_E_TIMEOUT: a call that never came back
# What a call gives whose server's process has ended: the call failed, the server is unavailable,
# disconnected, died.
SERVER_GONE = ("0x800706BE", "0x800706BA", "0x80010108", "0x80010007", "0x80010012")

# The add-in's name as a Mac writes it (NFD): ド as ト followed by the combining voiced sound mark.
ADDIN_DECOMPOSED = ADDIN.replace("ド", "ト\u3099")
# How long the installer waits, in all, for other programs to let go of its files, and how long a
# brief holder here holds one after Yes (not grown in the emulated machine: it plays a scanner).
HOLD_ALLOWANCE = 5.0
BRIEF_HOLD_MS = 1500

PROGRAM = "C:\\kelmina\\program"
LIBRARY = "C:\\kelmina\\library"
WORKBOOK = bytes(range(256)) * 64 + "ケルミナ".encode("utf-8")

class Run:
    def __init__(self, events):
        self.events = events
        self.boxes = [(e["title"], e["prompt"], e["buttons"], e["icon"]) for e in events if e["event"] == "box"]
        self.box_positions = [i for i, e in enumerate(events) if e["event"] == "box"]
        # What the stand-in was asked, and apart from it how the stand-in ended: by itself
        # ("exit") or, when it did not after the installer let go, by its own watch ("forced-exit").
        excel = [e for e in events if e["who"] == "excel"]
        ended = ("exit", "forced-exit")
        # The calls that a busy Excel refused are held apart from the ones it answered.
        self.refused = [(e["by"], e["member"]) for e in excel if e["event"] == "refused"]
        self.excel = [e["event"] for e in excel if e["event"] not in ended + ("refused",)]
        self.excel_end = next((e for e in excel if e["event"] in ended), None)
        ends = [e for e in events if e["who"] == "driver" and e["event"] in ("exit", "timeout")]
        self.exit_status = int(ends[-1]["status"]) if ends and ends[-1]["event"] == "exit" else None
        self.code_page = next((int(e["acp"]) for e in events if e["event"] == "start"), None)

    def position(self, who, event):
        return next(i for i, e in enumerate(self.events) if e["who"] == who and e["event"] == event)

    def seconds_from_answer_to_last_box(self):
        """By the tick count that all processes of one Wine share."""
        answered = next(e for e in self.events if e["event"] == "answered")
        last_box = [e for e in self.events if e["event"] == "box"][-1]
        return (int(last_box["tick"]) - int(answered["tick"])) / 1000


class InstallerRunCase(unittest.TestCase):
    """A fresh program directory with the installer and the workbook, an empty add-in directory, and
    the means to run the installer and look at what it did."""

    locale = "C.UTF-8"
    code_page = 1252

    @classmethod
    def setUpClass(cls):
        WINE.use_locale(cls.locale)

    def setUp(self):
        shutil.rmtree(DRIVE_C / "kelmina", ignore_errors=True)
        unix_path(PROGRAM).mkdir(parents=True)
        unix_path(LIBRARY).mkdir(parents=True)
        shutil.copy(INSTALLER, unix_path(PROGRAM))
        unix_path(PROGRAM + "\\" + ADDIN).write_bytes(WORKBOOK)

    def install(self, answers="yes,ok", library_path=LIBRARY, program=PROGRAM, working_directory="C:\\",
                program_name="KelminaAddinInstaller.exe",
                library_path_fails=False, quit_fails=False, held_file=None, holds=(), after_nul=None, kill_after_ms=None,
                english_only=False, busy=None, quit_refusals=0, seconds=40, **stand_in):
        """`held_file`: held open without sharing for the whole run; `holds`: files held as
        (path, milliseconds after the first answer or None for the whole run, shares everything).
        `after_nul`: the library path goes on after a NUL with this. `kill_after_ms`: the
        installer is killed that long after the first answer, or, written "copy+MS", after the
        copy's temporary file first shows. `english_only`: Excel understands only US English, as an
        English Excel without the user's language pack does. `busy`: Excel
        refuses calls after it starts, as (way, seconds) with way "filter" or "answer" and seconds
        a number or "forever", and way "ignore" (its object model's VBA_E_IGNORE) or "creation" (the
        creation refused from its start); `quit_refusals`: so many calls of Quit find it busy once
        more. Any other keyword is a setting of the stand-in: create_hangs, library_path_hangs,
        vanishes_in (the member inside which its process ends)."""
        if busy and busy[0] == "creation" and busy[1] != "forever":
            # Counted from the server's start, which a slow machine takes longer to reach the
            # creation from: the refusal must still meet it.
            busy = (busy[0], allowed(busy[1]))
        (DRIVE_C / "standin" / "stand_in.cfg").write_text(
            f"library_path={library_path}\nlibrary_path_fails={int(library_path_fails)}\nquit_fails={int(quit_fails)}\n"
            f"english_only={int(english_only)}\nquit_refusals={quit_refusals}\n"
            + (f"busy_by={busy[0]}\nbusy_seconds={busy[1]}\n" if busy else "")
            + (f"library_path_after_nul={after_nul}\n" if after_nul is not None else "")
            + "".join(f"{key}={int(value) if isinstance(value, bool) else value}\n" for key, value in stand_in.items()),
            encoding="utf-8")
        events_log = DRIVE_C / "standin" / "events.log"
        holds = ([(held_file, None, False)] if held_file else []) + list(holds)
        options = [argument for path, release_ms, shares in holds
                   for argument in ("--hold-sharing" if shares else "--hold", f"{release_ms}:{path}" if release_ms else path)]
        options += (
            ["--kill-after", str(kill_after_ms), "--watch", library_path] if kill_after_ms is not None else [])
        # Once in a while Wine fails to start a program at all: the driver (seen once on CI: it wrote
        # nothing), or the installer (seen once here: CreateProcessW failed with 1359 under Wine 8).
        # Either way the installer never ran, so the start is tried once more; it is told, with what
        # Wine said, and not hidden.
        for attempt in (1, 2):
            events_log.unlink(missing_ok=True)
            said_from = os.path.getsize(WINE.log.name)
            with ProcessWatch([program_name, "stand_in_excel.exe"]) as self.processes:
                status = WINE.run("C:\\driver\\box_driver.exe", program + "\\" + program_name, working_directory,
                                  "C:\\standin\\events.log", answers, str(allowed(seconds)), *options,
                                  timeout=seconds + 50)
            driver = [e for e in read_events(events_log) if e["who"] == "driver"]
            started = any(e["event"] == "start" for e in driver) and not any(e["event"] == "no-start" for e in driver)
            if started or attempt == 2:
                break
            print(f"\n  note: the driver or the installer did not start (status {status}, {driver}); once more. "
                  f"Wine said:\n{WINE.said_since(said_from)}", file=sys.stderr)
        self.assertTrue(started, f"no start twice (status {status}, {driver}): {WINE.said_since(said_from)}")
        # The stand-in notes its own end; give it time after the installer has gone. One still
        # running would also answer the next run in its place.
        for _ in range(allowed(300)):
            run = Run(read_events(events_log))
            if not run.excel or run.excel_end:
                break
            time.sleep(0.1)
        self.assertTrue(not run.excel or run.excel_end, f"the stand-in for Excel is still running: {run.events}")
        if run.excel_end and run.excel_end["event"] == "forced-exit":
            print(f"\n  note: the stand-in for Excel had to end itself ({run.excel_end['step']})", file=sys.stderr)
        self.assertEqual(run.code_page, self.code_page, "the system code page of the run")
        for start in (e for e in run.events if e["who"] == "excel" and e["event"] == "start"):
            self.assertEqual(int(start["bits"]), OFFICE_BITS, "the bitness of the Excel that answered")
        # The way the run names, and no other, ran the installer and the stand-in.
        for program, bits in ((program_name, INSTALLER_BITS), ("stand_in_excel.exe", OFFICE_BITS)):
            runners = self.processes.seen.get(program.lower(), {})
            self.assertLessEqual(set(runners), expected_runners(bits), f"what ran {program}: {runners}")
        return run

    def assert_boxes(self, run, expected):
        self.assertEqual(run.boxes, expected, "events of the run:\n" + "\n".join(map(str, run.events)))

    def assert_library_holds(self, expected, directory=LIBRARY):
        found = {p.name: p.read_bytes() for p in unix_path(directory).iterdir()}
        self.assertEqual(sorted(found), sorted(expected), "files in the add-in directory")
        for name, content in expected.items():
            self.assertTrue(found[name] == content, f"bytes of {name}")

    def assert_source_untouched(self):
        self.assertEqual(unix_path(PROGRAM + "\\" + ADDIN).read_bytes(), WORKBOOK)

    def assert_excel_closed_before_boxes(self, run, asked_quit=True, gone=False):
        """Excel was started once, asked, and released (or, `gone`, its process ended inside the last
        call) before the first box."""
        expected = ["start", "create", "LibraryPath"] + (["Quit"] if asked_quit else []) + ([] if gone else ["release"])
        self.assertEqual(run.excel, expected, "what the stand-in saw")
        last = run.position("excel", "exit" if gone else "release")
        boxes = [i for i, e in enumerate(run.events) if e["event"] == "box"]
        if boxes:
            self.assertLess(last, boxes[0], "Excel released before the first box")

    def assert_told_in_system_terms(self, run, number, description=None):
        """The only box is the platform's own error box for a failure before the question: titled with
        the program's file name, holding the description (when there is one) and the number (or one
        of a tuple of them) as an HRESULT, and none of the program's own texts."""
        self.assertEqual(len(run.boxes), 1, f"one box: {run.events}")
        title, prompt, buttons, icon = run.boxes[0]
        self.assertEqual((title, buttons, icon), ("KelminaAddinInstaller.exe", "ok", "16"))
        numbers = (number,) if isinstance(number, str) else number
        self.assertTrue(any(prompt == n or prompt.endswith("\r\n" + n) for n in numbers),
                        f"ends with {number}: {prompt!r}")
        if description is not None:
            self.assertEqual(prompt, f"{description}\r\n{number}")
        self.assertNotIn("エラー", prompt)
        self.assertNotIn("ErrCode", prompt)

    def assert_report(self, run, number, path=None):
        """The last box is the failure report for `number`, with the system's message and, when
        the failure concerns a file, its `path` on a line of its own after it."""
        self.assertTrue(run.boxes, f"no box at all: {run.events}")
        title, prompt, buttons, icon = run.boxes[-1]
        self.assertEqual((title, buttons, icon), ("エラー", "ok", "16"))
        self.assertTrue(prompt.startswith(f"{REPORT_HEAD}{number}  内容:"), prompt)
        message = prompt[len(f"{REPORT_HEAD}{number}  内容:"):]
        if path is not None:
            self.assertTrue(message.endswith("\r\n" + path), f"ends with {path!r}: {message!r}")
            message = message[:-len("\r\n" + path)]
        self.assertTrue(message.strip(), "the system's message is not empty")
        self.assertFalse(message.endswith(("\r", "\n")), "no line break after the message")
        self.assertNotIn("\r\n", message, "no path where none is expected")
        if self.locale.startswith("ja_JP"):
            self.assertTrue(any("\u3040" <= c <= "\u9fff" for c in message), f"Japanese: {message!r}")


class Scenarios(InstallerRunCase):
    # The six ways a run ends.

    def test_without_excel_only_the_not_installed_box_is_shown(self):
        WINE.unregister_stand_in()
        try:
            run = self.install(answers="ok")
        finally:
            WINE.register_stand_in()
        self.assert_boxes(run, [NOT_INSTALLED])
        self.assertEqual(run.exit_status, 10)
        self.assertEqual(run.excel, [])
        self.assert_library_holds({})

    def test_empty_library_path_closes_excel_then_says_no_destination(self):
        run = self.install(answers="ok", library_path="")
        self.assert_boxes(run, [NO_DESTINATION])
        self.assertEqual(run.exit_status, 11)
        self.assert_excel_closed_before_boxes(run)

    def test_no_ends_the_run_without_a_copy(self):
        run = self.install(answers="no")
        self.assert_boxes(run, [CONFIRMATION])
        self.assertEqual(run.exit_status, 1602)
        self.assert_excel_closed_before_boxes(run)
        self.assert_library_holds({})

    def test_yes_copies_the_workbook_and_says_so(self):
        # Also with an English Excel without the user's language pack, and with an Excel whose
        # process ends inside Quit before it answers: it has closed, as asked.
        for excel in ({}, {"english_only": True}, {"vanishes_in": "Quit"}):
            with self.subTest(**excel):
                unix_path(LIBRARY + "\\" + ADDIN).unlink(missing_ok=True)
                run = self.install(**excel)
                if not excel:
                    # Both were seen at all, so that the run's way is proven, not just not refuted.
                    self.assertEqual(set(self.processes.seen), {"kelminaaddininstaller.exe", "stand_in_excel.exe"})
                self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                self.assertEqual(run.exit_status, 0)
                self.assert_excel_closed_before_boxes(run, gone="vanishes_in" in excel)
                self.assert_library_holds({ADDIN: WORKBOOK})
                self.assert_source_untouched()

    def test_missing_workbook_is_reported_instead_of_completion(self):
        unix_path(PROGRAM + "\\" + ADDIN).unlink()
        run = self.install(answers="yes,ok")
        self.assertEqual(run.boxes[0], CONFIRMATION)
        self.assertEqual(len(run.boxes), 2)
        self.assert_report(run, 2, path=PROGRAM + "\\" + ADDIN)
        self.assertEqual(run.exit_status, 1603)
        self.assert_library_holds({})

    def test_excel_failing_before_the_confirmation_is_told_in_system_terms_after_release(self):
        # Excel's own errors; and an Excel whose process ends while it answers for LibraryPath, which
        # unlike Quit has then not done what was asked.
        rows = ((("library_path_fails", True), EXCEL_ERROR, "LibraryPath is not available"),
                (("quit_fails", True), EXCEL_ERROR, "Quit was refused"),
                (("vanishes_in", "LibraryPath"), SERVER_GONE, None))
        for (setting, value), number, description in rows:
            with self.subTest(setting):
                run = self.install(answers="ok", **{setting: value})
                self.assert_told_in_system_terms(run, number, description)
                self.assertEqual(run.exit_status, 12)
                self.assert_excel_closed_before_boxes(run, asked_quit=setting == "quit_fails",
                                                      gone=value == "LibraryPath")
                self.assert_library_holds({})

    def test_busy_excel_is_asked_again_until_it_answers(self):
        # Busy while it starts, in each of its ways, and once more when asked to quit. Refusing the
        # creation, the same Excel is asked again: one was started, and it is closed.
        for way in ("filter", "answer", "ignore", "creation"):
            with self.subTest(way):
                unix_path(LIBRARY + "\\" + ADDIN).unlink(missing_ok=True)
                run = self.install(busy=(way, 3), quit_refusals=1)
                self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                self.assertEqual(run.exit_status, 0)
                self.assert_excel_closed_before_boxes(run)
                self.assertIn((way, ""), run.refused, "Excel was busy when first asked")
                self.assertEqual(run.refused.count(("answer", "Quit")), 1, "one Quit refused")
                self.assert_library_holds({ADDIN: WORKBOOK})

    def test_excel_busy_for_good_is_given_up_after_a_minute_and_told(self):
        # A minute each: one way under each code page.
        way, number = ("filter", CALL_REJECTED) if self.code_page == 1252 else ("answer", RETRY_LATER)
        run = self.install(answers="ok", busy=(way, "forever"), seconds=120)
        created = next(e for e in run.events if e["who"] == "excel" and e["event"] == "create")
        self.assertGreater((int(run.events[run.box_positions[0]]["tick"]) - int(created["tick"])) / 1000, 55,
                           "asked for about a minute")
        self.assert_told_in_system_terms(run, number)
        self.assertEqual(run.exit_status, 12)
        self.assertEqual(run.excel, ["start", "create", "release"], "never answered, let go")
        self.assertLess(run.position("excel", "release"), run.position("driver", "box"), "let go before the box")
        self.assertGreater(len(run.refused), 100, "asked again and again")
        self.assert_library_holds({})

    # Paths.

    def test_library_path_with_its_own_separator(self):
        for library_path in (LIBRARY + "\\", LIBRARY + "/"):
            with self.subTest(library_path):
                run = self.install(library_path=library_path)
                self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                self.assert_library_holds({ADDIN: WORKBOOK})
                unix_path(LIBRARY + "\\" + ADDIN).unlink()

    def test_program_started_from_a_drive_root(self):
        drive = PREFIX / "dosdevices" / "k:"
        drive.unlink(missing_ok=True)
        drive.symlink_to(WINE.seen_path(unix_path(PROGRAM)))
        try:
            run = self.install(program="K:")
        finally:
            drive.unlink()
        self.assert_boxes(run, [CONFIRMATION, COMPLETION])
        self.assert_library_holds({ADDIN: WORKBOOK})

    def test_workbook_comes_from_the_program_directory_not_the_working_directory(self):
        decoy_directory = unix_path("C:\\kelmina\\elsewhere")
        decoy_directory.mkdir()
        (decoy_directory / ADDIN).write_bytes(b"decoy")
        run = self.install(working_directory="C:\\kelmina\\elsewhere")
        self.assert_boxes(run, [CONFIRMATION, COMPLETION])
        self.assert_library_holds({ADDIN: WORKBOOK})

    def test_missing_library_directory_is_reported_and_not_created(self):
        run = self.install(library_path=LIBRARY + "\\missing")
        self.assert_report(run, 3, path=LIBRARY + "\\missing\\" + ADDIN)
        self.assertEqual(run.exit_status, 1603)
        self.assertFalse(unix_path(LIBRARY + "\\missing").exists())
        self.assert_library_holds({})

    # The destination's state.

    def test_existing_addin_is_replaced_and_a_second_run_asks_again(self):
        unix_path(LIBRARY + "\\" + ADDIN).write_bytes(b"an older add-in")
        for attempt in ("first", "second"):
            with self.subTest(attempt):
                run = self.install()
                self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                self.assertEqual(run.exit_status, 0)
                self.assert_library_holds({ADDIN: WORKBOOK})

    def test_workbook_named_on_a_mac_is_the_workbook(self):
        # Beside the program: the workbook under its decomposed name, also held a moment after Yes;
        # both names with different bytes (the exact one is the workbook). In the add-in directory,
        # a decomposed add-in that someone put there by hand, which is not the installer's to touch.
        other = b"the same name in the other form"
        decomposed = PROGRAM + "\\" + ADDIN_DECOMPOSED
        rows = (("decomposed", {ADDIN_DECOMPOSED: WORKBOOK}, {}, ()),
                ("decomposed, held a moment", {ADDIN_DECOMPOSED: WORKBOOK}, {}, ((decomposed, BRIEF_HOLD_MS, False),)),
                ("both forms", {ADDIN: WORKBOOK, ADDIN_DECOMPOSED: other}, {}, ()),
                ("decomposed add-in at the destination", {ADDIN: WORKBOOK}, {ADDIN_DECOMPOSED: other}, ()))
        for name, beside_program, by_hand, holds in rows:
            with self.subTest(name):
                for directory in (PROGRAM, LIBRARY):
                    for path in unix_path(directory).iterdir():
                        if path.name != "KelminaAddinInstaller.exe":
                            path.unlink()
                for file_name, content in beside_program.items():
                    unix_path(PROGRAM + "\\" + file_name).write_bytes(content)
                for file_name, content in {ADDIN: b"an older add-in", **by_hand}.items():
                    unix_path(LIBRARY + "\\" + file_name).write_bytes(content)
                run = self.install(holds=holds)
                self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                self.assertEqual(run.exit_status, 0)
                self.assert_library_holds({ADDIN: WORKBOOK, **by_hand})
                self.assertEqual({p.name: p.read_bytes() for p in unix_path(PROGRAM).iterdir() if p.suffix == ".xla"},
                                 beside_program, "the files beside the program, unchanged")
                if holds:
                    self.assertLess(run.position("driver", "released"), run.box_positions[-1], "completion after release")


class JapaneseScenarios(Scenarios):
    """The same scenarios on a Japanese system: code page 932, Japanese system messages."""

    locale = "ja_JP.UTF-8"
    code_page = 932

    # A minute and more each: under one code page only.
    def test_excel_that_never_answers_is_given_up_after_a_minute_and_told(self):
        # Its creation never comes back, so no object was had; or LibraryPath never does.
        rows = (("create_hangs", "create", NOT_INSTALLED, 10), ("library_path_hangs", "LibraryPath", None, 12))
        for hangs, unanswered, box, status in rows:
            with self.subTest(hangs):
                run = self.install(answers="ok", seconds=150, **{hangs: True})
                if box:
                    self.assert_boxes(run, [box])
                else:
                    self.assert_told_in_system_terms(run, TIMED_OUT)
                self.assertEqual(run.exit_status, status)
                self.assertEqual(run.excel[-1], unanswered, "the call that never came back was the last")
                asked, told = run.events[run.position("excel", unanswered)], run.events[run.position("driver", "box")]
                seconds = (int(told["tick"]) - int(asked["tick"])) / 1000
                self.assertTrue(55 <= seconds <= 90, f"told {seconds} s after the call, not within a minute and a half")
                self.assert_library_holds({})


class DestinationStates(InstallerRunCase):
    """The destination is, after any run, either the old add-in untouched or the new one complete,
    and nothing else lies beside it."""

    OLD = b"the add-in that worked a minute ago"

    def place_old_addin(self):
        target = unix_path(LIBRARY + "\\" + ADDIN)
        target.write_bytes(self.OLD)
        return target

    def test_held_files_are_waited_for_and_refusals_keep_the_old_addin(self):
        # Scanners, indexers and sync clients hold a file for a moment: the install waits for them,
        # at most HOLD_ALLOWANCE in all, and goes on once they let go. Held for good (Excel has the
        # add-in loaded, or the workbook open): told with 32 after that wait. What the installer
        # refuses by itself (a read-only add-in) is told at once. Each refusal of the add-in comes
        # after the copy has been written beside it, which must then go.
        addin, workbook = LIBRARY + "\\" + ADDIN, PROGRAM + "\\" + ADDIN
        brief, held = BRIEF_HOLD_MS, None
        # The first row times how long, on this machine under its present load, a box takes to
        # come after Yes when nothing waits; the times of the refusals are measured against it.
        telling = 0.0
        rows = (("nothing held", [], {}, None),
                ("add-in held a moment", [(addin, brief, False)], {}, None),
                ("workbook held a moment", [(workbook, brief, False)], {}, None),
                ("add-in held a moment, sharing everything", [(addin, brief, True)], {}, None),
                ("read-only add-in", [], {"read_only": True}, (5, addin, "at once")),  # ERROR_ACCESS_DENIED
                ("directory in the add-in's place", [], {"directory": True}, (5, addin, "at once")),
                # The workbook read-only this time: the copy, which takes no read-only mark, must still go.
                ("add-in held for good", [(addin, held, False)], {"read_only_workbook": True},
                 (32, addin, "waited")),  # ERROR_SHARING_VIOLATION
                ("workbook held for good", [(workbook, held, False)], {}, (32, workbook, "waited")),
                ("workbook held a moment, add-in for good", [(workbook, brief, False), (addin, held, False)], {},
                 (32, addin, "waited")),
                ("killed while waiting", [(addin, held, False)], {"kill_after_ms": "copy+1500"}, None),
                # Met by the rename itself: the copy's mark comes off for each try and must go back on.
                ("killed while waiting at the rename", [(addin, held, True)], {"kill_after_ms": "copy+1500"}, None))
        for name, holds, settings, refusal in rows:
            with self.subTest(name):
                target = self.place_old_addin()
                if settings.get("directory"):
                    target.unlink()
                    target.mkdir()
                # What Wine shows as the read-only attribute.
                target.chmod(0o444 if settings.get("read_only") else 0o644)
                unix_path(workbook).chmod(0o444 if settings.get("read_only_workbook") else 0o644)
                killed = "kill_after_ms" in settings
                run = self.install(answers="yes" if killed else "yes,ok", holds=holds,
                                   kill_after_ms=settings.get("kill_after_ms"))
                target.chmod(0o644)
                self.assertEqual(run.boxes[0], CONFIRMATION)
                if killed:
                    self.assertEqual([e["temporary"] for e in run.events if e["event"] == "killed"], ["1"],
                                     "killed while the copy lay beside the add-in")
                    self.assert_library_holds({ADDIN: self.OLD})
                elif refusal is None:
                    self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                    self.assertEqual(run.exit_status, 0)
                    if holds:
                        self.assertLess(run.position("driver", "released"), run.box_positions[-1],
                                        "completion after release")
                    else:
                        telling = run.seconds_from_answer_to_last_box()
                    self.assert_library_holds({ADDIN: WORKBOOK})
                else:
                    number, path, when = refusal
                    self.assert_report(run, number, path=path)
                    self.assertEqual(run.exit_status, 1603)
                    if settings.get("directory"):
                        self.assertEqual([p.name for p in unix_path(LIBRARY).iterdir()], [ADDIN], "nothing else")
                        target.rmdir()
                    else:
                        self.assert_library_holds({ADDIN: self.OLD})
                    seconds = run.seconds_from_answer_to_last_box()
                    if when == "at once":
                        self.assertLess(seconds, telling + HOLD_ALLOWANCE / 2,
                                        f"told without waiting (a box takes {telling} s here)")
                    else:
                        # One allowance for the whole copy: a workbook held at first leaves less for
                        # the add-in, so never the allowance plus that moment (BRIEF_HOLD_MS).
                        self.assertTrue(HOLD_ALLOWANCE <= seconds <= HOLD_ALLOWANCE + telling + 1.0,
                                        f"told {seconds} s after Yes, expected {HOLD_ALLOWANCE} s and the "
                                        f"{telling} s a box takes here")

    def test_a_link_in_the_workbooks_place_is_refused(self):
        # The elevated copy would hand out any file an administrator can read, under the add-in's name.
        secret = unix_path("C:\\kelmina\\secret.txt")
        secret.write_bytes(b"only an administrator may read this")
        namesake = unix_path("C:\\kelmina\\elsewhere\\" + ADDIN)  # another user's, say
        namesake.parent.mkdir()
        namesake.write_bytes(b"a workbook of the same name in another folder")
        workbook = unix_path(PROGRAM + "\\" + ADDIN)
        decomposed = unix_path(PROGRAM + "\\" + ADDIN_DECOMPOSED)  # the name as a Mac writes it
        links = {"file link": (workbook, lambda: workbook.symlink_to("../secret.txt")),
                 "hard link": (workbook, lambda: os.link(secret, workbook)),
                 "link to the same name": (workbook, lambda: workbook.symlink_to(f"../elsewhere/{ADDIN}")),
                 "link under the decomposed name": (decomposed, lambda: decomposed.symlink_to("../secret.txt"))}
        for kind, (link, make) in links.items():
            with self.subTest(kind):
                self.place_old_addin()
                workbook.unlink(missing_ok=True)
                make()
                run = self.install()
                self.assert_report(run, 1921, path=PROGRAM + "\\" + link.name)  # ERROR_CANT_RESOLVE_FILENAME
                self.assertEqual(run.exit_status, 1603)
                self.assert_library_holds({ADDIN: self.OLD})

    def test_links_among_the_folders_on_the_way_are_followed(self):
        real = unix_path("C:\\kelmina\\real-program")
        unix_path(PROGRAM).rename(real)
        unix_path(PROGRAM).symlink_to("real-program")
        run = self.install()
        self.assert_boxes(run, [CONFIRMATION, COMPLETION])
        self.assert_library_holds({ADDIN: WORKBOOK})

    def test_program_started_from_a_network_share(self):
        if not RUNS[RUN].release:
            self.skipTest("Wine 8 gives a program on a share a relative path of its own (UNC\\...), a Wine fault")
        share = PREFIX / "dosdevices" / "unc" / "fileserver" / "setup"
        share.parent.mkdir(parents=True, exist_ok=True)
        share.unlink(missing_ok=True)
        share.symlink_to(WINE.seen_path(unix_path(PROGRAM)))
        try:
            run = self.install(program="\\\\fileserver\\setup")
            self.assert_boxes(run, [CONFIRMATION, COMPLETION])
            self.assert_library_holds({ADDIN: WORKBOOK})
            unix_path(PROGRAM + "\\" + ADDIN).unlink()
            run = self.install(program="\\\\fileserver\\setup")
            self.assert_report(run, 2, path="\\\\fileserver\\setup\\" + ADDIN)  # ERROR_FILE_NOT_FOUND
        finally:
            share.unlink()

    def test_read_only_workbook_installs_an_addin_that_the_next_version_replaces(self):
        for version in (WORKBOOK, WORKBOOK + b" version 2"):
            with self.subTest(len(version)):
                source = unix_path(PROGRAM + "\\" + ADDIN)
                source.chmod(0o644)
                source.write_bytes(version)
                source.chmod(0o444)  # as from a CD, or an unzip tool that keeps the mark
                run = self.install()
                self.assert_boxes(run, [CONFIRMATION, COMPLETION])
                self.assert_library_holds({ADDIN: version})
                self.assertTrue(unix_path(LIBRARY + "\\" + ADDIN).stat().st_mode & 0o200, "not read-only")

    def test_killed_at_any_moment_leaves_only_the_addin_old_or_new(self):
        workbook = bytes(range(256)) * (4096 * 256)  # 256 MiB: a copy that takes a while
        unix_path(PROGRAM + "\\" + ADDIN).write_bytes(workbook)
        moments = []
        # Before the copy, from the answer; within it, from its first sight, wherever load puts it;
        # after it.
        for ms in (0, 150, 600, "copy+0", "copy+50", "copy+200", 3000):
            with self.subTest(ms=ms):
                self.place_old_addin()
                run = self.install(answers="yes", kill_after_ms=ms)
                killed = [e for e in run.events if e["event"] == "killed"]
                self.assertEqual(len(killed), 1, run.events)
                content = unix_path(LIBRARY + "\\" + ADDIN).read_bytes()
                moments.append((ms, killed[0]["temporary"], "new" if content == workbook else "old"))
                self.assertIn(content, (self.OLD, workbook), "the add-in, old or new")
                self.assertEqual([p.name for p in unix_path(LIBRARY).iterdir()], [ADDIN], "nothing else")
        self.assertIn("1", [temporary for _, temporary, _ in moments],
                      f"no kill came while the copy was being written: {moments}")

    def test_leftovers_of_earlier_runs_go_and_nothing_else(self):
        self.place_old_addin()
        leftovers = [f"{ADDIN}.{{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4{n}}}.tmp" for n in "BCDEF0"]
        held = leftovers[2]  # a run still writing it, or anyone else who has it open
        others = {"notes.tmp": b"the user's notes", held: b"held",
                  f"{ADDIN}.{{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4G}}.tmp": b"a look-alike"}
        for name, content in {leftovers[0]: b"cut", leftovers[1]: b"cut", **others}.items():
            unix_path(LIBRARY + "\\" + name).write_bytes(content)
        unix_path(LIBRARY + "\\" + leftovers[1]).chmod(0o444)  # read-only, as a read-only workbook's copy
        # Named like leftovers, links to read-only files that only an administrator may change: to
        # another name, to the same name in another folder, and a hard link. The sweep runs elevated.
        elsewhere = unix_path("C:\\kelmina\\elsewhere")
        elsewhere.mkdir()
        targets = {"secret.txt": leftovers[3], leftovers[4]: leftovers[4], "hard.txt": leftovers[5]}
        for target, name in targets.items():
            (elsewhere / target).write_bytes(b"not the installer's: " + target.encode())
            (elsewhere / target).chmod(0o444)
            link = unix_path(LIBRARY + "\\" + name)
            if target == "hard.txt":
                os.link(elsewhere / target, link)
            else:
                link.symlink_to(f"../elsewhere/{target}")
            others[name] = b"not the installer's: " + target.encode()
        run = self.install(held_file=LIBRARY + "\\" + held)
        self.assert_boxes(run, [CONFIRMATION, COMPLETION])
        self.assert_library_holds({ADDIN: WORKBOOK, **others})
        for target in targets:
            self.assertEqual((elsewhere / target).read_bytes(), b"not the installer's: " + target.encode())
            self.assertFalse((elsewhere / target).stat().st_mode & 0o200, f"{target} still read-only")

    def test_full_disk_is_reported_as_such_and_keeps_the_old_addin(self):
        disk = WINE.prefix.parent / "full-disk"
        disk.mkdir(exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)], check=True)
        drive = PREFIX / "dosdevices" / "s:"
        try:
            drive.unlink(missing_ok=True)
            drive.symlink_to(WINE.seen_path(disk))
            (disk / ADDIN).write_bytes(self.OLD)
            unix_path(PROGRAM + "\\" + ADDIN).write_bytes(bytes(range(256)) * (4096 * 6))  # 6 MiB
            run = self.install(library_path="S:\\")
            self.assert_report(run, 112, path="S:\\" + ADDIN)  # ERROR_DISK_FULL
            self.assertEqual(run.exit_status, 1603)
            self.assertEqual({p.name: p.read_bytes() for p in disk.iterdir()}, {ADDIN: self.OLD})
        finally:
            drive.unlink(missing_ok=True)
            subprocess.run(["umount", str(disk)], check=True)

    def test_library_path_with_a_nul_is_refused_before_any_file_is_touched(self):
        # Cut at the NUL, the path would name a file C:\kelmina\library\sub.
        run = self.install(library_path=LIBRARY + "\\sub", after_nul="X")
        # The refusal shows the path with the NUL as U+FFFD: a NUL would cut the box's text there.
        self.assert_report(run, 123, path=LIBRARY + "\\sub\ufffdX\\" + ADDIN)  # ERROR_INVALID_NAME
        self.assertEqual(run.exit_status, 1603)
        root = DRIVE_C / "kelmina"
        self.assertEqual(sorted(str(p.relative_to(root)) for p in root.rglob("*")),
                         sorted(["library", "program", f"program/{ADDIN}", "program/KelminaAddinInstaller.exe"]))
        self.assert_source_untouched()

    def test_library_on_a_drive_that_does_not_exist(self):
        self.assertFalse((PREFIX / "dosdevices" / "q:").exists())
        run = self.install(library_path="Q:\\Office\\Library")
        self.assert_report(run, 3, path="Q:\\Office\\Library\\" + ADDIN)  # ERROR_PATH_NOT_FOUND
        self.assertEqual(run.exit_status, 1603)

    def test_large_workbook_arrives_byte_for_byte_with_its_time(self):
        # Every byte value, in a size that does not fall on the copy's block boundaries.
        workbook = bytes(range(256)) * (3 * 4096 + 17) + bytes(reversed(range(256)))
        source = unix_path(PROGRAM + "\\" + ADDIN)
        source.write_bytes(workbook)
        os.utime(source, (1700000000, 1700000000))
        run = self.install()
        self.assert_boxes(run, [CONFIRMATION, COMPLETION])
        self.assert_library_holds({ADDIN: workbook})
        self.assertEqual(unix_path(LIBRARY + "\\" + ADDIN).stat().st_mtime, 1700000000, "last-write time kept")

    def test_long_paths_at_both_ends(self):
        # Wine starts no program whose path reaches MAX_PATH (CreateProcessW fails with
        # ERROR_INVALID_NAME), so the program lies as deep as Wine allows, renamed as a download
        # often is; with a name shorter than the workbook's, the workbook's path passes MAX_PATH.
        # The add-in directory, the copy's target, its temporary file and an earlier run's
        # leftover lie well past it.
        deep = "\\".join(f"{n:02d}-ケルミナ-" + "x" * 50 for n in range(5))
        library = f"C:\\long\\library\\{deep}"
        program = f"C:\\long\\program\\{deep}"[:259 - len("\\setup.exe")].rstrip("\\")
        self.assertEqual(len(program + "\\setup.exe"), 259)
        self.assertGreater(len(program + "\\" + ADDIN), 260)
        self.assertGreater(len(library + "\\" + ADDIN), 300)
        shutil.rmtree(DRIVE_C / "long", ignore_errors=True)
        unix_path(program).mkdir(parents=True)
        unix_path(library).mkdir(parents=True)
        shutil.copy(INSTALLER, unix_path(program + "\\setup.exe"))
        unix_path(program + "\\" + ADDIN).write_bytes(WORKBOOK)
        unix_path(f"{library}\\{ADDIN}.{{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4B}}.tmp").write_bytes(b"cut")
        try:
            run = self.install(program=program, program_name="setup.exe", library_path=library)
            self.assert_boxes(run, [CONFIRMATION, COMPLETION])
            self.assertEqual(run.exit_status, 0)
            self.assert_library_holds({ADDIN: WORKBOOK}, directory=library)
            # A failure there names the add-in as the user would type it, without the \\?\ prefix.
            unix_path(library + "\\" + ADDIN).chmod(0o444)
            run = self.install(program=program, program_name="setup.exe", library_path=library)
            self.assert_report(run, 5, path=library + "\\" + ADDIN)
            self.assert_library_holds({ADDIN: WORKBOOK}, directory=library)
        finally:
            shutil.rmtree(DRIVE_C / "long", ignore_errors=True)
