#pragma once

#include <string>

namespace kelmina::win32 {

// Copies a file so that the destination is, at every moment, either what it was before or the
// complete copy: the bytes go to a temporary file beside the destination, reach the disk, and
// only then replace the destination in one rename. On failure the temporary file is removed and
// the failure of the step that failed is thrown. No directory is created.
void copy_file_atomically(const std::wstring& source, const std::wstring& destination);

}  // namespace kelmina::win32
