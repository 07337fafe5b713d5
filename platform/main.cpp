#include <windows.h>

#include "installer/install_sequence.h"
#include "platform/win32_platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    kelmina::win32::Win32Platform platform;
    kelmina::run_install_sequence(platform);
}
