#include <gtest/gtest.h>

#include "platform/long_path.h"

namespace kelmina {
namespace {

TEST(LongPathForms, ExtendedLengthFormAndUserFormUndoEachOther)
{
    struct Case {
        std::wstring typed;
        std::wstring extended;
    };
    const Case cases[] = {
        {LR"(C:\Program Files\Library\ケルミナアドイン.xla)", LR"(\\?\C:\Program Files\Library\ケルミナアドイン.xla)"},
        {LR"(\\server\share\Library\a.xla)", LR"(\\?\UNC\server\share\Library\a.xla)"},
        {LR"(\\.\C:\a.xla)", LR"(\\.\C:\a.xla)"},  // a device path keeps its form both ways
    };
    for (const Case& each : cases) {
        EXPECT_EQ(extended_length_form(each.typed), each.extended);
        EXPECT_EQ(user_form(each.extended), each.typed);
        EXPECT_EQ(user_form(each.typed), each.typed);
        // A path already in the extended form is not prefixed twice.
        EXPECT_EQ(extended_length_form(each.extended), each.extended);
    }
}

}  // namespace
}  // namespace kelmina
