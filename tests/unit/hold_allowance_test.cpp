#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/hold_allowance.h"

namespace kelmina {
namespace {

constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kAccessDenied = 5;

// Time passes only in the pauses, and in what the test says the copy does between its steps.
struct ScriptedTime {
    std::uint64_t now = 1000;
    std::vector<std::uint64_t> tries;  // when each attempt was made
};

struct ScriptedClock {
    ScriptedTime* time;
    std::uint64_t now_ms() const { return time->now; }
    void pause(std::uint32_t ms) const { time->now += ms; }
};

// A file that another program holds until `released_at` (never, when 0), as `error` shows it.
auto held_until(ScriptedTime& time, std::uint64_t released_at, std::uint32_t error = kSharingViolation)
{
    return [&time, released_at, error] {
        time.tries.push_back(time.now);
        return released_at != 0 && time.now >= released_at ? 0u : error;
    };
}

const auto is_held = [](std::uint32_t error) {
    return error == kSharingViolation;
};

TEST(HoldAllowance, OneAllowanceForTheWholeCopySpentOnlyWhileWaiting)
{
    ScriptedTime time;
    // Not a whole number of pauses, so that the last pause is a short one.
    HoldAllowance<ScriptedClock> allowance{5050, 100, ScriptedClock{&time}};

    // The workbook, held for 1.5 s: the copy goes on once it is let go.
    EXPECT_EQ(allowance.ask_while_held(held_until(time, 2500), is_held), 0u);
    EXPECT_EQ(time.tries.size(), 16u);
    EXPECT_EQ(allowance.remaining_ms(), 3550u);

    // Writing the copy takes ten seconds, which the allowance does not pay for; then the add-in is
    // held for good. It is waited for what is left, not another five seconds.
    time.now += 10000;
    time.tries.clear();
    const std::uint64_t first_refusal = time.now;
    EXPECT_EQ(allowance.ask_while_held(held_until(time, 0), is_held), kSharingViolation);
    EXPECT_EQ(time.tries.back() - first_refusal, 3550u) << "the last try when the allowance runs out, not after";
    EXPECT_EQ(allowance.remaining_ms(), 0u);

    // Spent: any later step gets one try, and no pause.
    time.tries.clear();
    EXPECT_EQ(allowance.ask_while_held(held_until(time, 0), is_held), kSharingViolation);
    EXPECT_EQ(time.tries.size(), 1u);
}

TEST(HoldAllowance, WhatNoWaitMendsIsGivenBackAtOnce)
{
    ScriptedTime time;
    HoldAllowance<ScriptedClock> allowance{5000, 100, ScriptedClock{&time}};
    EXPECT_EQ(allowance.ask_while_held(held_until(time, 0, kAccessDenied), is_held), kAccessDenied);
    EXPECT_EQ(allowance.ask_while_held(held_until(time, 1), is_held), 0u);
    EXPECT_EQ(time.tries, (std::vector<std::uint64_t>{1000, 1000}));
    EXPECT_EQ(allowance.remaining_ms(), 5000u);
}

}  // namespace
}  // namespace kelmina
