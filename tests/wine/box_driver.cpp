// Plays the user: starts the installer in a chosen working directory, reads every message box
// it shows and presses the button the scenario names, then records the exit status.
//
//   box_driver.exe INSTALLER WORKING_DIRECTORY EVENT_LOG ANSWERS SECONDS [--hold [MS:]FILE]...
//                  [--hold-sharing [MS:]FILE]... [--pause FILE] [--kill-after MS --watch DIRECTORY]
//
// ANSWERS names the button for each box in turn, comma-separated: ok, yes, no, cancel. A box
// beyond the list is logged and dismissed with its first button. SECONDS bounds the whole run.
// --hold keeps FILE open without sharing, as Excel keeps a loaded add-in: for the whole run, or
// until MS milliseconds after the first answer, as a virus scanner or a sync client holds a file
// for a moment (the release is logged). --hold-sharing holds it sharing reading, writing and
// deletion, so that only a rename over it meets the hold.
// --pause waits, before answering each box, until FILE exists, then deletes it: time for
// someone outside Wine to take a picture of the box.
// --kill-after ends the installer with TerminateProcess MS milliseconds after the first answer,
// and logs whether a temporary file of the copy's form (*.{GUID}.tmp) lay in DIRECTORY then.
// With MS written as copy+MS, the milliseconds count from the moment such a file is first seen
// there: on a loaded or emulated machine the copy starts later after the answer, and a kill
// meant for the copy's own moments must still meet them.
#include <windows.h>

#include <sstream>
#include <utility>
#include <vector>

#include "tests/wine/event_log.h"

namespace {

using kelmina::wine_tests::append_event;

struct Button {
    int id;
    const wchar_t* name;
};
constexpr Button kButtons[] = {{IDOK, L"ok"},       {IDCANCEL, L"cancel"},     {IDABORT, L"abort"},
                               {IDRETRY, L"retry"}, {IDIGNORE, L"ignore"},     {IDYES, L"yes"},
                               {IDNO, L"no"},       {IDTRYAGAIN, L"tryagain"}, {IDCONTINUE, L"continue"}};

// Whether a temporary file of the copy's form (*.{GUID}.tmp) lies in the directory.
bool temporary_lies_in(const std::wstring& directory)
{
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((directory + L"\\*.{*}.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return true;
}

std::wstring window_text(HWND window)
{
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

struct BoxSearch {
    DWORD process_id;
    HWND box;
};

// Enumeration callbacks are WINAPI (stdcall on 32-bit Windows), which a lambda is not.
BOOL CALLBACK match_box(HWND window, LPARAM data)
{
    auto& search = *reinterpret_cast<BoxSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (owner == search.process_id && IsWindowVisible(window) && lstrcmpW(class_name, L"#32770") == 0) {
        search.box = window;
        return FALSE;
    }
    return TRUE;
}

HWND find_box(DWORD process_id)
{
    BoxSearch search{process_id, nullptr};
    EnumWindows(match_box, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

// Milliseconds since the driver started, for timing the steps between boxes.
std::wstring elapsed_ms()
{
    static LARGE_INTEGER frequency{}, start{};
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
        start = now;
    }
    return std::to_wstring((now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
}

// A file that the driver holds open for another program.
struct Hold {
    std::wstring path;
    DWORD share;
    ULONGLONG release_after_ms;  // after the first answer; 0 for the whole run
    HANDLE handle = INVALID_HANDLE_VALUE;
};

// "[MS:]FILE": the number before the first colon, when there is one before the path's own.
Hold parse_hold(const std::wstring& value, DWORD share)
{
    const std::size_t colon = value.find(L':');
    if (colon != std::wstring::npos && colon > 0 && value.find_first_not_of(L"0123456789") == colon) {
        return {value.substr(colon + 1), share, std::wcstoull(value.c_str(), nullptr, 10)};
    }
    return {value, share, 0};
}

// Lets go of the holds whose time after the first answer has come.
void release_due_holds(std::vector<Hold>& holds, ULONGLONG first_answer_tick, const std::wstring& log_path)
{
    for (Hold& hold : holds) {
        if (first_answer_tick != 0 && hold.release_after_ms != 0 && hold.handle != INVALID_HANDLE_VALUE &&
            GetTickCount64() >= first_answer_tick + hold.release_after_ms) {
            CloseHandle(std::exchange(hold.handle, INVALID_HANDLE_VALUE));
            kelmina::wine_tests::append_event(log_path, {{"who", L"driver"},
                                                         {"event", L"released"},
                                                         {"file", hold.path},
                                                         {"tick", std::to_wstring(GetTickCount64())}});
        }
    }
}

void pump_messages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 6 || argc % 2 != 0) {
        return 2;
    }
    std::vector<Hold> holds;
    std::wstring pause_path;
    std::wstring kill_after;
    std::wstring watched_directory;
    for (int option = 6; option + 1 < argc; option += 2) {
        const std::wstring name = argv[option];
        if (name == L"--hold" || name == L"--hold-sharing") {
            holds.push_back(parse_hold(argv[option + 1],
                                       name == L"--hold" ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
            continue;
        }
        std::wstring* const value = name == L"--pause"        ? &pause_path
                                    : name == L"--kill-after" ? &kill_after
                                    : name == L"--watch"      ? &watched_directory
                                                              : nullptr;
        if (value == nullptr) {
            return 2;
        }
        *value = argv[option + 1];
    }
    const std::wstring installer = argv[1];
    const std::wstring working_directory = argv[2];
    const std::wstring log_path = argv[3];
    std::vector<std::wstring> answers;
    for (std::wstringstream list{argv[4]}; list.good();) {
        std::wstring answer;
        std::getline(list, answer, L',');
        if (!answer.empty()) {
            answers.push_back(answer);
        }
    }
    const ULONGLONG deadline = GetTickCount64() + 1000ULL * std::wcstoul(argv[5], nullptr, 10);
    elapsed_ms();

    // The system code page that the installer, started from here, runs under. Without this line
    // the tests take the driver for not started, so the installer must not start either.
    if (!append_event(log_path, {{"who", L"driver"}, {"event", L"start"}, {"acp", std::to_wstring(GetACP())}})) {
        return 5;
    }

    for (Hold& hold : holds) {
        hold.handle = CreateFileW(hold.path.c_str(), GENERIC_READ, hold.share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (hold.handle == INVALID_HANDLE_VALUE) {
            append_event(log_path, {{"who", L"driver"}, {"event", L"no-hold"}, {"file", hold.path}});
            return 3;
        }
    }
    ULONGLONG first_answer_tick = 0;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command_line = L"\"" + installer + L"\"";
    // Suspended, so that the probe watches the installer's thread before its first box.
    if (!CreateProcessW(installer.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        working_directory.c_str(), &startup, &process)) {
        append_event(log_path,
                     {{"who", L"driver"}, {"event", L"no-start"}, {"error", std::to_wstring(GetLastError())}});
        return 4;
    }
    const HMODULE probe = LoadLibraryW((kelmina::wine_tests::own_directory() + L"box_probe.dll").c_str());
    const auto install_probe =
        probe ? reinterpret_cast<BOOL (*)(DWORD)>(reinterpret_cast<void*>(GetProcAddress(probe, "install_box_probe")))
              : nullptr;
    if (install_probe == nullptr || !install_probe(process.dwThreadId)) {
        append_event(log_path, {{"who", L"driver"}, {"event", L"no-probe"}});
        TerminateProcess(process.hProcess, 3);
        return 3;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    std::size_t answered = 0;
    bool timed_out = false;
    // Short waits: the time from an answer to the next box measures the step in between.
    while (WaitForSingleObject(process.hProcess, 5) == WAIT_TIMEOUT) {
        pump_messages();
        release_due_holds(holds, first_answer_tick, log_path);
        if (GetTickCount64() > deadline) {
            timed_out = true;
            break;
        }
        const HWND box = find_box(process.dwProcessId);
        if (box == nullptr) {
            continue;
        }
        // The probe marks the box while it is being activated; give it a moment.
        for (int wait = 0; wait < 100 && GetPropW(box, L"KelminaBoxIcon") == nullptr; ++wait) {
            Sleep(10);
        }
        std::wstring buttons;
        int first_button = 0;
        for (const Button& button : kButtons) {
            const HWND control = GetDlgItem(box, button.id);
            if (control != nullptr && IsWindowVisible(control)) {
                buttons += (buttons.empty() ? L"" : L",") + std::wstring{button.name};
                first_button = first_button != 0 ? first_button : button.id;
            }
        }
        const auto icon = reinterpret_cast<UINT_PTR>(GetPropW(box, L"KelminaBoxIcon"));
        const bool topmost = (GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        const std::wstring answer = answered < answers.size() ? answers[answered] : L"unexpected";
        ++answered;
        RECT frame{};
        GetWindowRect(box, &frame);
        append_event(log_path, {{"who", L"driver"},
                                {"event", L"box"},
                                {"ms", elapsed_ms()},
                                {"tick", std::to_wstring(GetTickCount64())},
                                {"title", window_text(box)},
                                {"prompt", window_text(GetDlgItem(box, 0xFFFF))},
                                {"buttons", buttons},
                                {"icon", std::to_wstring(icon)},
                                {"topmost", topmost ? L"1" : L"0"},
                                {"answer", answer},
                                {"rect", std::to_wstring(frame.left) + L"," + std::to_wstring(frame.top) + L"," +
                                             std::to_wstring(frame.right - frame.left) + L"," +
                                             std::to_wstring(frame.bottom - frame.top)}});
        while (!pause_path.empty() && !DeleteFileW(pause_path.c_str()) && GetTickCount64() <= deadline) {
            pump_messages();
            Sleep(20);
        }
        int pressed = first_button;
        for (const Button& button : kButtons) {
            if (answer == button.name) {
                pressed = button.id;
            }
        }
        // The tick before the answer leaves: whatever the installer does after it comes later.
        const ULONGLONG answer_tick = GetTickCount64();
        first_answer_tick = first_answer_tick != 0 ? first_answer_tick : answer_tick;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(pressed, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, pressed)));
        append_event(
            log_path,
            {{"who", L"driver"}, {"event", L"answered"}, {"ms", elapsed_ms()}, {"tick", std::to_wstring(answer_tick)}});
        if (!kill_after.empty() && answered == 1) {
            const std::wstring copy_prefix = L"copy+";
            const bool from_copy = kill_after.compare(0, copy_prefix.size(), copy_prefix) == 0;
            const ULONGLONG delay =
                std::wcstoul(kill_after.c_str() + (from_copy ? copy_prefix.size() : 0), nullptr, 10);
            ULONGLONG kill_at = from_copy ? deadline : GetTickCount64() + delay;
            bool copy_seen = false;
            while (GetTickCount64() < kill_at) {
                pump_messages();
                release_due_holds(holds, first_answer_tick, log_path);
                if (from_copy && !copy_seen && temporary_lies_in(watched_directory)) {
                    copy_seen = true;
                    kill_at = GetTickCount64() + delay;
                }
                Sleep(1);
            }
            const bool temporary = temporary_lies_in(watched_directory);
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, INFINITE);
            append_event(log_path, {{"who", L"driver"},
                                    {"event", L"killed"},
                                    {"ms", elapsed_ms()},
                                    {"temporary", temporary ? L"1" : L"0"}});
        }
        // Wait for this box to go before looking for the next one.
        while (IsWindow(box) && WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT &&
               GetTickCount64() <= deadline) {
            pump_messages();
            release_due_holds(holds, first_answer_tick, log_path);
        }
    }
    if (timed_out) {
        TerminateProcess(process.hProcess, 259);
        append_event(log_path, {{"who", L"driver"}, {"event", L"timeout"}});
    } else {
        DWORD exit_code = 0;
        GetExitCodeProcess(process.hProcess, &exit_code);
        append_event(log_path, {{"who", L"driver"}, {"event", L"exit"}, {"status", std::to_wstring(exit_code)}});
    }
    CloseHandle(process.hProcess);
    for (Hold& hold : holds) {
        if (hold.handle != INVALID_HANDLE_VALUE) {
            CloseHandle(hold.handle);
        }
    }
    return timed_out ? 5 : 0;
}
