#include "platform/win32_temporary_copy.h"

#include <cstring>
#include <string_view>

#include "platform/temporary_name.h"
#include "platform/win32_errors.h"

namespace kelmina::win32 {

namespace {

bool set_attributes(HANDLE file, DWORD attributes, const FILETIME* last_write_time)
{
    FILE_BASIC_INFO basic{};  // zero times: left as they are
    if (last_write_time != nullptr) {
        basic.LastWriteTime.LowPart = last_write_time->dwLowDateTime;
        basic.LastWriteTime.HighPart = static_cast<LONG>(last_write_time->dwHighDateTime);
    }
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// Windows deletes a file so marked when its last handle closes, and a process that is killed
// closes its handles too.
bool mark_for_deletion(HANDLE file, bool marked)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Whether the file that `leftover` has open is what an earlier run left: the file of that name in
// the add-in directory. A link is not: it leads elsewhere, and some systems follow it whatever the
// flag says (Wine, a Unix symbolic link). Nor is a file with another hard link: it is also a file
// elsewhere, whose read-only mark the removal would take off. Nor is a directory.
bool is_own_leftover(HANDLE leftover, const UniqueHandle& folder, std::wstring_view name)
{
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(leftover, FileAttributeTagInfo, &attributes, sizeof attributes) ||
        !GetFileInformationByHandleEx(leftover, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    if (standard.Directory || standard.NumberOfLinks > 1) {
        return false;
    }
    if ((attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        IsReparseTagNameSurrogate(attributes.ReparseTag)) {
        return false;
    }
    return naming_of(leftover, folder, name) == Naming::itself;
}

// Deletes a copy that an earlier run left behind, unless someone has it open (a run that is still
// writing its own holds it without sharing, and so would anyone else who uses it) or it is not
// shown to be that copy.
void remove_if_own_leftover(const std::wstring& path, const UniqueHandle& folder, std::wstring_view name)
{
    // The name itself, should it be a link, not what it points to.
    const UniqueHandle leftover{CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (leftover && is_own_leftover(leftover.get(), folder, name)) {
        set_attributes(leftover.get(), FILE_ATTRIBUTE_NORMAL, nullptr);  // a read-only file refuses the mark
        mark_for_deletion(leftover.get(), true);
    }
}

}  // namespace

RenameRequest::RenameRequest(const std::wstring& target)
{
    // The name goes NUL-terminated: Wine reads it up to the NUL rather than by its length.
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    storage_.resize(offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t));
    if (storage_.size() < sizeof(FILE_RENAME_INFO)) {
        storage_.resize(sizeof(FILE_RENAME_INFO));
    }
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage_.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, target.c_str(), name_bytes + sizeof(wchar_t));
}

TemporaryFile::TemporaryFile(const std::wstring& path, const CopyPath& destination)
    : destination_{destination},
      handle_{CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)}
{
    if (!handle_) {
        throw last_error_failure(destination_.shown);
    }
    if (!mark_for_deletion(handle_.get(), true)) {
        const DWORD error = GetLastError();
        handle_.reset();
        DeleteFileW(path.c_str());
        throw error_failure(error, destination_.shown);
    }
}

void TemporaryFile::reserve(const LARGE_INTEGER& size)
{
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize = size;
    if (!SetFileInformationByHandle(handle_.get(), FileAllocationInfo, &allocation, sizeof allocation)) {
        const DWORD error = GetLastError();
        if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
            throw error_failure(error, destination_.shown);
        }
    }
}

void TemporaryFile::write(const char* data, DWORD size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_.get(), data, size, &written, nullptr)) {
            throw last_error_failure(destination_.shown);
        }
        if (written == 0 || written > size) {
            // A write that took nothing without saying why would take nothing the next time too.
            throw error_failure(ERROR_WRITE_FAULT, destination_.shown);
        }
        data += written;
        size -= written;
    }
}

void TemporaryFile::finish(DWORD attributes, const FILETIME& last_write_time)
{
    if (!set_attributes(handle_.get(), attributes, &last_write_time)) {
        throw last_error_failure(destination_.shown);
    }
    flush();
}

DWORD TemporaryFile::try_rename_over(RenameRequest& request)
{
    if (!mark_for_deletion(handle_.get(), false)) {
        throw last_error_failure(destination_.shown);
    }
    if (SetFileInformationByHandle(handle_.get(), FileRenameInfo, request.data(), request.size())) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (!mark_for_deletion(handle_.get(), true)) {
        // Unmarked, the copy would stay behind a run that is killed while it waits: no more tries.
        throw error_failure(error, destination_.shown);
    }
    return error;
}

void TemporaryFile::flush()
{
    if (!FlushFileBuffers(handle_.get())) {
        throw last_error_failure(destination_.shown);
    }
}

std::wstring temporary_name_for(const std::wstring& destination)
{
    GUID guid{};
    if (const HRESULT result = CoCreateGuid(&guid); FAILED(result)) {
        throw hresult_failure(result);
    }
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return temporary_name(destination, text);
}

void remove_leftovers(const std::wstring& destination)
{
    const std::wstring directory = destination.substr(0, destination.rfind(L'\\') + 1);
    const std::wstring_view name = name_of(destination);
    WIN32_FIND_DATAW found{};
    const UniqueFindHandle search{FindFirstFileExW((destination + L".*.tmp").c_str(), FindExInfoBasic, &found,
                                                   FindExSearchNameMatch, nullptr, 0)};
    if (!search) {
        return;
    }
    const UniqueHandle folder = open_folder(destination);
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && is_temporary_name_of(found.cFileName, name)) {
            remove_if_own_leftover(directory + found.cFileName, folder, found.cFileName);
        }
    } while (FindNextFileW(search.get(), &found));
}

}  // namespace kelmina::win32
