// Loaded into the installer's process by a CBT hook on the installer's thread. Icon handles mean
// nothing in another process, so it identifies a message box's icon where the box lives and
// leaves the answer on the box as a window property for the driver to read. The hook is set on
// that one thread, not globally: a hook DLL loads only into processes of its own bitness, and a
// global one stalled the processes of the other bitness, a 64-bit Excel among them.
#include <windows.h>

namespace {

HHOOK g_hook = nullptr;

BOOL CALLBACK find_icon(HWND child, LPARAM data)
{
    const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    if (icon != nullptr) {
        *reinterpret_cast<HICON*>(data) = icon;
        return FALSE;
    }
    return TRUE;
}

// The style flag of the standard icon the box shows: 16, 32, 48 or 64; 255 for none.
UINT_PTR icon_flag(HWND box)
{
    HICON icon = nullptr;
    EnumChildWindows(box, find_icon, reinterpret_cast<LPARAM>(&icon));
    const struct {
        LPCWSTR resource;
        UINT_PTR flag;
    } kStandard[] = {{IDI_HAND, MB_ICONERROR},
                     {IDI_QUESTION, MB_ICONQUESTION},
                     {IDI_EXCLAMATION, MB_ICONWARNING},
                     {IDI_ASTERISK, MB_ICONINFORMATION}};
    for (const auto& each : kStandard) {
        if (icon != nullptr && icon == LoadIconW(nullptr, each.resource)) {
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

// The installer may show a box from a thread other than the one the driver hooked (its watch on
// calls that never come back does). In the installer's process, where the driver's hook brought
// this DLL, every thread that starts afterwards is hooked too.
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*)
{
    if (reason == DLL_THREAD_ATTACH && g_hook == nullptr) {
        SetWindowsHookExW(WH_CBT, on_cbt, self, GetCurrentThreadId());
    }
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL install_box_probe(DWORD thread_id)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&on_cbt), &self);
    g_hook = SetWindowsHookExW(WH_CBT, on_cbt, self, thread_id);
    return g_hook != nullptr;
}
