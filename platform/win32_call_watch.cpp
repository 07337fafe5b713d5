#include "platform/win32_call_watch.h"

namespace kelmina::win32 {

CallWatch::CallWatch() = default;

CallWatch::~CallWatch()
{
    if (thread_) {
        AcquireSRWLockExclusive(&lock_);
        stopping_ = true;
        ReleaseSRWLockExclusive(&lock_);
        WakeConditionVariable(&changed_);
        WaitForSingleObject(thread_.get(), INFINITE);
    }
}

void CallWatch::arm(DWORD limit_ms, const CallExpiry& expiry)
{
    // The thread comes with the first call that needs it. Should Windows refuse a thread, the
    // call goes ahead unwatched: the install would still work with an Excel that answers.
    if (!thread_) {
        thread_ = UniqueHandle{CreateThread(nullptr, 0, &CallWatch::watch, this, 0, nullptr)};
    }
    AcquireSRWLockExclusive(&lock_);
    expiry_ = &expiry;
    deadline_ = GetTickCount64() + limit_ms;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&changed_);
}

void CallWatch::disarm()
{
    AcquireSRWLockExclusive(&lock_);
    const bool expired = expired_;
    expiry_ = nullptr;
    ReleaseSRWLockExclusive(&lock_);
    if (expired) {
        // The call came back just as its time ran out: the watch has already told the user that
        // it did not, and is ending the process. Nothing more of the run may happen.
        for (;;) {
            Sleep(INFINITE);
        }
    }
    WakeConditionVariable(&changed_);
}

DWORD WINAPI CallWatch::watch(void* self)
{
    static_cast<CallWatch*>(self)->watch_until_stopped();
    return 0;
}

void CallWatch::watch_until_stopped()
{
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        if (stopping_) {
            ReleaseSRWLockExclusive(&lock_);
            return;
        }
        if (expiry_ == nullptr) {
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline_) {
            break;
        }
        SleepConditionVariableSRW(&changed_, &lock_, static_cast<DWORD>(deadline_ - now), 0);
    }
    expired_ = true;
    const CallExpiry& expiry = *expiry_;  // the blocked call's frame holds it, and stays blocked
    ReleaseSRWLockExclusive(&lock_);
    try {
        expiry.tell();
    } catch (...) {
        // Nobody is left to tell; the run ends all the same.
    }
    // Not ExitProcess: its clean-up of the loaded DLLs could wait for a lock that the blocked call
    // holds. Nothing of the install has been written yet that a clean-up would owe the user.
    TerminateProcess(GetCurrentProcess(), expiry.exit_status);
}

}  // namespace kelmina::win32
