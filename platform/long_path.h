// The \\?\ form of a full path, which Windows takes past MAX_PATH whatever its long-path
// policy. Standard C++: the resolution of the path itself is the caller's (GetFullPathNameW).
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

}  // namespace kelmina
