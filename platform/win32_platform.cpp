#include "platform/win32_platform.h"

#include <cwchar>
#include <vector>

#include "platform/win32_call_watch.h"
#include "platform/win32_errors.h"
#include "platform/win32_file_copy.h"

namespace kelmina::win32 {

void restrict_dll_search_to_system_directory()
{
    // SetDefaultDllDirectories came to Windows 7 with an update (KB2533623); a static import
    // would keep the program from starting where that update is missing.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default_dll_directories == nullptr || !set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Without it, at least the working directory leaves the search path.
        SetDllDirectoryW(L"");
    }
}

namespace {

// Excel refuses calls while it is busy: while it starts and loads its own add-ins, while it
// recalculates, while it shows a dialog of its own. It says so through its message filter, and a
// caller is expected to wait a moment and ask again, as Office's own macro runtime does. Wine's
// COM never asks a client's message filter whether to retry, so the asking-again is done here.
constexpr DWORD kBusyPauseMs = 250;
constexpr ULONGLONG kBusyPatienceMs = 60000;

// Excel may also take a call and never answer it: a dialog nobody can see in an instance that is
// not shown, a network drive that is gone, a COM add-in stuck in a deadlock. Each single call is
// given this long; the asking-again of a busy Excel keeps its own minute.
constexpr DWORD kCallLimitMs = 60000;

// Excel's object model says "not now" in a way of its own: an exception whose code is this.
constexpr HRESULT VBA_E_IGNORE = static_cast<HRESULT>(0x800AC472);

bool is_busy(HRESULT result)
{
    return result == RPC_E_SERVERCALL_RETRYLATER || result == RPC_E_CALL_REJECTED;
}

// Makes the call until `busy` no longer holds for its answer, or until `give_up_at` has passed;
// then the busy answer is the call's failure.
template <typename Call, typename Busy>
HRESULT ask_while_busy(ULONGLONG give_up_at, Call call, Busy busy)
{
    for (;;) {
        const HRESULT result = call();
        if (!busy(result) || GetTickCount64() >= give_up_at) {
            return result;
        }
        Sleep(kBusyPauseMs);
    }
}

class DispatchObject final : public AutomationObject {
public:
    DispatchObject(ComPtr<IDispatch> dispatch, CallWatch& watch, const CallExpiry& unanswered)
        : dispatch_{std::move(dispatch)}, watch_{watch}, unanswered_{unanswered}
    {
    }
    // Releasing a remote object is a call to its server as well.
    ~DispatchObject() override
    {
        watched([this] {
            dispatch_.reset();
        });
    }
    DispatchObject(const DispatchObject&) = delete;
    DispatchObject& operator=(const DispatchObject&) = delete;

    std::wstring read_text_member(const std::wstring& name) override
    {
        UniqueVariant value;
        invoke(name, DISPATCH_PROPERTYGET, value.get());
        UniqueVariant text;
        if (const HRESULT result = VariantChangeType(text.get(), value.get(), 0, VT_BSTR); FAILED(result)) {
            throw hresult_failure(result);
        }
        const BSTR bstr = (*text).bstrVal;
        return {bstr, SysStringLen(bstr)};
    }

    void call_member(const std::wstring& name) override
    {
        UniqueVariant ignored;
        invoke(name, DISPATCH_METHOD, ignored.get());
    }

private:
    // US English, as VBA talks to Excel. Excel picks the language of its type library by this
    // locale, and an English Excel without the user's language pack refuses the user's locale
    // (0x80028018). The member names are English and LibraryPath is a path: no locale belongs here.
    static constexpr LCID kAutomationLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

    void invoke(const std::wstring& name, WORD kind, VARIANT* result)
    {
        const ULONGLONG give_up_at = GetTickCount64() + kBusyPatienceMs;
        DISPID member = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
        const HRESULT named = ask_while_busy(
            give_up_at,
            [&] {
                return watched([&] {
                    return dispatch_->GetIDsOfNames(IID_NULL, names, 1, kAutomationLocale, &member);
                });
            },
            is_busy);
        if (FAILED(named)) {
            throw hresult_failure(named);
        }
        DISPPARAMS no_arguments{};
        UniqueExcepInfo exception;
        const HRESULT hr = ask_while_busy(
            give_up_at,
            [&] {
                exception.clear();  // a refused try leaves its account, which the next try would add to
                VariantClear(result);
                return watched([&] {
                    return dispatch_->Invoke(member, IID_NULL, kAutomationLocale, kind, &no_arguments, result,
                                             exception.get(), nullptr);
                });
            },
            [&](HRESULT answer) {
                return is_busy(answer) || (answer == DISP_E_EXCEPTION && exception.filled().scode == VBA_E_IGNORE);
            });
        if (hr == DISP_E_EXCEPTION) {
            // The server's own account of the failure says more than DISP_E_EXCEPTION does.
            const EXCEPINFO& info = exception.filled();
            const HRESULT code = info.scode != 0 ? info.scode : hr;
            PlatformFailure failure = hresult_failure(code);
            if (info.bstrDescription != nullptr && SysStringLen(info.bstrDescription) != 0) {
                failure.description.assign(info.bstrDescription, SysStringLen(info.bstrDescription));
            }
            throw failure;
        }
        if (FAILED(hr)) {
            throw hresult_failure(hr);
        }
    }

    // Every call to the server, its release included, within the limit.
    template <typename Call>
    auto watched(Call call) -> decltype(call())
    {
        return watch_.during(kCallLimitMs, unanswered_, call);
    }

    ComPtr<IDispatch> dispatch_;
    CallWatch& watch_;
    CallExpiry unanswered_;
};

}  // namespace

std::unique_ptr<AutomationObject> Win32Platform::create_automation_object(const std::wstring& class_id,
                                                                          const UnansweredCalls& if_unanswered)
{
    if (!apartment_) {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
            return nullptr;
        }
        apartment_.emplace();
    }
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(class_id.c_str(), &clsid))) {
        return nullptr;
    }
    // A creation that never comes back has given no object: the routine's box for that.
    const auto tell_no_object = [&] {
        show_message_box(if_unanswered.creation_prompt, MB_ICONERROR, if_unanswered.creation_title);
    };
    const CallExpiry creation_unanswered{tell_no_object, if_unanswered.creation_exit_status};
    // Excel's class is single-use: every activation starts another Excel, and one that refuses the
    // creation while it starts would be followed by a new one for each try, each refusing in its
    // own first seconds and left running. So the class object is taken once, and the same Excel
    // is asked again.
    ComPtr<IClassFactory> factory;
    if (FAILED(call_watch_.during(kCallLimitMs, creation_unanswered, [&] {
            return CoGetClassObject(clsid, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                    factory.put_void());
        }))) {
        return nullptr;
    }
    ComPtr<IDispatch> dispatch;
    const HRESULT created = ask_while_busy(
        GetTickCount64() + kBusyPatienceMs,
        [&] {
            return call_watch_.during(kCallLimitMs, creation_unanswered, [&] {
                return factory->CreateInstance(nullptr, IID_IDispatch, dispatch.put_void());
            });
        },
        is_busy);
    call_watch_.during(kCallLimitMs, creation_unanswered, [&] {
        factory.reset();
    });
    if (FAILED(created)) {
        return nullptr;
    }
    const auto tell_timed_out = [this] {
        show_failure_in_system_terms(RPC_E_TIMEOUT, describe_error(static_cast<DWORD>(RPC_E_TIMEOUT)));
    };
    const CallExpiry call_unanswered{tell_timed_out, if_unanswered.call_exit_status};
    return std::make_unique<DispatchObject>(std::move(dispatch), call_watch_, call_unanswered);
}

int Win32Platform::show_message_box(const std::wstring& prompt, std::uint32_t style, const std::wstring& title)
{
    const int button = MessageBoxW(nullptr, prompt.c_str(), title.c_str(), style);
    if (button == 0) {
        throw last_error_failure();
    }
    return button;
}

namespace {

// The full path of the running executable; it has no fixed limit, so the buffer grows until the
// whole path fits.
std::wstring executable_path()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            throw last_error_failure();
        }
        if (length < buffer.size()) {
            return {buffer.data(), length};
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::wstring Win32Platform::program_directory()
{
    std::wstring path = executable_path();
    const std::size_t last_separator = path.rfind(L'\\');
    if (last_separator == std::wstring::npos) {
        throw error_failure(ERROR_BAD_PATHNAME);
    }
    path.resize(last_separator + 1);
    return path;
}

void Win32Platform::show_failure_in_system_terms(std::int32_t number, const std::wstring& description)
{
    const std::wstring path = executable_path();
    const std::wstring file_name = path.substr(path.rfind(L'\\') + 1);
    wchar_t hresult[16] = {};
    swprintf(hresult, 16, L"0x%08X", static_cast<unsigned>(number));
    show_message_box(description.empty() ? hresult : description + L"\r\n" + hresult, MB_ICONERROR, file_name);
}

void Win32Platform::copy_file(const std::wstring& source, const std::wstring& destination)
{
    copy_file_atomically(source, destination);
}

std::wstring Win32Platform::describe_failure(std::int32_t number)
{
    return describe_error(static_cast<DWORD>(number));
}

void Win32Platform::end_process(std::uint32_t exit_status)
{
    ExitProcess(exit_status);
}

}  // namespace kelmina::win32
