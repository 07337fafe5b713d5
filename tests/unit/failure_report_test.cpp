#include <gtest/gtest.h>

#include "installer/failure_report.h"

namespace kelmina {
namespace {

TEST(FailurePrompt, WritesTheNumberInPlainDecimal)
{
    EXPECT_EQ(compose_failure_prompt(0, L"この操作を正しく終了しました。"),
              L"何らかのエラーが発生しました\r\nErrCode:0  内容:この操作を正しく終了しました。");
    EXPECT_EQ(compose_failure_prompt(-2147024891, L"アクセスが拒否されました。"),
              L"何らかのエラーが発生しました\r\nErrCode:-2147024891  内容:アクセスが拒否されました。");
    EXPECT_EQ(compose_failure_prompt(-2147483647 - 1, L"x"),
              L"何らかのエラーが発生しました\r\nErrCode:-2147483648  内容:x");
    EXPECT_EQ(compose_failure_prompt(1000000, L"x"), L"何らかのエラーが発生しました\r\nErrCode:1000000  内容:x");
}

TEST(FailurePrompt, PutsTheDescriptionInUnchanged)
{
    EXPECT_EQ(compose_failure_prompt(5, L""), L"何らかのエラーが発生しました\r\nErrCode:5  内容:");
    EXPECT_EQ(compose_failure_prompt(5, L"first\r\nsecond\n  third "),
              L"何らかのエラーが発生しました\r\nErrCode:5  内容:first\r\nsecond\n  third ");
}

}  // namespace
}  // namespace kelmina
