// Asks the installer's own comparison of file names whether names are the same name in another
// Unicode form, as Windows' normalization (or Wine's) answers it.
//
//   name_forms.exe OUTPUT FIRST SECOND [FIRST SECOND]...
//
// Each name is written as its UTF-16 code units in hex, separated by dots (30C8.3099), so that
// names no command line can carry, such as one with an unpaired surrogate, reach it unchanged.
// OUTPUT gets one line a pair: 1 when the pair is the same name, 0 when not.
#include <windows.h>

#include <cwchar>
#include <fstream>
#include <string>

#include "platform/win32_file_names.h"

namespace {

std::wstring from_code_units(const wchar_t* text)
{
    std::wstring name;
    for (const wchar_t* at = text; *at != L'\0';) {
        wchar_t* end = nullptr;
        const unsigned long unit = std::wcstoul(at, &end, 16);
        if (end == at) {
            break;  // not hex: the name ends here rather than the loop never
        }
        name += static_cast<wchar_t>(unit);
        at = *end == L'.' ? end + 1 : end;
    }
    return name;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4 || argc % 2 != 0) {
        return 2;
    }
    std::ofstream output(argv[1]);
    for (int pair = 2; pair + 1 < argc; pair += 2) {
        const bool same =
            kelmina::win32::same_name_in_any_form(from_code_units(argv[pair]), from_code_units(argv[pair + 1]));
        output << (same ? "1\n" : "0\n");
    }
    return output.good() ? 0 : 1;
}
