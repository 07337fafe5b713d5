#include "platform/win32_file_copy.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/long_path.h"
#include "platform/temporary_name.h"
#include "platform/win32_errors.h"
#include "platform/win32_holders.h"

namespace kelmina::win32 {

namespace {

// One end of the copy: the path that the calls get, and the one that failures name.
struct CopyPath {
    // The \\?\ form, which has no MAX_PATH limit whatever the system's long-path policy.
    std::wstring extended;
    // The full path as a user would type it.
    std::wstring shown;
};

// Relative parts, "/" and doubled separators are resolved first, as Windows resolves them for a
// plain path; a path already in the \\?\ form stays as it is.
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

// The folder of a path in the \\?\ form, as a name that opens that folder: a volume's or a
// share's root keeps its separator, without which \\?\C: would name the volume itself.
std::wstring folder_of(const std::wstring& path)
{
    const std::size_t separator = path.rfind(L'\\');
    const std::size_t root_end =
        path.rfind(LR"(\\?\UNC\)", 0) == 0 ? path.find(L'\\', path.find(L'\\', 8) + 1) : path.find(L'\\', 4);
    return path.substr(0, separator == root_end ? separator + 1 : separator);
}

std::wstring_view name_of(const std::wstring& path)
{
    return std::wstring_view{path}.substr(path.rfind(L'\\') + 1);
}

// The folder that a file is looked up in, held open while the file is checked (see naming_of).
// Opened before the file, so that the handle stays with the folder the name was looked up in,
// should the folder be renamed or replaced in between. Links on the way to it are followed, as
// the file's own lookup follows them. Empty when the folder cannot be opened.
UniqueHandle open_folder(const std::wstring& path)
{
    return UniqueHandle{CreateFileW(folder_of(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
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

// GetFinalPathNameByHandleW with the room it asks for. Wine 10 answers ERROR_MORE_DATA for a path
// past about 260 characters whatever the room, and never says how much it needs: once the room
// holds the longest path there is, the query has failed. Some network redirectors refuse the
// normalized name outright.
bool final_path_of(HANDLE file, DWORD volume_form, std::wstring& path, DWORD& error)
{
    std::wstring buffer(512, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | volume_form);
        if (length == 0) {
            error = GetLastError();
            if (error != ERROR_MORE_DATA || buffer.size() >= kLongestPath) {
                return false;
            }
            buffer.resize(kLongestPath);
        } else if (length < buffer.size()) {
            buffer.resize(length);
            path = std::move(buffer);
            return true;
        } else {
            buffer.resize(length);  // what it asks for, its NUL included
        }
    }
    error = ERROR_MORE_DATA;  // the path grew each time it was asked for
    return false;
}

// The file's path from its volume's root (FileNameInfo), which Wine 10 gives at any length, after
// the volume's serial number: the path alone would not tell a file from its namesake on another
// volume.
bool name_on_volume_of(HANDLE file, std::wstring& name, DWORD& error)
{
    DWORD serial_number = 0;
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, &serial_number, nullptr, nullptr, nullptr, 0)) {
        error = GetLastError();
        return false;
    }
    constexpr std::size_t kHead = offsetof(FILE_NAME_INFO, FileName);
    std::vector<std::byte> buffer(kHead + 512 * sizeof(wchar_t));
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
        if (GetFileInformationByHandleEx(file, FileNameInfo, info, static_cast<DWORD>(buffer.size()))) {
            name = std::to_wstring(serial_number) + L':';
            name.append(info->FileName, info->FileNameLength / sizeof(wchar_t));
            return true;
        }
        error = GetLastError();
        if (error != ERROR_MORE_DATA) {
            return false;
        }
        // The answer that did not fit says how long the name is.
        const std::size_t needed = kHead + info->FileNameLength;
        buffer.resize(needed > buffer.size() ? needed : kHead + kLongestPath * sizeof(wchar_t));
    }
    return false;
}

bool query_name(HANDLE file, NameQuery query, std::wstring& name, DWORD& error)
{
    switch (query) {
        case NameQuery::final_path_dos:
            return final_path_of(file, VOLUME_NAME_DOS, name, error);
        case NameQuery::final_path_nt:
            return final_path_of(file, VOLUME_NAME_NT, name, error);
        case NameQuery::name_on_volume:
            return name_on_volume_of(file, name, error);
    }
    return false;
}

// Windows compares file names ordinally, ignoring case.
bool same_name(std::wstring_view first, std::wstring_view second)
{
    return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

// What the final-path test found out about a file opened by its name in a folder.
struct Naming {
    enum Outcome { itself, another_file, unknown } outcome;
    DWORD failure;  // when unknown: the error of the first query that failed
};

// Whether `file`, opened as `name` in the folder that `folder` holds, is the file of that name in
// that folder. A link in its place that was followed all the same (Wine follows a Unix symbolic
// link whatever FILE_FLAG_OPEN_REPARSE_POINT says) leads to a file whose final path differs from
// the folder's plus the name, even when the file it leads to has the same name in another folder;
// links among the folders on the way resolve alike in both and stay allowed. Both paths come from
// the same query. Where a query fails, for the file or the folder, the next one is asked; where
// the folder could not be opened, the file's own final name is compared with `name`.
Naming naming_of(HANDLE file, const UniqueHandle& folder, std::wstring_view name)
{
    DWORD failure = ERROR_SUCCESS;
    for (const NameQuery query : {NameQuery::final_path_dos, NameQuery::final_path_nt, NameQuery::name_on_volume}) {
        std::wstring file_path;
        std::wstring expected;
        DWORD error = ERROR_SUCCESS;
        if (!query_name(file, query, file_path, error) ||
            (folder && !query_name(folder.get(), query, expected, error))) {
            failure = failure != ERROR_SUCCESS ? failure : error;
            continue;
        }
        std::wstring_view found = file_path;
        if (folder) {
            if (expected.empty() || expected.back() != L'\\') {
                expected += L'\\';  // a root's final path ends with its separator
            }
        } else {
            found = found.substr(found.rfind(L'\\') + 1);
        }
        expected += name;
        return {same_name(found, expected) ? Naming::itself : Naming::another_file, ERROR_SUCCESS};
    }
    return {Naming::unknown, failure};
}

// The attributes a copy takes over from its source, as CopyFileW does, but the read-only mark: a
// workbook that arrives read-only (from a CD, or an unzip tool that keeps the mark) would
// otherwise install an add-in that the next version's install is refused to replace.
constexpr DWORD kCopiedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What a workbook that is not the workbook itself is refused with: "the name of the file cannot be
// resolved by the system", followed by the workbook's path.
constexpr DWORD kRefusedWorkbook = ERROR_CANT_RESOLVE_FILENAME;

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

// The request that renames the copy over the destination, made before the copy exists.
class RenameRequest {
public:
    explicit RenameRequest(const std::wstring& target)
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

    void* data() { return storage_.data(); }
    DWORD size() const { return static_cast<DWORD>(storage_.size()); }

private:
    std::vector<std::byte> storage_;
};

// The copy while it is being written: a new file beside the destination, marked for deletion right
// after it is created, so that it goes however the run ends (a kill included) unless the rename
// has made it the destination; a kill in the instant before the mark leaves it to the next run.
// Its failures name the destination, the file the user knows of, not the temporary name.
class TemporaryFile {
public:
    TemporaryFile(const std::wstring& path, const CopyPath& destination)
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
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Asks the file system for the whole size at once, as copy engines do, so that a full disk
    // shows before the first byte is written. Only a full disk counts: file systems that cannot
    // reserve (Wine's refuses the request) leave it to the writes to find out.
    void reserve(const LARGE_INTEGER& size)
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

    // Writes the whole block. A write may take only part of it (Wine's does on a disk that fills
    // up), and the rest goes again; on a full disk that next write fails with the disk's own error.
    void write(const char* data, DWORD size)
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

    void finish(DWORD attributes, const FILETIME& last_write_time)
    {
        if (!set_attributes(handle_.get(), attributes, &last_write_time)) {
            throw last_error_failure(destination_.shown);
        }
        flush();
    }

    // Gives the copy the destination's name, through this handle, so that no moment comes when
    // the copy is neither marked nor open. The mark comes off first: it would go with the file
    // and delete the new add-in when the handle closes. Should the rename fail, the mark goes
    // back on.
    void rename_over(RenameRequest& request)
    {
        if (!mark_for_deletion(handle_.get(), false)) {
            throw last_error_failure(destination_.shown);
        }
        if (!SetFileInformationByHandle(handle_.get(), FileRenameInfo, request.data(), request.size())) {
            const DWORD error = GetLastError();
            mark_for_deletion(handle_.get(), true);
            throw error_failure(error, destination_.shown);
        }
        // What MOVEFILE_WRITE_THROUGH does after its rename: the rename reaches the disk before
        // the user hears of it.
        flush();
    }

private:
    void flush()
    {
        if (!FlushFileBuffers(handle_.get())) {
            throw last_error_failure(destination_.shown);
        }
    }

    const CopyPath& destination_;
    UniqueHandle handle_;
};

// A name beside the destination that no user file has and no other run can pick.
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
    if ((attributes.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || standard.Directory ||
        standard.NumberOfLinks > 1) {
        return false;
    }
    if ((attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        IsReparseTagNameSurrogate(attributes.ReparseTag)) {
        return false;
    }
    return naming_of(leftover, folder, name).outcome == Naming::itself;
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

// A run cut off by a power cut, or killed in the instant between the mark's removal and the
// rename, leaves its copy beside the destination. The next run removes those: only names of the
// copy's own form, checked on the long name, since a wildcard search also matches 8.3 names.
// What cannot be removed, or is not shown to be such a copy, stays; the install goes on all the
// same.
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

// Windows refuses to replace a read-only file, or one that another program holds open without
// sharing (as Excel holds a loaded add-in). A rename on other file systems, Wine's among them,
// replaces it all the same; asking first keeps the old add-in on every one of them.
void ensure_replaceable(const CopyPath& destination)
{
    const UniqueHandle existing{CreateFileW(destination.extended.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
    if (!existing) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            return;
        }
        throw last_error_failure(destination.shown);
    }
    FILE_BASIC_INFO information{};
    if (!GetFileInformationByHandleEx(existing.get(), FileBasicInfo, &information, sizeof information)) {
        throw last_error_failure(destination.shown);
    }
    if ((information.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw error_failure(ERROR_ACCESS_DENIED, destination.shown);
    }
}

// Which file it is: its volume and its index there.
BY_HANDLE_FILE_INFORMATION identity_of(HANDLE file, const CopyPath& path)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) {
        throw last_error_failure(path.shown);
    }
    return information;
}

// Only what the copy needs to know of the workbook. GetFileInformationByHandle would also ask for
// the volume's serial number, which Wine fetches from its mount manager, in another process, at
// the cost of a small workbook's whole copy.
template <typename Information>
Information information_of(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, const CopyPath& path)
{
    Information information{};
    if (!GetFileInformationByHandleEx(file, kind, &information, sizeof information)) {
        throw last_error_failure(path.shown);
    }
    return information;
}

HANDLE open_for_reading(const CopyPath& path, DWORD flags)
{
    return CreateFileW(path.extended.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr);
}

// The workbook as the copy reads it, opened.
struct Workbook {
    UniqueHandle handle;
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
};

// The workbook lies in a folder that the user, and every program the user runs, may write: a
// download or extraction folder. This program reads it with administrator rights and puts it where
// every user of the machine may read it, so a link in its place would hand out any file that an
// administrator can read, under the add-in's name. Only the file itself is held to that: links
// among the folders on the way (a junction, a subst drive, a share, a redirected Downloads folder)
// lead to the folder and to the file in it alike, and stay allowed.
Workbook open_workbook(const CopyPath& source)
{
    const UniqueHandle folder = open_folder(source.extended);
    // The name itself, not what a link of that name points to.
    Workbook workbook{UniqueHandle{open_for_reading(source, FILE_FLAG_OPEN_REPARSE_POINT)}, {}, {}};
    if (!workbook.handle) {
        throw last_error_failure(source.shown);
    }
    workbook.basic = information_of<FILE_BASIC_INFO>(workbook.handle.get(), FileBasicInfo, source);
    if ((workbook.basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        FILE_ATTRIBUTE_TAG_INFO reparse{};
        if (!GetFileInformationByHandleEx(workbook.handle.get(), FileAttributeTagInfo, &reparse, sizeof reparse)) {
            throw last_error_failure(source.shown);
        }
        // Symbolic links, junctions and their kind name another file.
        if (IsReparseTagNameSurrogate(reparse.ReparseTag)) {
            throw error_failure(kRefusedWorkbook, source.shown);
        }
        // The other reparse points keep the file's own data elsewhere, behind a file-system filter:
        // OneDrive's placeholders, deduplicated and compressed files. Their data is read through
        // that filter, so the file is opened again the ordinary way, and must still be this file.
        UniqueHandle through_filter{open_for_reading(source, 0)};
        if (!through_filter) {
            throw last_error_failure(source.shown);
        }
        const BY_HANDLE_FILE_INFORMATION first = identity_of(workbook.handle.get(), source);
        const BY_HANDLE_FILE_INFORMATION second = identity_of(through_filter.get(), source);
        if (second.dwVolumeSerialNumber != first.dwVolumeSerialNumber ||
            second.nFileIndexHigh != first.nFileIndexHigh || second.nFileIndexLow != first.nFileIndexLow) {
            throw error_failure(kRefusedWorkbook, source.shown);
        }
        workbook.handle = std::move(through_filter);
        workbook.basic = information_of<FILE_BASIC_INFO>(workbook.handle.get(), FileBasicInfo, source);
    }
    workbook.standard = information_of<FILE_STANDARD_INFO>(workbook.handle.get(), FileStandardInfo, source);
    // A hard link is the same file under a second name, which may lie anywhere on the volume:
    // nothing tells which of the names is the workbook's own. Older Windows let a user make one to
    // a file that user could not write.
    if (workbook.standard.NumberOfLinks > 1) {
        throw error_failure(kRefusedWorkbook, source.shown);
    }
    // A link that was followed all the same. No name for the file at all is no proof that it is
    // the workbook: the copy does not go ahead without one.
    const Naming naming = naming_of(workbook.handle.get(), folder, name_of(source.extended));
    if (naming.outcome == Naming::unknown) {
        throw error_failure(naming.failure, source.shown);
    }
    if (naming.outcome == Naming::another_file) {
        throw error_failure(kRefusedWorkbook, source.shown);
    }
    return workbook;
}

void copy_bytes(HANDLE from, const CopyPath& source, TemporaryFile& to, std::vector<char>& buffer)
{
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            throw last_error_failure(source.shown);
        }
        if (read == 0) {
            return;
        }
        to.write(buffer.data(), read);
    }
}

}  // namespace

void copy_file_atomically(const std::wstring& source, const std::wstring& destination)
{
    // Everything the copy allocates comes first, before there is a file to leave behind.
    const CopyPath from = resolve(source);
    const CopyPath to = resolve(destination);
    const std::wstring temporary = temporary_name_for(to.extended);
    RenameRequest rename{to.extended};
    std::vector<char> buffer(kCopyBlockSize);

    const Workbook input = open_workbook(from);

    // Before the new copy: on a nearly full disk, what earlier runs left may be the space it needs.
    remove_leftovers(to.extended);

    TemporaryFile copy{temporary, to};
    copy.reserve(input.standard.EndOfFile);
    copy_bytes(input.handle.get(), from, copy, buffer);
    // A plain copy keeps the source's last-write time and attributes; so does this one, but the
    // read-only mark. The bytes reach the disk before the name points at them.
    FILETIME last_write_time{};
    last_write_time.dwLowDateTime = input.basic.LastWriteTime.LowPart;
    last_write_time.dwHighDateTime = static_cast<DWORD>(input.basic.LastWriteTime.HighPart);
    copy.finish(input.basic.FileAttributes & kCopiedAttributes, last_write_time);
    ensure_replaceable(to);
    copy.rename_over(rename);
}

}  // namespace kelmina::win32
