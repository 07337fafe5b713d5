// A platform that plays a scripted machine and writes down, in order, everything the routine
// asks of it.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelmina::testing {

// Thrown where the real platform would end the process.
struct ProgramEnded {
    std::uint32_t exit_status;
};

class FakePlatform final : public Platform {
public:
    // The machine.
    bool excel_installed = true;
    // What a step throws when it fails: a PlatformFailure, or any other exception.
    std::wstring library_path = L"C:\\Office\\Library";
    std::exception_ptr library_path_failure;
    std::exception_ptr quit_failure;
    int confirmation_answer = 6;
    std::wstring executable_directory = L"D:\\setup";
    std::exception_ptr directory_failure;
    std::exception_ptr copy_failure;
    // A box whose title is this one fails to show.
    std::wstring failing_box_title;
    std::exception_ptr box_failure;
    // The platform's own error box fails to show with this.
    std::exception_ptr system_box_failure;
    // The system's text for a number is "system text N", unless this is thrown instead.
    std::exception_ptr describe_failure_failure;

    // What the routine did, one line a call: "create X", "read X", "call X", "release",
    // "box STYLE TITLE | PROMPT", "system box NUMBER | DESCRIPTION", "directory",
    // "copy SOURCE -> DESTINATION".
    std::vector<std::wstring> calls;
    // How the routine asked the creation to end the run should Excel never answer.
    UnansweredCalls if_unanswered{};

    std::unique_ptr<AutomationObject> create_automation_object(const std::wstring& class_id,
                                                               const UnansweredCalls& unanswered) override;
    int show_message_box(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) override;
    std::wstring program_directory() override;
    void show_failure_in_system_terms(std::int32_t number, const std::wstring& description) override;
    void copy_file(const std::wstring& source, const std::wstring& destination) override;
    std::wstring describe_failure(std::int32_t number) override;

protected:
    void end_process(std::uint32_t exit_status) override;
};

// Runs the routine to its end and gives back the exit status it chose.
std::uint32_t run_to_end(FakePlatform& platform);

}  // namespace kelmina::testing
