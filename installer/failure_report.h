#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/platform.h"

namespace kelmina {

// The report's prompt: the headline, then "ErrCode:" with the number and the description.
std::wstring compose_failure_prompt(std::int32_t number, const std::wstring& description);

// The number and description of a failure. A platform failure brings its own; any other
// exception is given the number of its kind (E_OUTOFMEMORY for an allocation that failed,
// E_UNEXPECTED otherwise) and the system's text for it.
PlatformFailure failure_information(Platform& platform, const std::exception_ptr& failure);

// Shows the failure, with the number and description that failure_information gives it, in the
// error box and ends the program.
[[noreturn]] void report_failure(Platform& platform, const std::exception_ptr& failure);

}  // namespace kelmina
