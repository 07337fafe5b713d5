// How long a copy waits for other programs to let go of its files. Standard C++: the clock and the
// pause are the caller's (GetTickCount64 and Sleep on Windows).
#pragma once

#include <cstdint>

namespace kelmina {

// One allowance of waiting for a whole copy, shared by every step that may meet another program's
// hold, so that the copy never waits longer than that in all, however many of its steps are held.
// Only the waiting spends it, from a step's first refusal to its last try; what the copy does
// between two steps (reading and writing the workbook) does not. `Clock` gives `now_ms()` and
// `pause(ms)`.
template <typename Clock>
class HoldAllowance {
public:
    HoldAllowance(std::uint64_t total_ms, std::uint32_t pause_ms, Clock clock)
        : remaining_ms_{total_ms}, pause_ms_{pause_ms}, clock_{clock}
    {
    }

    // Makes `attempt` until it gives an answer that `held` does not take for another program's
    // hold, or until the allowance is spent, and gives back the last answer: 0 for success, or an
    // error code. The last try comes once the allowance has run out, not before. What no wait can
    // mend, `attempt` throws, and that ends the asking too.
    template <typename Attempt, typename Held>
    std::uint32_t ask_while_held(Attempt attempt, Held held)
    {
        std::uint32_t answer = attempt();
        if (answer == 0 || !held(answer)) {
            return answer;
        }
        const std::uint64_t first_refusal = clock_.now_ms();
        for (;;) {
            const std::uint64_t waited = clock_.now_ms() - first_refusal;
            if (waited >= remaining_ms_) {
                remaining_ms_ = 0;
                return answer;
            }
            const std::uint64_t left = remaining_ms_ - waited;
            clock_.pause(left < pause_ms_ ? static_cast<std::uint32_t>(left) : pause_ms_);
            answer = attempt();
            if (answer == 0 || !held(answer)) {
                const std::uint64_t spent = clock_.now_ms() - first_refusal;
                remaining_ms_ = spent < remaining_ms_ ? remaining_ms_ - spent : 0;
                return answer;
            }
        }
    }

    std::uint64_t remaining_ms() const { return remaining_ms_; }

private:
    std::uint64_t remaining_ms_;
    std::uint32_t pause_ms_;
    Clock clock_;
};

}  // namespace kelmina
