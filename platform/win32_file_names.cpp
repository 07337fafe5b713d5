#include "platform/win32_file_names.h"

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/long_path.h"
#include "platform/win32_errors.h"

namespace kelmina::win32 {

namespace {

// The folder of a path in the \\?\ form, as a name that opens that folder: a volume's or a
// share's root keeps its separator, without which \\?\C: would name the volume itself.
std::wstring folder_of(const std::wstring& path)
{
    const std::size_t separator = path.rfind(L'\\');
    const std::size_t root_end =
        path.rfind(LR"(\\?\UNC\)", 0) == 0 ? path.find(L'\\', path.find(L'\\', 8) + 1) : path.find(L'\\', 4);
    return path.substr(0, separator == root_end ? separator + 1 : separator);
}

// The longest path Windows can name, in characters, its NUL included.
constexpr DWORD kLongestPath = 32768;

// The ways of naming the file that a handle has open, in the order they are tried. Each names a
// folder the same way as a file in it, with every link on the way resolved.
enum class NameQuery {
    final_path_dos,  // \\?\C:\...
    final_path_nt,   // \Device\...: a volume without a drive letter still has its device's name
    name_on_volume,  // the volume's serial number and the path from its root
};

// GetFinalPathNameByHandleW with the room it asks for; nothing when it gives no path. Wine 10
// answers ERROR_MORE_DATA for a path past about 260 characters whatever the room, and never says
// how much it needs: once the room holds the longest path there is, the query has failed. Some
// network redirectors refuse the normalized name outright.
std::optional<std::wstring> final_path_of(HANDLE file, DWORD volume_form)
{
    std::wstring buffer(512, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | volume_form);
        if (length == 0) {
            if (GetLastError() != ERROR_MORE_DATA || buffer.size() >= kLongestPath) {
                return std::nullopt;
            }
            buffer.resize(kLongestPath);
        } else if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        } else {
            buffer.resize(length);  // what it asks for, its NUL included
        }
    }
    return std::nullopt;  // the path grew each time it was asked for
}

// The file's path from its volume's root (FileNameInfo), which Wine 10 gives at any length, after
// the volume's serial number: the path alone would not tell a file from its namesake on another
// volume. Nothing when either cannot be had.
std::optional<std::wstring> name_on_volume_of(HANDLE file)
{
    DWORD serial_number = 0;
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, &serial_number, nullptr, nullptr, nullptr, 0)) {
        return std::nullopt;
    }
    constexpr std::size_t kHead = offsetof(FILE_NAME_INFO, FileName);
    std::vector<std::byte> buffer(kHead + 512 * sizeof(wchar_t));
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
        if (GetFileInformationByHandleEx(file, FileNameInfo, info, static_cast<DWORD>(buffer.size()))) {
            std::wstring name = std::to_wstring(serial_number) + L':';
            name.append(info->FileName, info->FileNameLength / sizeof(wchar_t));
            return name;
        }
        if (GetLastError() != ERROR_MORE_DATA) {
            return std::nullopt;
        }
        // The answer that did not fit says how long the name is.
        const std::size_t needed = kHead + info->FileNameLength;
        buffer.resize(needed > buffer.size() ? needed : kHead + kLongestPath * sizeof(wchar_t));
    }
    return std::nullopt;
}

std::optional<std::wstring> query_name(HANDLE file, NameQuery query)
{
    switch (query) {
        case NameQuery::final_path_dos:
            return final_path_of(file, VOLUME_NAME_DOS);
        case NameQuery::final_path_nt:
            return final_path_of(file, VOLUME_NAME_NT);
        case NameQuery::name_on_volume:
            return name_on_volume_of(file);
    }
    return std::nullopt;
}

// Windows compares file names ordinally, ignoring case.
bool same_name(std::wstring_view first, std::wstring_view second)
{
    return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

// NormalizeString, which kernel32 exports from Windows 8 on and normaliz.dll, in the system
// directory, on Windows 7. Looked up at run time: a static import of either would keep the program
// from starting on the other, and a DLL is loaded by its full path only, never from the folder
// the program was started from.
using NormalizeStringFunction = int(WINAPI*)(int form, LPCWSTR source, int source_length, LPWSTR destination,
                                             int destination_length);
constexpr int kNormalizationC = 1;  // NORM_FORM's NormalizationC

NormalizeStringFunction find_normalize_string()
{
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "NormalizeString");
    if (found == nullptr) {
        std::wstring path(GetSystemDirectoryW(nullptr, 0), L'\0');
        const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
        if (length == 0 || length >= path.size()) {
            return nullptr;
        }
        path.resize(length);
        const HMODULE normaliz = LoadLibraryExW((path + L"\\normaliz.dll").c_str(), nullptr, 0);
        found = normaliz != nullptr ? GetProcAddress(normaliz, "NormalizeString") : nullptr;
    }
    return reinterpret_cast<NormalizeStringFunction>(reinterpret_cast<void*>(found));
}

// The text in Unicode's composed form (NFC); nothing when it has none (an unpaired surrogate) or
// the system cannot say.
std::optional<std::wstring> composed(std::wstring_view text)
{
    static const NormalizeStringFunction normalize = find_normalize_string();
    if (normalize == nullptr || text.empty()) {
        return std::nullopt;
    }
    const int source_length = static_cast<int>(text.size());
    int room = normalize(kNormalizationC, text.data(), source_length, nullptr, 0);
    for (int attempt = 0; attempt < 3 && room > 0; ++attempt) {
        std::wstring result(static_cast<std::size_t>(room), L'\0');
        const int length = normalize(kNormalizationC, text.data(), source_length, result.data(), room);
        if (length > 0) {
            result.resize(static_cast<std::size_t>(length));
            return result;
        }
        // Too little room gives the negative of a better estimate; anything else is final.
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::nullopt;
        }
        room = length < 0 ? -length : room * 2;
    }
    return std::nullopt;
}

// Whether `name`, once composed, is the name `wanted` already is in its composed form.
bool same_as_composed(std::wstring_view name, const std::wstring& wanted)
{
    const std::optional<std::wstring> name_composed = composed(name);
    return name_composed && same_name(*name_composed, wanted);
}

}  // namespace

bool same_name_in_any_form(std::wstring_view first, std::wstring_view second)
{
    const std::optional<std::wstring> second_composed = composed(second);
    return second_composed && same_as_composed(first, *second_composed);
}

std::optional<std::wstring> equivalent_name_in_folder(const std::wstring& path)
{
    const std::wstring directory = path.substr(0, path.rfind(L'\\') + 1);
    // Composed once, not again for each name in the folder (a Downloads folder holds thousands).
    const std::optional<std::wstring> wanted = composed(name_of(path));
    if (!wanted) {
        return std::nullopt;
    }
    WIN32_FIND_DATAW found{};
    const UniqueFindHandle search{
        FindFirstFileExW((directory + L'*').c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0)};
    if (!search) {
        return std::nullopt;
    }
    std::optional<std::wstring> chosen;
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (!chosen || name < *chosen) &&
            same_as_composed(name, *wanted)) {
            chosen = name;
        }
    } while (FindNextFileW(search.get(), &found));
    if (!chosen) {
        return std::nullopt;
    }
    return directory + *chosen;
}

CopyPath resolve(const std::wstring& path)
{
    // Every Win32 call reads a path up to its first NUL, so a path that holds one would send the
    // copy somewhere else than where it was asked to go. The failure shows where the NUL is, as
    // U+FFFD: a NUL in the prompt would cut the message box's text short there.
    if (path.find(L'\0') != std::wstring::npos) {
        std::wstring shown = user_form(path);
        for (wchar_t& c : shown) {
            c = c == L'\0' ? L'\uFFFD' : c;
        }
        throw error_failure(ERROR_INVALID_NAME, shown);
    }
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    if (full.empty()) {
        const DWORD error = GetLastError();
        throw error_failure(error, user_form(path));
    }
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) {
        const DWORD error = GetLastError();
        throw error_failure(error, user_form(path));
    }
    full.resize(length);
    return {extended_length_form(full), user_form(full)};
}

std::wstring_view name_of(const std::wstring& path)
{
    return std::wstring_view{path}.substr(path.rfind(L'\\') + 1);
}

UniqueHandle open_folder(const std::wstring& path)
{
    return UniqueHandle{CreateFileW(folder_of(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
}

Naming naming_of(HANDLE file, const UniqueHandle& folder, std::wstring_view name)
{
    for (const NameQuery query : {NameQuery::final_path_dos, NameQuery::final_path_nt, NameQuery::name_on_volume}) {
        const std::optional<std::wstring> file_path = query_name(file, query);
        std::optional<std::wstring> expected = folder ? query_name(folder.get(), query) : std::wstring{};
        if (!file_path || !expected) {
            continue;
        }
        std::wstring_view found = *file_path;
        if (folder) {
            if (expected->empty() || expected->back() != L'\\') {
                *expected += L'\\';  // a root's final path ends with its separator
            }
        } else {
            found = found.substr(found.rfind(L'\\') + 1);
        }
        *expected += name;
        return same_name(found, *expected) ? Naming::itself : Naming::another_file;
    }
    return Naming::unknown;
}

}  // namespace kelmina::win32
