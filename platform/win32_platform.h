// The platform operations on Windows itself.
#pragma once

#include <optional>

#include "platform/platform.h"
#include "platform/win32_call_watch.h"
#include "platform/win32_holders.h"

namespace kelmina::win32 {

class Win32Platform final : public Platform {
public:
    std::unique_ptr<AutomationObject> create_automation_object(const std::wstring& class_id,
                                                               const UnansweredCalls& if_unanswered) override;
    int show_message_box(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) override;
    std::wstring program_directory() override;
    void show_failure_in_system_terms(std::int32_t number, const std::wstring& description) override;
    void copy_file(const std::wstring& source, const std::wstring& destination) override;
    std::wstring describe_failure(std::int32_t number) override;

protected:
    void end_process(std::uint32_t exit_status) override;

private:
    std::optional<ComApartment> apartment_;
    // Declared after the apartment: the watching thread ends before COM does.
    CallWatch call_watch_;
};

// Takes the program's own directory and the working directory out of the DLL search path.
void restrict_dll_search_to_system_directory();

}  // namespace kelmina::win32
