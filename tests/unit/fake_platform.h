// A platform that plays a scripted machine and writes down, in order, everything the routine
// asks of it.
#pragma once

#include <optional>
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
    std::wstring library_path = L"C:\\Office\\Library";
    std::optional<PlatformFailure> library_path_failure;
    std::optional<PlatformFailure> quit_failure;
    int confirmation_answer = 6;
    std::wstring executable_directory = L"D:\\setup";
    std::optional<PlatformFailure> directory_failure;
    std::optional<PlatformFailure> copy_failure;
    // A box whose title is this one fails to show.
    std::wstring failing_box_title;
    std::optional<PlatformFailure> box_failure;

    // What the routine did, one line a call: "create X", "read X", "call X", "release",
    // "box STYLE TITLE | PROMPT", "directory", "copy SOURCE -> DESTINATION".
    std::vector<std::wstring> calls;

    std::unique_ptr<AutomationObject> create_automation_object(const std::wstring& class_id) override;
    int show_message_box(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) override;
    std::wstring program_directory() override;
    void copy_file(const std::wstring& source, const std::wstring& destination) override;

protected:
    void end_process(std::uint32_t exit_status) override;
};

// Runs the routine to its end and gives back the exit status it chose.
std::uint32_t run_to_end(FakePlatform& platform);

}  // namespace kelmina::testing
