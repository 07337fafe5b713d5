#include "platform/win32_errors.h"

#include "platform/win32_holders.h"

namespace kelmina::win32 {

std::wstring describe_error(DWORD code)
{
    constexpr DWORD kFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD languages[] = {MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), 0};
    for (const DWORD language : languages) {
        UniqueHlocal buffer;
        const DWORD length =
            FormatMessageW(kFlags, nullptr, code, language, reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
        if (length == 0) {
            continue;
        }
        std::wstring text(buffer.as<wchar_t>(), length);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
            text.pop_back();
        }
        return text;
    }
    return {};
}

PlatformFailure last_error_failure()
{
    return error_failure(GetLastError());
}

PlatformFailure error_failure(DWORD code)
{
    return {static_cast<std::int32_t>(code), describe_error(code)};
}

PlatformFailure hresult_failure(HRESULT result)
{
    return {static_cast<std::int32_t>(result), describe_error(static_cast<DWORD>(result))};
}

PlatformFailure last_error_failure(const std::wstring& concerned_path)
{
    return error_failure(GetLastError(), concerned_path);
}

PlatformFailure error_failure(DWORD code, const std::wstring& concerned_path)
{
    PlatformFailure failure = error_failure(code);
    failure.description += L"\r\n";  // the report's own line break
    failure.description += concerned_path;
    return failure;
}

}  // namespace kelmina::win32
