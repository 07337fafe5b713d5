#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/platform.h"

namespace kelmina {

// The report's prompt: the headline, then "ErrCode:" with the number and the description.
std::wstring compose_failure_prompt(std::int32_t number, const std::wstring& description);

// Shows the failure in the error box and ends the program. A platform failure brings its number
// and description; any other exception is given the number of its kind (E_OUTOFMEMORY for an
// allocation that failed, E_UNEXPECTED otherwise) and the system's text for it.
[[noreturn]] void report_failure(Platform& platform, const std::exception_ptr& failure);

}  // namespace kelmina
