// Failures of Win32 calls as the platform's one failure type, with the system's own text.
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace kelmina::win32 {

// The failure of the Win32 call that just failed; call it before anything else can touch the
// thread's last-error value.
PlatformFailure last_error_failure();
PlatformFailure error_failure(DWORD code);
PlatformFailure hresult_failure(HRESULT result);

// The same, about a file: the system's text, then the path on a line of its own.
PlatformFailure last_error_failure(const std::wstring& concerned_path);
PlatformFailure error_failure(DWORD code, const std::wstring& concerned_path);

// The system's text for an error code, in Japanese where Windows has it, without the line break
// that ends it; empty when the system has none.
std::wstring describe_error(DWORD code);

}  // namespace kelmina::win32
