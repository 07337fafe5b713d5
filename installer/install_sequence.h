#pragma once

#include <string>

#include "platform/platform.h"

namespace kelmina {

// The program's whole routine: asks Excel for its add-in directory, closes Excel, asks the user,
// copies the workbook that lies beside the program and says so. Every path ends the program.
[[noreturn]] void run_install_sequence(Platform& platform);

// Appends one backslash unless the text already ends in one. A slash is not a separator.
std::wstring with_trailing_separator(std::wstring path);

}  // namespace kelmina
