// The \\?\ form of a full path, which Windows takes past MAX_PATH whatever its long-path
// policy, and back. Standard C++: the resolution of the path itself is the caller's
// (GetFullPathNameW).
#pragma once

#include <string>

namespace kelmina {

inline std::wstring extended_length_form(const std::wstring& full_path)
{
    if (full_path.rfind(LR"(\\?\)", 0) == 0 || full_path.rfind(LR"(\\.\)", 0) == 0) {
        return full_path;  // already a device or extended-length path
    }
    if (full_path.rfind(LR"(\\)", 0) == 0) {
        return LR"(\\?\UNC\)" + full_path.substr(2);  // \\server\share\...
    }
    return LR"(\\?\)" + full_path;
}

// The path as a user would type it, for messages: without the \\?\ prefix, and a share as
// \\server\share\... again.
inline std::wstring user_form(const std::wstring& path)
{
    if (path.rfind(LR"(\\?\UNC\)", 0) == 0) {
        return LR"(\\)" + path.substr(8);
    }
    if (path.rfind(LR"(\\?\)", 0) == 0) {
        return path.substr(4);
    }
    return path;
}

}  // namespace kelmina
