#include <gtest/gtest.h>

#include "platform/long_path.h"

namespace kelmina {
namespace {

TEST(ExtendedLengthForm, PrefixesDrivePathsAndRewritesSharesOnce)
{
    EXPECT_EQ(extended_length_form(LR"(C:\Program Files\Library\ケルミナアドイン.xla)"),
              LR"(\\?\C:\Program Files\Library\ケルミナアドイン.xla)");
    EXPECT_EQ(extended_length_form(LR"(\\server\share\Library\a.xla)"), LR"(\\?\UNC\server\share\Library\a.xla)");
    EXPECT_EQ(extended_length_form(LR"(\\?\C:\already\a.xla)"), LR"(\\?\C:\already\a.xla)");
    EXPECT_EQ(extended_length_form(LR"(\\?\UNC\server\share\a.xla)"), LR"(\\?\UNC\server\share\a.xla)");
    EXPECT_EQ(extended_length_form(LR"(\\.\C:\a.xla)"), LR"(\\.\C:\a.xla)");
}

TEST(UserForm, DropsTheExtendedLengthPrefixAndNothingElse)
{
    EXPECT_EQ(user_form(LR"(\\?\C:\Program Files\Library\ケルミナアドイン.xla)"),
              LR"(C:\Program Files\Library\ケルミナアドイン.xla)");
    EXPECT_EQ(user_form(LR"(\\?\UNC\server\share\Library\a.xla)"), LR"(\\server\share\Library\a.xla)");
    EXPECT_EQ(user_form(LR"(C:\Library\a.xla)"), LR"(C:\Library\a.xla)");
    EXPECT_EQ(user_form(LR"(\\server\share\a.xla)"), LR"(\\server\share\a.xla)");
    EXPECT_EQ(user_form(LR"(\\.\C:\a.xla)"), LR"(\\.\C:\a.xla)");
}

}  // namespace
}  // namespace kelmina
