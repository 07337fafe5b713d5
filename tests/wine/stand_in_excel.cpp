// Stands in for Excel: a local automation server with the two members the installer uses.
// It reads its part of the scenario from stand_in.cfg beside it (UTF-8 lines key=value) and
// writes what it is asked, and when it exits, to events.log beside it.
#include <windows.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <cwchar>
#include <map>
#include <string>
#include <sstream>

#include "tests/wine/event_log.h"

namespace {

using kelmina::wine_tests::append_event;

// {5C7D2A10-8E4B-4F3A-9B61-2D0E7A3C9F42}; registered as Excel.Application in the test prefix.
const CLSID kStandInClsid = {0x5c7d2a10, 0x8e4b, 0x4f3a, {0x9b, 0x61, 0x2d, 0x0e, 0x7a, 0x3c, 0x9f, 0x42}};
constexpr DISPID kLibraryPathId = 1;
constexpr DISPID kQuitId = 2;
// The HRESULT Excel gives for an error raised by the application itself, and the one of its
// object model's "not now" (VBA_E_IGNORE).
constexpr HRESULT kExcelError = static_cast<HRESULT>(0x800A03EC);
constexpr HRESULT kExcelNotNow = static_cast<HRESULT>(0x800AC472);

std::wstring g_log_path;
std::map<std::string, std::wstring> g_config;
DWORD g_main_thread = 0;
// What the server is doing once its last client has let go, for the watch on its end.
const wchar_t* volatile g_step = L"loop";

// With the system's tick count, which every process under the same Wine shares, so that the time
// between the stand-in's events and the driver's can be read off.
void log_event(const wchar_t* event)
{
    append_event(g_log_path, {{"who", L"excel"}, {"event", event}, {"tick", std::to_wstring(GetTickCount64())}});
}

// The installer's part ends with the last release; what follows is up to Wine's COM. Under
// Wine 8 this server was once seen still running more than ten seconds after that release, and
// under Wine 10 it was once found in CoUninitialize fifteen seconds after it. A server still
// running would be taken for the next scenario's Excel, so it ends itself in any case and says
// where it stood.
DWORD WINAPI end_if_stuck(void*)
{
    Sleep(15000);
    append_event(g_log_path, {{"who", L"excel"}, {"event", L"forced-exit"}, {"step", g_step}});
    ExitProcess(3);
}

// vanishes_in=MEMBER: the process ends inside that call, before its answer gets out, as an Excel
// does that closes as Quit asked, or crashes.
void vanish_if_asked(const wchar_t* member)
{
    if (g_config["vanishes_in"] == member) {
        log_event(L"exit");
        ExitProcess(0);
    }
}

bool installer_running()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return true;
    }
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &process); more && !found; more = Process32NextW(snapshot, &process)) {
        found = lstrcmpiW(process.szExeFile, L"KelminaAddinInstaller.exe") == 0;
    }
    CloseHandle(snapshot);
    return found;
}

// Ends the stand-in once the installer is gone, so that it cannot answer the next scenario, or
// after two and a half minutes, so that an installer that waits for ever is seen to.
DWORD WINAPI end_the_hang(void*)
{
    for (const ULONGLONG give_up_at = GetTickCount64() + 150000; GetTickCount64() < give_up_at;) {
        Sleep(500);
        if (!installer_running()) {
            break;
        }
    }
    log_event(L"exit");
    ExitProcess(4);
}

// Takes the call and never answers it, as Excel does behind a dialog nobody sees, or with a
// network drive gone.
void hang()
{
    if (const HANDLE ending = CreateThread(nullptr, 0, end_the_hang, nullptr, 0, nullptr)) {
        CloseHandle(ending);
    }
    Sleep(INFINITE);
}

void read_config(const std::wstring& path)
{
    std::string content(1 << 16, '\0');
    DWORD size = 0;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &size, nullptr);
        CloseHandle(file);
    }
    content.resize(size);
    std::istringstream lines{content};
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            g_config[line.substr(0, equals)] = kelmina::wine_tests::from_utf8(line.substr(equals + 1));
        }
    }
}

bool configured(const char* key)
{
    return g_config[key] == L"1";
}

// Excel is busy for a while after it starts (busy_seconds=N), or for good (busy_seconds=forever),
// and refuses calls meanwhile in one of its ways (busy_by): through its message filter
// ("filter"), which the caller sees as RPC_E_CALL_REJECTED; by answering
// RPC_E_SERVERCALL_RETRYLATER itself ("answer"); with its object model's own exception,
// VBA_E_IGNORE ("ignore"); or, from the server's start, by refusing the creation of the object
// itself through its message filter ("creation").
ULONGLONG g_started_at = 0;
ULONGLONG g_created_at = 0;

bool busy_now(const wchar_t* way)
{
    const std::wstring& seconds = g_config["busy_seconds"];
    const ULONGLONG since = g_config["busy_by"] == L"creation" ? g_started_at : g_created_at;
    if (since == 0 || seconds.empty() || g_config["busy_by"] != way) {
        return false;
    }
    return seconds == L"forever" || GetTickCount64() < since + 1000 * std::stoull(seconds);
}

void log_refusal(const wchar_t* way, const wchar_t* member)
{
    append_event(g_log_path, {{"who", L"excel"}, {"event", L"refused"}, {"by", way}, {"member", member}});
}

// The "answer" way: the call itself says that Excel is busy.
bool answers_busy()
{
    if (!busy_now(L"answer")) {
        return false;
    }
    log_refusal(L"answer", L"");
    return true;
}

class BusyFilter final : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
            *object = static_cast<IMessageFilter*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    // Only the application's own calls and its creation are refused: COM's releases must still
    // reach the server.
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO call) override
    {
        for (const auto& [iid, way] :
             {std::pair{IID_IDispatch, L"filter"}, std::pair{IID_IClassFactory, L"creation"}}) {
            if (call != nullptr && call->iid == iid && busy_now(way)) {
                log_refusal(way, L"");
                return SERVERCALL_REJECTED;
            }
        }
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

class Application final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            log_event(L"release");
            PostThreadMessageW(g_main_thread, WM_QUIT, 0, 0);
            if (const HANDLE watch = CreateThread(nullptr, 0, end_if_stuck, nullptr, 0, nullptr)) {
                CloseHandle(watch);
            }
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override
    {
        if (refuses(locale)) {
            return TYPE_E_INVDATAREAD;
        }
        if (answers_busy()) {
            return RPC_E_SERVERCALL_RETRYLATER;
        }
        if (count != 1) {
            return E_INVALIDARG;
        }
        // Automation names are case-insensitive, as Excel's are.
        if (lstrcmpiW(names[0], L"LibraryPath") == 0) {
            *ids = kLibraryPathId;
        } else if (lstrcmpiW(names[0], L"Quit") == 0) {
            *ids = kQuitId;
        } else {
            *ids = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID locale, WORD flags, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO* exception, UINT*) override
    {
        if (refuses(locale)) {
            return TYPE_E_INVDATAREAD;
        }
        if (answers_busy()) {
            return RPC_E_SERVERCALL_RETRYLATER;
        }
        if (busy_now(L"ignore")) {
            log_refusal(L"ignore", L"");
            return raise(exception, L"", kExcelNotNow);
        }
        if (member == kLibraryPathId && (flags & DISPATCH_PROPERTYGET)) {
            log_event(L"LibraryPath");
            vanish_if_asked(L"LibraryPath");
            if (configured("library_path_fails")) {
                return raise(exception, L"LibraryPath is not available");
            }
            if (configured("library_path_hangs")) {
                hang();
            }
            if (result != nullptr) {
                // A BSTR has a length of its own and may hold NULs; library_path_after_nul puts one in.
                std::wstring path = g_config["library_path"];
                if (g_config.count("library_path_after_nul") != 0) {
                    path += L'\0' + g_config["library_path_after_nul"];
                }
                result->vt = VT_BSTR;
                result->bstrVal = SysAllocStringLen(path.c_str(), static_cast<UINT>(path.size()));
            }
            return S_OK;
        }
        if (member == kQuitId && (flags & DISPATCH_METHOD)) {
            // quit_refusals=N: the first N calls of Quit find Excel busy once more.
            if (quit_refusals_ < std::wcstoul(g_config["quit_refusals"].c_str(), nullptr, 10)) {
                ++quit_refusals_;
                log_refusal(L"answer", L"Quit");
                return RPC_E_SERVERCALL_RETRYLATER;
            }
            log_event(L"Quit");
            vanish_if_asked(L"Quit");
            return configured("quit_fails") ? raise(exception, L"Quit was refused") : S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    // An English Excel without the language pack of the caller's locale: only US English is
    // understood, once the default locales are resolved as in the user's session.
    static bool refuses(LCID locale) { return configured("english_only") && ConvertDefaultLocale(locale) != 0x0409; }

    static HRESULT raise(EXCEPINFO* exception, const wchar_t* description, HRESULT code = kExcelError)
    {
        if (exception != nullptr) {
            *exception = EXCEPINFO{};
            exception->bstrSource = SysAllocString(L"Microsoft Excel");
            exception->bstrDescription = SysAllocString(description);
            exception->scode = code;
        }
        return DISP_E_EXCEPTION;
    }

    LONG references_ = 1;
    unsigned long quit_refusals_ = 0;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        log_event(L"create");
        if (configured("create_hangs")) {
            hang();
        }
        g_created_at = GetTickCount64();
        auto* application = new Application;
        const HRESULT result = application->QueryInterface(iid, object);
        application->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const std::wstring directory = kelmina::wine_tests::own_directory();
    g_log_path = directory + L"events.log";
    read_config(directory + L"stand_in.cfg");
    g_main_thread = GetCurrentThreadId();
    g_started_at = GetTickCount64();
    // Which Office it plays: a 64-bit or a 32-bit one.
    append_event(g_log_path, {{"who", L"excel"}, {"event", L"start"}, {"bits", std::to_wstring(8 * sizeof(void*))}});

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        log_event(L"no-com");
        return 1;
    }
    static BusyFilter filter;
    if (FAILED(CoRegisterMessageFilter(&filter, nullptr))) {
        log_event(L"no-filter");
    }
    static Factory factory;
    DWORD registration = 0;
    if (FAILED(CoRegisterClassObject(kStandInClsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &registration))) {
        log_event(L"no-registration");
        CoUninitialize();
        return 1;
    }
    // A client that never comes, or never lets go, must not leave the server behind for ever; one
    // that keeps asking a busy Excel for a minute is still there.
    SetTimer(nullptr, 0, 180000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            log_event(L"abandoned");
            break;
        }
        DispatchMessageW(&message);
    }
    g_step = L"revoke";
    CoRevokeClassObject(registration);
    g_step = L"uninitialize";
    CoUninitialize();
    log_event(L"exit");
    return 0;
}
