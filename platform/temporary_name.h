// The name of the copy while it is being written: the destination's name, a GUID in the form
// StringFromGUID2 gives it, and ".tmp". Standard C++: the GUID itself comes from Windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelmina {

inline std::wstring temporary_name(std::wstring_view destination, std::wstring_view guid_text)
{
    std::wstring name{destination};
    name += L'.';
    name += guid_text;
    name += L".tmp";
    return name;
}

// Whether `name` is exactly a temporary name that the copy gives a file called `destination_name`,
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} with upper-case hex digits and nothing else: a pattern
// such as "*.tmp" matches far more than that, 8.3 names included, and the user's files are not
// the copy's to delete.
inline bool is_temporary_name_of(std::wstring_view name, std::wstring_view destination_name)
{
    constexpr std::wstring_view kGuidForm = L"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    constexpr std::wstring_view kSuffix = L".tmp";
    if (name.size() != destination_name.size() + 1 + kGuidForm.size() + kSuffix.size() ||
        name.substr(0, destination_name.size()) != destination_name || name[destination_name.size()] != L'.' ||
        name.substr(name.size() - kSuffix.size()) != kSuffix) {
        return false;
    }
    const std::wstring_view guid = name.substr(destination_name.size() + 1, kGuidForm.size());
    for (std::size_t i = 0; i < kGuidForm.size(); ++i) {
        const wchar_t c = guid[i];
        const bool hex_digit = (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
        if (kGuidForm[i] == L'X' ? !hex_digit : c != kGuidForm[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace kelmina
