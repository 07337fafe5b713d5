#include "tests/unit/fake_platform.h"

#include "installer/install_sequence.h"

namespace kelmina::testing {

namespace {

class FakeApplication final : public AutomationObject {
public:
    explicit FakeApplication(FakePlatform& machine) : machine_{machine} {}
    ~FakeApplication() override { machine_.calls.push_back(L"release"); }

    std::wstring read_text_member(const std::wstring& name) override
    {
        machine_.calls.push_back(L"read " + name);
        if (machine_.library_path_failure) {
            std::rethrow_exception(machine_.library_path_failure);
        }
        return machine_.library_path;
    }

    void call_member(const std::wstring& name) override
    {
        machine_.calls.push_back(L"call " + name);
        if (machine_.quit_failure) {
            std::rethrow_exception(machine_.quit_failure);
        }
    }

private:
    FakePlatform& machine_;
};

}  // namespace

std::unique_ptr<AutomationObject> FakePlatform::create_automation_object(const std::wstring& class_id,
                                                                         const UnansweredCalls& unanswered)
{
    calls.push_back(L"create " + class_id);
    if_unanswered = unanswered;
    if (!excel_installed) {
        return nullptr;
    }
    return std::make_unique<FakeApplication>(*this);
}

int FakePlatform::show_message_box(const std::wstring& prompt, std::uint32_t style, const std::wstring& title)
{
    calls.push_back(L"box " + std::to_wstring(style) + L" " + title + L" | " + prompt);
    if (box_failure && title == failing_box_title) {
        std::rethrow_exception(box_failure);
    }
    return style == 36 ? confirmation_answer : 1;
}

std::wstring FakePlatform::program_directory()
{
    calls.push_back(L"directory");
    if (directory_failure) {
        std::rethrow_exception(directory_failure);
    }
    return executable_directory;
}

void FakePlatform::show_failure_in_system_terms(std::int32_t number, const std::wstring& description)
{
    calls.push_back(L"system box " + std::to_wstring(number) + L" | " + description);
    if (system_box_failure) {
        std::rethrow_exception(system_box_failure);
    }
}

void FakePlatform::copy_file(const std::wstring& source, const std::wstring& destination)
{
    calls.push_back(L"copy " + source + L" -> " + destination);
    if (copy_failure) {
        std::rethrow_exception(copy_failure);
    }
}

std::wstring FakePlatform::describe_failure(std::int32_t number)
{
    if (describe_failure_failure) {
        std::rethrow_exception(describe_failure_failure);
    }
    return L"system text " + std::to_wstring(number);
}

void FakePlatform::end_process(std::uint32_t exit_status)
{
    throw ProgramEnded{exit_status};
}

std::uint32_t run_to_end(FakePlatform& platform)
{
    try {
        run_install_sequence(platform);
    } catch (const ProgramEnded& ended) {
        return ended.exit_status;
    }
}

}  // namespace kelmina::testing
