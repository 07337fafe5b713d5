"""The installer's comparison of file names in Unicode's two forms, as the Windows of the run
normalizes them: a name that a Mac wrote (decomposed) is the same name as the composed one."""

import unittest

from wine_prefix import WINE, unix_path

ADDIN = "ケルミナアドイン.xla"


def code_units(name):
    """The name as UTF-16 code units in hex, dot-separated; an unpaired surrogate stays one."""
    units = name.encode("utf-16-le", "surrogatepass")
    return ".".join(f"{int.from_bytes(units[i:i + 2], 'little'):04X}" for i in range(0, len(units), 2))


class NameForms(unittest.TestCase):
    def test_names_in_either_form(self):
        rows = (
            (ADDIN, ADDIN, True),
            (ADDIN, "ケルミナアト\u3099イン.xla", True),  # ド decomposed, as a Mac writes it
            ("ケルミナアト\u3099イン.XLA", ADDIN, True),  # and the case ignored, as Windows ignores it
            ("ケルミナアドイン.xls", ADDIN, False),
            ("ア\u3099", "ア", False),  # ア takes no voiced mark: nothing composes
            ("ア\u3099", "ア\u3099", True),
            ("ク\u3099\u3099", "グ", False),  # グ and one mark too many
            ("ウ\u3099", "ヴ", True),
            ("Cafe\u0301.xla", "Café.xla", True),
            # An unpaired surrogate, which NTFS allows, has no normal form: the same to nothing.
            ("ケルミナアドイン\ud800.xla", "ケルミナアドイン\ud800.xla", False),
            ("ケルミナアドイン\ud800.xla", ADDIN, False),
        )
        output = unix_path("C:\\driver\\name_forms.txt")
        output.unlink(missing_ok=True)
        arguments = [code_units(name) for first, second, _ in rows for name in (first, second)]
        self.assertEqual(WINE.run("C:\\driver\\name_forms.exe", "C:\\driver\\name_forms.txt", *arguments), 0)
        found = output.read_text().split()
        for (first, second, expected), answer in zip(rows, found, strict=True):
            self.assertEqual(answer, "1" if expected else "0", f"{first!r} and {second!r}: expected {expected}")
