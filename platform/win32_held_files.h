// Files that another program holds for a moment: a virus scanner, the search indexer, a backup or
// sync client opens a file right after it was written or unpacked, and lets go a second later.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/hold_allowance.h"

namespace kelmina::win32 {

// How long one copy waits, in all, for other programs to let go of its files. Scanners and
// indexers hold a file for well under a second or two; a user who has just answered Yes waits a
// few seconds without wondering, and no box shows meanwhile. A file held longer than this is held
// for good as far as the user can tell (Excel has the add-in loaded, or the workbook open), and
// is reported with the last try's number and the file's path.
inline constexpr std::uint64_t kHoldAllowanceMs = 5000;

// The time between two tries.
inline constexpr std::uint32_t kHoldPauseMs = 100;

// The system's clock, in milliseconds since the start, and its pause.
struct SystemClock {
    std::uint64_t now_ms() const { return GetTickCount64(); }
    void pause(std::uint32_t ms) const { Sleep(ms); }
};

// The allowance of one copy: kHoldAllowanceMs in all, a try every kHoldPauseMs.
class CopyHoldAllowance : public HoldAllowance<SystemClock> {
public:
    CopyHoldAllowance() : HoldAllowance<SystemClock>{kHoldAllowanceMs, kHoldPauseMs, SystemClock{}} {}
};

// What another program's hold looks like to an open: its share mode refuses ours.
inline bool is_held_open(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION;
}

}  // namespace kelmina::win32
