// Loaded into the installer's process by a global CBT hook. Icon handles mean nothing in another
// process, so it identifies a message box's icon where the box lives and leaves the answer on
// the box as a window property for the driver to read.
#include <windows.h>

namespace {

HHOOK g_hook = nullptr;

// The style flag of the standard icon the box shows: 16, 32, 48 or 64; 255 for none.
UINT_PTR icon_flag(HWND box)
{
    struct Search {
        HICON icon = nullptr;
    } search;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM data) -> BOOL {
            const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
            if (icon != nullptr) {
                reinterpret_cast<Search*>(data)->icon = icon;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    const struct {
        LPCWSTR resource;
        UINT_PTR flag;
    } kStandard[] = {{IDI_HAND, MB_ICONERROR},
                     {IDI_QUESTION, MB_ICONQUESTION},
                     {IDI_EXCLAMATION, MB_ICONWARNING},
                     {IDI_ASTERISK, MB_ICONINFORMATION}};
    for (const auto& each : kStandard) {
        if (search.icon != nullptr && search.icon == LoadIconW(nullptr, each.resource)) {
            return each.flag;
        }
    }
    return 255;
}

LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_ACTIVATE) {
        const auto window = reinterpret_cast<HWND>(wparam);
        wchar_t class_name[16] = {};
        GetClassNameW(window, class_name, 16);
        if (lstrcmpW(class_name, L"#32770") == 0) {
            SetPropW(window, L"KelminaBoxIcon", reinterpret_cast<HANDLE>(icon_flag(window)));
        }
    }
    return CallNextHookEx(g_hook, code, wparam, lparam);
}

}  // namespace

extern "C" __declspec(dllexport) BOOL install_box_probe()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&on_cbt), &self);
    g_hook = SetWindowsHookExW(WH_CBT, on_cbt, self, 0);
    return g_hook != nullptr;
}
