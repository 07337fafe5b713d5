#include "platform/win32_file_copy.h"

#include <string>
#include <vector>

#include "platform/win32_errors.h"
#include "platform/win32_file_names.h"
#include "platform/win32_held_files.h"
#include "platform/win32_holders.h"
#include "platform/win32_temporary_copy.h"
#include "platform/win32_workbook.h"

namespace kelmina::win32 {

namespace {

// The attributes a copy takes over from its source, as CopyFileW does, but the read-only mark: a
// workbook that arrives read-only (from a CD, or an unzip tool that keeps the mark) would
// otherwise install an add-in that the next version's install is refused to replace.
constexpr DWORD kCopiedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Windows refuses a rename over a read-only file; other file systems may not (Wine 8's rename
// replaces one), so the mark is looked at first. The rename's own refusal of a file that another
// program holds is ERROR_ACCESS_DENIED too: looking first also tells the refusal that no wait
// mends from the one that a moment may. Gives ERROR_SHARING_VIOLATION while another program holds
// the add-in without sharing (as Excel holds a loaded add-in); a read-only add-in, or one that
// cannot be opened at all (a directory in its place), is final.
DWORD check_replaceable(const CopyPath& destination)
{
    const UniqueHandle existing{CreateFileW(destination.extended.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
    if (!existing) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return ERROR_SUCCESS;
        }
        if (is_held_open(error)) {
            return error;
        }
        throw error_failure(error, destination.shown);
    }
    FILE_BASIC_INFO information{};
    if (!GetFileInformationByHandleEx(existing.get(), FileBasicInfo, &information, sizeof information)) {
        throw last_error_failure(destination.shown);
    }
    if ((information.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw error_failure(ERROR_ACCESS_DENIED, destination.shown);
    }
    return ERROR_SUCCESS;
}

// Windows refuses a rename over a file that another handle holds open, with ERROR_ACCESS_DENIED
// even when that handle shares everything, and with ERROR_SHARING_VIOLATION when it does not
// share deletion.
bool is_held_at_rename(DWORD error)
{
    return is_held_open(error) || error == ERROR_ACCESS_DENIED;
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

    // One allowance of waiting for the whole copy: a user who answered Yes waits a few seconds at
    // most, however many of its files other programs hold.
    CopyHoldAllowance allowance;
    const Workbook input = open_workbook(from, allowance);

    // Before the new copy: on a nearly full disk, what earlier runs left may be the space it needs.
    remove_leftovers(to.extended);

    TemporaryFile copy{temporary, to};
    copy.reserve(input.standard.EndOfFile);
    copy_bytes(input.handle.get(), input.path, copy, buffer);
    // A plain copy keeps the source's last-write time and attributes; so does this one, but the
    // read-only mark. The bytes reach the disk before the name points at them.
    FILETIME last_write_time{};
    last_write_time.dwLowDateTime = input.basic.LastWriteTime.LowPart;
    last_write_time.dwHighDateTime = static_cast<DWORD>(input.basic.LastWriteTime.HighPart);
    copy.finish(input.basic.FileAttributes & kCopiedAttributes, last_write_time);
    // The check and the rename are asked again together: a holder that comes between them is met
    // by the rename, and the next try checks again. Between tries the copy is marked for deletion.
    const DWORD refused = allowance.ask_while_held(
        [&] {
            const DWORD held = check_replaceable(to);
            return held != ERROR_SUCCESS ? held : copy.try_rename_over(rename);
        },
        is_held_at_rename);
    if (refused != ERROR_SUCCESS) {
        throw error_failure(refused, to.shown);
    }
    copy.flush_renamed();
}

}  // namespace kelmina::win32
