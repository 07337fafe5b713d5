#include "installer/failure_report.h"

#include <new>

#include "installer/texts.h"

namespace kelmina {

std::wstring compose_failure_prompt(std::int32_t number, const std::wstring& description)
{
    std::wstring prompt{kFailureHeadline};
    prompt += kLineBreak;
    prompt += kFailureNumberLabel;
    prompt += std::to_wstring(number);
    prompt += kFailureDescriptionLabel;
    prompt += description;
    return prompt;
}

PlatformFailure failure_information(Platform& platform, const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const PlatformFailure& known) {
        return known;
    } catch (const std::bad_alloc&) {
        return {E_OUTOFMEMORY, platform.describe_failure(E_OUTOFMEMORY)};
    } catch (...) {
        return {E_UNEXPECTED, platform.describe_failure(E_UNEXPECTED)};
    }
}

void report_failure(Platform& platform, const std::exception_ptr& failure)
{
    try {
        const PlatformFailure information = failure_information(platform, failure);
        platform.show_message_box(compose_failure_prompt(information.number, information.description), MB_ICONERROR,
                                  std::wstring{kErrorTitle});
    } catch (...) {
        // Reading the failure, composing the prompt (which allocates) or showing the box failed:
        // the report has nobody left to tell, and the run ends all the same.
    }
    platform.end_program(exit_status::kInstallFailed);
}

}  // namespace kelmina
