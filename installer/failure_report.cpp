#include "installer/failure_report.h"

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

void report_failure(Platform& platform, const PlatformFailure& failure)
{
    try {
        platform.show_message_box(compose_failure_prompt(failure.number, failure.description), MB_ICONERROR,
                                  std::wstring{kErrorTitle});
    } catch (const PlatformFailure&) {
        // The report has nobody left to tell; the run ends all the same.
    }
    platform.end_program(exit_status::kInstallFailed);
}

}  // namespace kelmina
