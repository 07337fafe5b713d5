// The operations of Windows that the install sequence needs, behind an interface the sequence
// can be run against without Windows. Standard C++ only: the Win32 side lives in win32_*.cpp.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace kelmina {

// The one failure type of the platform: every operation either does what it says or throws this.
// `number` is the Win32 error code or the HRESULT, as a signed 32-bit value.
struct PlatformFailure {
    std::int32_t number;
    std::wstring description;
};

// A late-bound automation object, addressed by member name at run time. Destroying the holder
// releases the reference.
class AutomationObject {
public:
    virtual ~AutomationObject() = default;
    virtual std::wstring read_text_member(const std::wstring& name) = 0;
    virtual void call_member(const std::wstring& name) = 0;
};

// How the run ends when the automation server takes a call and never answers it. The routine's
// one thread is then inside the call and cannot be given back its turn, so the platform ends the
// run in the routine's place, with these words and statuses.
struct UnansweredCalls {
    // While the object is being created: no object can be had, so the routine's box for that.
    std::wstring creation_prompt;
    std::wstring creation_title;
    std::uint32_t creation_exit_status;
    // Any later call, its release included: the platform's own error box with the number of a call
    // whose time ran out (as show_failure_in_system_terms shows it).
    std::uint32_t call_exit_status;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Creates an instance of the class on the local machine; empty when none can be obtained. A
    // server that is busy is asked again for a while, and so are the object's members; a call that
    // does not come back in time ends the run as `if_unanswered` says.
    virtual std::unique_ptr<AutomationObject> create_automation_object(const std::wstring& class_id,
                                                                       const UnansweredCalls& if_unanswered) = 0;

    // A modal box; gives back the code of the pressed button.
    virtual int show_message_box(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) = 0;

    // The directory of the running executable (not the working directory), full path.
    virtual std::wstring program_directory() = 0;

    virtual void copy_file(const std::wstring& source, const std::wstring& destination) = 0;

    // Tells the user of a failure that the program has no text of its own for, as Windows' own
    // error boxes do: an error box titled with the program's file name, holding the description
    // and then the number written as an HRESULT (0x8001010A).
    virtual void show_failure_in_system_terms(std::int32_t number, const std::wstring& description) = 0;

    // The system's text for a failure number (a Win32 error code or an HRESULT), for failures
    // that did not come from the platform with a description of their own; empty when the
    // system has none.
    virtual std::wstring describe_failure(std::int32_t number) = 0;

    // Ends the process at once; whatever is still held is left to Windows.
    [[noreturn]] void end_program(std::uint32_t exit_status)
    {
        end_process(exit_status);
        std::abort();  // an implementation that came back must not let the routine carry on
    }

    Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

protected:
    // Never returns: ends the process, or (in tests) throws.
    virtual void end_process(std::uint32_t exit_status) = 0;
};

}  // namespace kelmina
