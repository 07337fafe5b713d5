#include <windows.h>

#include "installer/install_sequence.h"
#include "platform/win32_platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Installers are started from download folders, where anyone may have left a DLL. Before any
    // DLL is loaded on the program's behalf, confine the search to the system directory.
    kelmina::win32::restrict_dll_search_to_system_directory();

    kelmina::win32::Win32Platform platform;
    kelmina::run_install_sequence(platform);
}
