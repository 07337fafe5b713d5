#include "installer/install_sequence.h"

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

[[noreturn]] void show_error_and_end(Platform& platform, std::wstring_view prompt, std::uint32_t exit_status)
{
    platform.show_message_box(std::wstring{prompt}, MB_ICONERROR, std::wstring{kErrorTitle});
    platform.end_program(exit_status);
}

}  // namespace

void run_install_sequence(Platform& platform)
{
    std::wstring addin_directory;
    try {
        // Steps 1-3. The application object lives only in this block, so it is released on
        // every way out, a failing read or Quit included: a reference held until the process
        // ends would leave an invisible Excel running.
        {
            auto application = platform.create_automation_object(std::wstring{kExcelClassId});
            if (!application) {
                show_error_and_end(platform, kNotInstalledPrompt, exit_status::kExcelNotInstalled);
            }
            addin_directory = application->read_text_member(std::wstring{kLibraryPathMember});
            application->call_member(std::wstring{kQuitMember});
        }

        // Step 4: only a text with no characters at all is empty; blanks are a path to Windows.
        if (addin_directory.empty()) {
            show_error_and_end(platform, kNoDestinationPrompt, exit_status::kNoDestination);
        }
        addin_directory = with_trailing_separator(std::move(addin_directory));

        // Step 6: only No stops here; any other answer goes on to the install.
        const int answer = platform.show_message_box(std::wstring{kConfirmationPrompt}, MB_YESNO | MB_ICONQUESTION,
                                                     std::wstring{kConfirmationTitle});
        if (answer == IDNO) {
            platform.end_program(exit_status::kDeclined);
        }
    } catch (const PlatformFailure&) {
        // Before the confirmation nothing has been touched and the report is not armed yet.
        platform.end_program(exit_status::kFailedBeforeInstall);
    }

    // Step 7: from here on every failure goes to the failure report.
    try {
        const std::wstring program_directory = with_trailing_separator(platform.program_directory());
        platform.copy_file(program_directory + std::wstring{kAddinFileName},
                           addin_directory + std::wstring{kAddinFileName});
        platform.show_message_box(std::wstring{kCompletionPrompt}, MB_ICONINFORMATION, std::wstring{kCompletionTitle});
        platform.end_program(exit_status::kInstalled);
    } catch (const PlatformFailure& failure) {
        report_failure(platform, failure);
    }
}

}  // namespace kelmina
