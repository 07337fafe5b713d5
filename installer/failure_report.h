#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace kelmina {

// The report's prompt: the headline, then "ErrCode:" with the number and the description.
std::wstring compose_failure_prompt(std::int32_t number, const std::wstring& description);

// Shows the failure in the error box and ends the program.
[[noreturn]] void report_failure(Platform& platform, const PlatformFailure& failure);

}  // namespace kelmina
