// One move-only owner per Windows resource kind, so that no release call appears in the logic.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace kelmina::win32 {

// Balances a successful CoInitializeEx; create it only after the call succeeded.
class ComApartment {
public:
    ComApartment() = default;
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

template <typename Interface>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& other) noexcept : pointer_{std::exchange(other.pointer_, nullptr)} {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    void reset()
    {
        if (pointer_ != nullptr) {
            std::exchange(pointer_, nullptr)->Release();
        }
    }
    Interface* get() const { return pointer_; }
    Interface* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    // For out-parameters: releases what is held and lends the slot.
    Interface** put()
    {
        reset();
        return &pointer_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

private:
    Interface* pointer_ = nullptr;
};

// Owns the VARIANT and whatever it holds, a BSTR included.
class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&value_); }
    ~UniqueVariant() { VariantClear(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() { return &value_; }
    const VARIANT& operator*() const { return value_; }

private:
    VARIANT value_;
};

// What a failing IDispatch::Invoke leaves behind: its strings belong to the caller.
class UniqueExcepInfo {
public:
    UniqueExcepInfo() = default;
    ~UniqueExcepInfo() { clear(); }
    UniqueExcepInfo(const UniqueExcepInfo&) = delete;
    UniqueExcepInfo& operator=(const UniqueExcepInfo&) = delete;

    EXCEPINFO* get() { return &value_; }
    // Frees the strings and empties the record, for the next call to fill.
    void clear()
    {
        SysFreeString(value_.bstrSource);
        SysFreeString(value_.bstrDescription);
        SysFreeString(value_.bstrHelpFile);
        value_ = EXCEPINFO{};
    }
    // Some servers defer the filling of the record to this callback.
    EXCEPINFO& filled()
    {
        if (value_.pfnDeferredFillIn != nullptr) {
            std::exchange(value_.pfnDeferredFillIn, nullptr)(&value_);
        }
        return value_;
    }

private:
    EXCEPINFO value_{};
};

// Memory that FormatMessageW allocated for its caller.
class UniqueHlocal {
public:
    UniqueHlocal() = default;
    ~UniqueHlocal() { LocalFree(value_); }
    UniqueHlocal(const UniqueHlocal&) = delete;
    UniqueHlocal& operator=(const UniqueHlocal&) = delete;

    template <typename T>
    T* as() const
    {
        return static_cast<T*>(value_);
    }
    HLOCAL* put() { return &value_; }

private:
    HLOCAL value_ = nullptr;
};

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE value) : value_{value} {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : value_{std::exchange(other.value_, INVALID_HANDLE_VALUE)} {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        std::swap(value_, other.value_);
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    void reset()
    {
        if (value_ != INVALID_HANDLE_VALUE && value_ != nullptr) {
            CloseHandle(std::exchange(value_, INVALID_HANDLE_VALUE));
        }
    }
    HANDLE get() const { return value_; }
    explicit operator bool() const { return value_ != INVALID_HANDLE_VALUE && value_ != nullptr; }

private:
    HANDLE value_ = INVALID_HANDLE_VALUE;
};

// A directory search that FindFirstFileExW began.
class UniqueFindHandle {
public:
    explicit UniqueFindHandle(HANDLE value) : value_{value} {}
    ~UniqueFindHandle()
    {
        if (value_ != INVALID_HANDLE_VALUE) {
            FindClose(value_);
        }
    }
    UniqueFindHandle(const UniqueFindHandle&) = delete;
    UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;

    HANDLE get() const { return value_; }
    explicit operator bool() const { return value_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE value_;
};

}  // namespace kelmina::win32
