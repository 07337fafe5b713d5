// Files that another program holds for a moment: a virus scanner, the search indexer, a backup or
// sync client opens a file right after it was written or unpacked, and lets go a second later.
#pragma once

#include <windows.h>

namespace kelmina::win32 {

// How long one copy waits, in all, for other programs to let go of its files. Scanners and
// indexers hold a file for well under a second or two; a user who has just answered Yes waits a
// few seconds without wondering, and no box shows meanwhile. A file held longer than this is held
// for good as far as the user can tell (Excel has the add-in loaded, or the workbook open), and
// is reported as today.
inline constexpr ULONGLONG kHoldAllowanceMs = 5000;

// The time between two tries.
inline constexpr DWORD kHoldPauseMs = 100;

// One allowance of waiting for the whole copy, shared by every step that may meet another
// program's hold, so that a copy never waits longer than that in all however many steps are
// held. Only the waiting spends it, from a step's first refusal to its last try; reading and
// writing the copy in between do not.
class HoldAllowance {
public:
    explicit HoldAllowance(ULONGLONG total_ms = kHoldAllowanceMs) : remaining_ms_{total_ms} {}

    // Makes `attempt` until it gives an answer that `held` does not take for another program's
    // hold, or until the allowance is spent, and gives back the last answer (ERROR_SUCCESS, or a
    // Win32 error code). What no wait can mend, `attempt` throws, and that ends the asking too.
    template <typename Attempt, typename Held>
    DWORD ask_while_held(Attempt attempt, Held held)
    {
        DWORD answer = attempt();
        if (answer == ERROR_SUCCESS || !held(answer)) {
            return answer;
        }
        const ULONGLONG first_refusal = GetTickCount64();
        for (;;) {
            const ULONGLONG waited = GetTickCount64() - first_refusal;
            if (waited >= remaining_ms_) {
                remaining_ms_ = 0;
                return answer;
            }
            const ULONGLONG left = remaining_ms_ - waited;
            Sleep(static_cast<DWORD>(left < kHoldPauseMs ? left : kHoldPauseMs));
            answer = attempt();
            if (answer == ERROR_SUCCESS || !held(answer)) {
                const ULONGLONG spent = GetTickCount64() - first_refusal;
                remaining_ms_ = spent < remaining_ms_ ? remaining_ms_ - spent : 0;
                return answer;
            }
        }
    }

private:
    ULONGLONG remaining_ms_;
};

// What another program's hold looks like to an open: its share mode refuses ours.
inline bool is_held_open(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION;
}

}  // namespace kelmina::win32
