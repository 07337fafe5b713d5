#include "platform/win32_workbook.h"

#include <optional>
#include <string>
#include <utility>

#include "platform/long_path.h"
#include "platform/win32_errors.h"

namespace kelmina::win32 {

namespace {

// What a workbook that is not the workbook itself is refused with: "the name of the file cannot be
// resolved by the system", followed by the workbook's path.
constexpr DWORD kRefusedWorkbook = ERROR_CANT_RESOLVE_FILENAME;

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

// Opens the workbook for reading, denying writers, so that its bytes cannot change under the copy.
// Another program that holds it a moment (a scanner, a sync client) is waited for; the error of
// the last try is left for the caller.
UniqueHandle open_for_reading(const CopyPath& path, DWORD flags, CopyHoldAllowance& allowance, DWORD& error)
{
    UniqueHandle handle;
    error = allowance.ask_while_held(
        [&] {
            handle = UniqueHandle{CreateFileW(path.extended.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr)};
            return handle ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
        },
        is_held_open);
    return handle;
}

UniqueHandle open_for_reading(const CopyPath& path, DWORD flags, CopyHoldAllowance& allowance)
{
    DWORD error = ERROR_SUCCESS;
    UniqueHandle handle = open_for_reading(path, flags, allowance, error);
    if (!handle) {
        throw error_failure(error, path.shown);
    }
    return handle;
}

// The checks of the workbook that `opened` holds, opened as `source` in `folder`.
Workbook open_checked(const CopyPath& source, const UniqueHandle& folder, UniqueHandle opened,
                      CopyHoldAllowance& allowance)
{
    Workbook workbook{std::move(opened), source, {}, {}};
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
        UniqueHandle through_filter = open_for_reading(source, 0, allowance);
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
    // the workbook: the copy does not go ahead without one, and says so in the same words (the
    // query's own error, such as "more data is available", would tell the user nothing).
    if (naming_of(workbook.handle.get(), folder, name_of(source.extended)) != Naming::itself) {
        throw error_failure(kRefusedWorkbook, source.shown);
    }
    return workbook;
}

}  // namespace

Workbook open_workbook(const CopyPath& source, CopyHoldAllowance& allowance)
{
    const UniqueHandle folder = open_folder(source.extended);
    // The name itself, not what a link of that name points to.
    DWORD error = ERROR_SUCCESS;
    UniqueHandle exact = open_for_reading(source, FILE_FLAG_OPEN_REPARSE_POINT, allowance, error);
    if (exact) {
        return open_checked(source, folder, std::move(exact), allowance);
    }
    if (error != ERROR_FILE_NOT_FOUND) {
        throw error_failure(error, source.shown);
    }
    // A name that came from a Mac is decomposed (ト and U+3099 for ド): the same name to the user,
    // another to the file system. The file of such a name is the workbook, with every check the
    // workbook gets, and its failures name it as it lies there.
    const std::optional<std::wstring> equivalent = equivalent_name_in_folder(source.extended);
    if (!equivalent) {
        throw error_failure(error, source.shown);
    }
    const CopyPath found{*equivalent, user_form(*equivalent)};
    return open_checked(found, folder, open_for_reading(found, FILE_FLAG_OPEN_REPARSE_POINT, allowance), allowance);
}

}  // namespace kelmina::win32
