#pragma once

#include <string>

namespace kelmina::win32 {

// Copies a file so that the destination is, at every moment, either what it was before or the
// complete copy: the bytes go to a temporary file beside the destination, reach the disk, and
// only then replace the destination in one rename. The temporary file is marked for deletion
// until that rename, so nothing of it stays when the copy fails or the process is killed; ones
// that earlier runs left behind (a power cut) are removed first. No directory is created. A
// path that holds a NUL is refused before any file is touched.
void copy_file_atomically(const std::wstring& source, const std::wstring& destination);

// The size of the blocks that the copy reads and writes: 64 KiB, as Wine's CopyFileW copies. A
// larger buffer is fresh memory that a small workbook pays for page by page, and a large
// workbook copies no faster with it.
inline constexpr unsigned long kCopyBlockSize = 64 << 10;

}  // namespace kelmina::win32
