// Times one copy at a time, inside this process, for scripts/benchmark-copy: the installer's own
// copy and the copies it is measured against, on files the script puts in place. The script
// drives the steps because only it can write out what is pending (sync) between them, which a
// Windows program under Wine cannot; the process stays up for the whole run, so that neither its
// start-up nor Wine's is in any step.
//
//   copy_benchmark.exe DIRECTORY
//
// Waits for DIRECTORY\request, one line of UTF-8: STEP, METHOD, SOURCE and DESTINATION, separated
// by tabs. Deletes it, makes that copy, and answers in DIRECTORY\reply, one line: "STEP ok SECONDS"
// or "STEP error NUMBER DESCRIPTION", STEP as the request gave it. The method "quit" ends the
// program. Both files appear whole: each is written under another name and then renamed. The
// reply stays until the next one replaces it; the script tells them apart by their STEP (were
// it to delete the reply, it could do so while Wine is still finishing the rename).
//
// The methods, each timed from its first call to its last with QueryPerformanceCounter:
//   installer       kelmina::win32::copy_file_atomically, what the installer runs
//   copyfile+flush  CopyFileW, then FlushFileBuffers on the copy: Windows' own copy, made durable
//   copyfile        CopyFileW alone: what a plain installer does, not durable
//   loop+flush      ReadFile and WriteFile in blocks of the installer's size into a new file, then
//                   FlushFileBuffers: Wine's own input and output, with nothing else in it
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_errors.h"
#include "platform/win32_file_copy.h"
#include "platform/win32_holders.h"
#include "tests/wine/event_log.h"

namespace {

using kelmina::PlatformFailure;
using kelmina::win32::last_error_failure;
using kelmina::win32::UniqueHandle;
using kelmina::wine_tests::from_utf8;
using kelmina::wine_tests::to_utf8;

void flush(const std::wstring& path)
{
    const UniqueHandle copy{
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    if (!copy || !FlushFileBuffers(copy.get())) {
        throw last_error_failure(path);
    }
}

void copy_with_copyfile(const std::wstring& source, const std::wstring& destination)
{
    if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        throw last_error_failure(destination);
    }
}

void copy_in_blocks(const std::wstring& source, const std::wstring& destination)
{
    std::vector<char> buffer(kelmina::win32::kCopyBlockSize);
    const UniqueHandle input{CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (!input) {
        throw last_error_failure(source);
    }
    const UniqueHandle output{
        CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!output) {
        throw last_error_failure(destination);
    }
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            throw last_error_failure(source);
        }
        if (read == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(output.get(), buffer.data(), read, &written, nullptr) || written != read) {
            throw last_error_failure(destination);
        }
    }
    if (!FlushFileBuffers(output.get())) {
        throw last_error_failure(destination);
    }
}

// Whether the method is known; runs it when it is.
bool run_method(const std::wstring& method, const std::wstring& source, const std::wstring& destination)
{
    if (method == L"installer") {
        kelmina::win32::copy_file_atomically(source, destination);
    } else if (method == L"copyfile+flush") {
        copy_with_copyfile(source, destination);
        flush(destination);
    } else if (method == L"copyfile") {
        copy_with_copyfile(source, destination);
    } else if (method == L"loop+flush") {
        copy_in_blocks(source, destination);
    } else {
        return false;
    }
    return true;
}

std::string timed_step(const std::wstring& method, const std::wstring& source, const std::wstring& destination)
{
    LARGE_INTEGER frequency{}, started{}, ended{};
    QueryPerformanceFrequency(&frequency);
    try {
        QueryPerformanceCounter(&started);
        const bool known = run_method(method, source, destination);
        QueryPerformanceCounter(&ended);
        if (!known) {
            return "error 0 unknown method " + to_utf8(method);
        }
    } catch (const PlatformFailure& failure) {
        std::string description = to_utf8(failure.description);
        for (char& c : description) {
            c = c == '\r' || c == '\n' ? ' ' : c;
        }
        return "error " + std::to_string(failure.number) + " " + description;
    }
    char seconds[32] = {};
    std::snprintf(seconds, sizeof seconds, "%.6f",
                  static_cast<double>(ended.QuadPart - started.QuadPart) / static_cast<double>(frequency.QuadPart));
    return std::string{"ok "} + seconds;
}

// The request's text once it is there; the script renames it into place whole.
std::string wait_for_request(const std::wstring& path)
{
    for (;;) {
        // Wine opens a file through its wineserver, and polling by opening would keep that busy
        // while the other build is being timed; a look at the attributes is cheaper.
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Sleep(2);
            continue;
        }
        const UniqueHandle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
        if (file) {
            std::string text(64 * 1024, '\0');
            DWORD read = 0;
            if (ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
                text.resize(read);
                return text;
            }
        }
        Sleep(2);
    }
}

bool answer(const std::wstring& directory, const std::string& line)
{
    const std::wstring partial = directory + L"\\reply.partial";
    {
        const UniqueHandle file{
            CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
        const std::string text = line + "\n";
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            return false;
        }
    }
    return MoveFileExW(partial.c_str(), (directory + L"\\reply").c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: copy_benchmark.exe DIRECTORY\n", stderr);
        return 2;
    }
    const std::wstring directory = argv[1];
    const std::wstring request_path = directory + L"\\request";
    for (;;) {
        std::wstring request = from_utf8(wait_for_request(request_path));
        if (!DeleteFileW(request_path.c_str())) {
            return 3;
        }
        while (!request.empty() && (request.back() == L'\n' || request.back() == L'\r')) {
            request.pop_back();
        }
        std::vector<std::wstring> fields;
        for (std::size_t start = 0;;) {
            const std::size_t tab = request.find(L'\t', start);
            fields.push_back(request.substr(start, tab == std::wstring::npos ? tab : tab - start));
            if (tab == std::wstring::npos) {
                break;
            }
            start = tab + 1;
        }
        const std::string step = to_utf8(fields[0]) + " ";
        if (fields.size() == 2 && fields[1] == L"quit") {
            return answer(directory, step + "ok 0") ? 0 : 4;
        }
        const std::string outcome = fields.size() == 4 ? timed_step(fields[1], fields[2], fields[3])
                                                       : "error 0 expected STEP, METHOD, SOURCE and DESTINATION";
        if (!answer(directory, step + outcome)) {
            return 4;
        }
    }
}
