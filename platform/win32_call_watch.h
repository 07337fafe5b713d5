// A bound on calls into another program that may take a call and never answer it. COM sets no
// limit of its own on a call, and a call cannot be cancelled where CoCancelCall is missing (Wine
// has none), so the caller's thread cannot be freed: a second thread, which does nothing but
// watch the clock, tells the user and ends the process in its place.
#pragma once

#include <windows.h>

#include <functional>

#include "platform/win32_holders.h"

namespace kelmina::win32 {

// What becomes of the run when a watched call runs out of time. `tell` runs on the watching thread
// while the call is still blocked, and must not touch what the blocked thread holds; then the
// process ends with `exit_status`.
struct CallExpiry {
    std::function<void()> tell;
    UINT exit_status;
};

class CallWatch {
public:
    CallWatch();
    ~CallWatch();
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // Makes the call with a bound of `limit_ms`; gives back what it gives back. Should the bound
    // pass first, the call never returns here: the process ends as `expiry` says.
    template <typename Call>
    auto during(DWORD limit_ms, const CallExpiry& expiry, Call call) -> decltype(call())
    {
        const Armed armed{*this, limit_ms, expiry};
        return call();
    }

private:
    class Armed {
    public:
        Armed(CallWatch& watch, DWORD limit_ms, const CallExpiry& expiry) : watch_{watch}
        {
            watch_.arm(limit_ms, expiry);
        }
        ~Armed() { watch_.disarm(); }
        Armed(const Armed&) = delete;
        Armed& operator=(const Armed&) = delete;

    private:
        CallWatch& watch_;
    };

    void arm(DWORD limit_ms, const CallExpiry& expiry);
    void disarm();
    static DWORD WINAPI watch(void* self);
    void watch_until_stopped();

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    const CallExpiry* expiry_ = nullptr;  // armed while set
    ULONGLONG deadline_ = 0;
    bool expired_ = false;
    bool stopping_ = false;
    UniqueHandle thread_;
};

}  // namespace kelmina::win32
