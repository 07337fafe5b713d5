// One JSON object a line, appended to a log that the stand-in, the driver and the scenario
// runner share, so that the order of events across processes can be read back.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelmina::wine_tests {

inline std::string to_utf8(std::wstring_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

inline std::wstring from_utf8(std::string_view bytes)
{
    if (bytes.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

inline std::string json_quoted(std::wstring_view text)
{
    std::string quoted = "\"";
    for (const char byte : to_utf8(text)) {
        const auto code = static_cast<unsigned char>(byte);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += byte;
        } else if (code < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            quoted += "\\u00";
            quoted += kHex[code >> 4];
            quoted += kHex[code & 0xF];
        } else {
            quoted += byte;
        }
    }
    return quoted + "\"";
}

using Fields = std::vector<std::pair<std::string, std::wstring>>;

// Appends one event as a JSON line; false when the line did not reach the log whole.
inline bool append_event(const std::wstring& log_path, const Fields& fields)
{
    std::string line = "{";
    for (const auto& [name, value] : fields) {
        if (line.size() > 1) {
            line += ", ";
        }
        line += json_quoted(from_utf8(name)) + ": " + json_quoted(value);
    }
    line += "}\n";
    // Under the WoW64 Wine, the stand-in's line and the driver's, appended at the same moment,
    // were once seen mixed into one broken line; one writer at a time.
    const HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\KelminaEventLog");
    if (turn != nullptr) {
        WaitForSingleObject(turn, 5000);
    }
    const HANDLE file = CreateFileW(log_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
    if (turn != nullptr) {
        ReleaseMutex(turn);
        CloseHandle(turn);
    }
    return written == line.size();
}

// The directory of the running program, with its trailing backslash.
inline std::wstring own_directory()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.rfind(L'\\') + 1);
}

}  // namespace kelmina::wine_tests
