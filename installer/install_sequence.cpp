#include "installer/install_sequence.h"

#include <optional>

#include "installer/failure_report.h"
#include "installer/texts.h"

namespace kelmina {

std::wstring with_trailing_separator(std::wstring path)
{
    if (path.empty() || path.back() != kPathSeparator) {
        path += kPathSeparator;
    }
    return path;
}

namespace {

bool means_server_gone(std::int32_t number)
{
    for (const std::int32_t gone : kServerGoneNumbers) {
        if (number == gone) {
            return true;
        }
    }
    return false;
}

void show_error(Platform& platform, std::wstring_view prompt)
{
    platform.show_message_box(std::wstring{prompt}, MB_ICONERROR, std::wstring{kErrorTitle});
}

// Steps 1 to 6. Gives back the exit status when the run ends here, its box already shown, and
// nothing when the user has confirmed the install into `addin_directory`.
std::optional<std::uint32_t> ask_excel_and_user(Platform& platform, std::wstring& addin_directory)
{
    // Steps 1-3. The application object lives only in this block, so it is released on every
    // way out, a failing read or Quit included: a reference held until the process ends would
    // leave an invisible Excel running.
    {
        // An Excel that takes a call and never answers it ends the run as these steps would: a
        // creation that never comes back has given no object, and any later call has failed.
        const UnansweredCalls if_unanswered{std::wstring{kNotInstalledPrompt}, std::wstring{kErrorTitle},
                                            exit_status::kExcelNotInstalled, exit_status::kFailedBeforeInstall};
        auto application = platform.create_automation_object(std::wstring{kExcelClassId}, if_unanswered);
        if (!application) {
            show_error(platform, kNotInstalledPrompt);
            return exit_status::kExcelNotInstalled;
        }
        addin_directory = application->read_text_member(std::wstring{kLibraryPathMember});
        try {
            application->call_member(std::wstring{kQuitMember});
        } catch (const PlatformFailure& failure) {
            // An Excel whose process ended while it answered has done what Quit asks of it.
            if (!means_server_gone(failure.number)) {
                throw;
            }
        }
    }

    // Step 4: only a text with no characters at all is empty; blanks are a path to Windows.
    if (addin_directory.empty()) {
        show_error(platform, kNoDestinationPrompt);
        return exit_status::kNoDestination;
    }
    addin_directory = with_trailing_separator(std::move(addin_directory));

    // Step 6: only No stops here; any other answer goes on to the install.
    const int answer = platform.show_message_box(std::wstring{kConfirmationPrompt}, MB_YESNO | MB_ICONQUESTION,
                                                 std::wstring{kConfirmationTitle});
    if (answer == IDNO) {
        return exit_status::kDeclined;
    }
    return std::nullopt;
}

// The failure in the platform's own box. Should that fail as well, nobody is left to tell.
void tell_in_system_terms(Platform& platform, const std::exception_ptr& failure)
{
    try {
        const PlatformFailure information = failure_information(platform, failure);
        platform.show_failure_in_system_terms(information.number, information.description);
    } catch (...) {
    }
}

}  // namespace

// The program is ended outside the handlers, so that no catch-all stands between the routine
// and its end (a test platform ends it by throwing).
void run_install_sequence(Platform& platform)
{
    std::wstring addin_directory;
    std::optional<std::uint32_t> ended_early;
    try {
        ended_early = ask_excel_and_user(platform, addin_directory);
    } catch (...) {
        // Before the confirmation nothing has been touched and the report is not armed yet, so
        // the program has no words of its own for this; the platform's are better than silence.
        tell_in_system_terms(platform, std::current_exception());
        ended_early = exit_status::kFailedBeforeInstall;
    }
    if (ended_early) {
        platform.end_program(*ended_early);
    }

    // Step 7: from here on every failure, whatever its kind, goes to the failure report.
    try {
        const std::wstring program_directory = with_trailing_separator(platform.program_directory());
        platform.copy_file(program_directory + std::wstring{kAddinFileName},
                           addin_directory + std::wstring{kAddinFileName});
        platform.show_message_box(std::wstring{kCompletionPrompt}, MB_ICONINFORMATION, std::wstring{kCompletionTitle});
    } catch (...) {
        report_failure(platform, std::current_exception());
    }
    platform.end_program(exit_status::kInstalled);
}

}  // namespace kelmina
