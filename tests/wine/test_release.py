"""What Windows itself reads out of the 32-bit release: the version record, the icon group and the
manifest; and whether a DLL planted beside the installer of the run gets loaded into it."""

import json
import shutil
import unittest
import xml.etree.ElementTree as ElementTree

from wine_prefix import DRIVE_C, HARNESS, INSTALLER, RELEASE, WINE, allowed, read_events, unix_path

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
WINDOWS_7_TO_11 = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


class ReleaseAsWindowsReadsIt(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        WINE.use_locale("C.UTF-8")
        release_dir = unix_path("C:\\release")
        shutil.rmtree(release_dir, ignore_errors=True)
        release_dir.mkdir()
        shutil.copy(RELEASE, release_dir)
        WINE.run("C:\\driver\\read_resources.exe", "C:\\release\\KelminaAddinInstaller.exe", "C:\\release\\found.json")
        cls.found = json.loads((release_dir / "found.json").read_text(encoding="utf-8"))

    def test_version_record(self):
        expected = {
            "FILEVERSION": "1.0.0.0",
            "PRODUCTVERSION": "1.0.0.0",
            "FILEOS": "0x00000004",  # VOS__WINDOWS32
            "FILETYPE": "0x00000001",  # VFT_APP
            "Translation": "0x04B00411",  # language 0x0411, code page 1200
            "FileVersion": "1.00",
            "ProductVersion": "1.00",
            "OriginalFilename": "KelminaAddinInstaller.exe",
            "FileDescription": "ケルミナアドイン(Excelアドイン)インストーラー",
        }
        self.assertEqual({key: self.found.get(key) for key in expected}, expected)
        for key in ("CompanyName", "ProductName", "InternalName"):
            self.assertTrue(self.found.get(key), f"{key} in the 041104B0 string table")

    def test_one_icon_group_of_three_images(self):
        self.assertEqual(self.found.get("icon_groups"), "#1")
        self.assertEqual(self.found.get("icon_images"), "32x32x1,32x32x4,16x16x4")

    def test_manifest(self):
        manifest = ElementTree.fromstring(self.found["manifest"].encode("utf-8"))
        level = manifest.find(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                              f"{ASM_V3}requestedExecutionLevel")
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("requireAdministrator", "false"))
        supported = {os.get("Id") for os in manifest.iter(f"{COMPATIBILITY}supportedOS")}
        self.assertEqual(supported, WINDOWS_7_TO_11)
        settings = manifest.find(f"{ASM_V3}application/{ASM_V3}windowsSettings")
        self.assertEqual(settings.find(f"{SETTINGS_2005}dpiAware").text, "true/pm")
        self.assertEqual(settings.find(f"{SETTINGS_2016}dpiAwareness").text, "PerMonitorV2, PerMonitor")
        self.assertEqual(settings.find(f"{SETTINGS_2016}longPathAware").text, "true")
        controls = [identity.attrib for identity in manifest.iter(f"{ASM_V1}assemblyIdentity")
                    if identity.get("name") == "Microsoft.Windows.Common-Controls"]
        self.assertEqual([(c["version"], c["publicKeyToken"]) for c in controls], [("6.0.0.0", "6595b64144ccf1df")])


class PlantedDll(unittest.TestCase):
    def test_dll_beside_the_program_is_not_loaded(self):
        # user32 loads uxtheme.dll by name for the first box. Seen here: with the program's
        # directory still on the search path, Wine then takes a native copy lying there.
        WINE.use_locale("C.UTF-8")
        program = unix_path("C:\\planted")
        shutil.rmtree(program, ignore_errors=True)
        (program / "library").mkdir(parents=True)
        shutil.copy(INSTALLER, program)
        (program / "ケルミナアドイン.xla").write_bytes(b"workbook")
        shutil.copy(HARNESS / "planted_dll.dll", program / "uxtheme.dll")
        (DRIVE_C / "standin" / "stand_in.cfg").write_text("library_path=C:\\planted\\library\n", encoding="utf-8")
        WINE.run("C:\\driver\\box_driver.exe", "C:\\planted\\KelminaAddinInstaller.exe", "C:\\planted",
                 "C:\\planted\\events.log", "yes,ok", str(allowed(40)), overrides="uxtheme=n,b", timeout=90)
        events = read_events(program / "events.log")
        self.assertEqual([e["title"] for e in events if e["event"] == "box"],
                         ["インストールの確認", "ケルミナアドイン(Excelアドイン)"], "the run itself went through")
        self.assertFalse((program / "uxtheme.dll.loaded").exists(), "the planted uxtheme.dll was loaded")
