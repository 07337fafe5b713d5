// Which file a name means: the path that the copy's calls get for a path they are given, and
// whether a file that is open is the file of its name in its folder.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_holders.h"

namespace kelmina::win32 {

// One end of the copy: the path that the calls get, and the one that failures name.
struct CopyPath {
    // The \\?\ form, which has no MAX_PATH limit whatever the system's long-path policy.
    std::wstring extended;
    // The full path as a user would type it.
    std::wstring shown;
};

// Relative parts, "/" and doubled separators are resolved first, as Windows resolves them for a
// plain path; a path already in the \\?\ form stays as it is.
CopyPath resolve(const std::wstring& path);

// The last part of a path.
std::wstring_view name_of(const std::wstring& path);

// Whether two file names are the same name to Windows once both are in Unicode's composed form
// (NFC): canonically equivalent, and then compared as Windows compares names (ordinal, ignoring
// case). A name that cannot be normalized, such as one with an unpaired surrogate (NTFS allows
// them), is equivalent to no other; so is every name where the system cannot normalize at all.
bool same_name_in_any_form(std::wstring_view first, std::wstring_view second);

// The path of the file, in the folder of `path`, whose name is the same as the last part of `path`
// in another Unicode form (see same_name_in_any_form); where several are (a case-sensitive
// folder), the first in ordinal code-unit order. Directories do not count. Nothing when there is
// none.
std::optional<std::wstring> equivalent_name_in_folder(const std::wstring& path);

// The folder that a file is looked up in, held open while the file is checked (see naming_of).
// Opened before the file, so that the handle stays with the folder the name was looked up in,
// should the folder be renamed or replaced in between. Links on the way to it are followed, as
// the file's own lookup follows them. Empty when the folder cannot be opened.
UniqueHandle open_folder(const std::wstring& path);

// What the final-path test found out about a file opened by its name in a folder: that it is the
// file of that name, another file, or nothing, since no query named it.
enum class Naming { itself, another_file, unknown };

// Whether `file`, opened as `name` in the folder that `folder` holds, is the file of that name in
// that folder. A link in its place that was followed all the same (Wine follows a Unix symbolic
// link whatever FILE_FLAG_OPEN_REPARSE_POINT says) leads to a file whose final path differs from
// the folder's plus the name, even when the file it leads to has the same name in another folder;
// links among the folders on the way resolve alike in both and stay allowed. Both paths come from
// the same query. Where a query fails, for the file or the folder, the next one is asked; where
// the folder could not be opened, the file's own final name is compared with `name`.
Naming naming_of(HANDLE file, const UniqueHandle& folder, std::wstring_view name);

}  // namespace kelmina::win32
