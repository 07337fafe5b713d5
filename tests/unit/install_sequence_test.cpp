#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "installer/install_sequence.h"
#include "tests/unit/fake_platform.h"

namespace kelmina::testing {
namespace {

using Calls = std::vector<std::wstring>;

// The tests' own copy of the boxes, as the routine must show them.
const std::wstring kNotInstalledBox = L"box 16 エラー | Excelがインストールされていません";
const std::wstring kNoDestinationBox = L"box 16 エラー | アドインのインストール先が不明です";
const std::wstring kConfirmationBox =
    L"box 36 インストールの確認 | ケルミナアドイン(Excelアドイン)をインストールしますか？";
const std::wstring kCompletionBox = L"box 64 ケルミナアドイン(Excelアドイン) | アドインのインストールが完了しました";
const Calls kExcelAsked = {L"create Excel.Application", L"read LibraryPath", L"call Quit", L"release"};

Calls concat(Calls first, const Calls& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(InstallSequence, CopiesTheWorkbookBesideTheProgramIntoTheLibraryAndSaysSo)
{
    FakePlatform machine;
    EXPECT_EQ(run_to_end(machine), 0u);
    EXPECT_EQ(machine.calls, concat(kExcelAsked, {kConfirmationBox, L"directory",
                                                  L"copy D:\\setup\\ケルミナアドイン.xla -> "
                                                  L"C:\\Office\\Library\\ケルミナアドイン.xla",
                                                  kCompletionBox}));
}

TEST(InstallSequence, EndsEarlyOnTheExpectedConditions)
{
    FakePlatform no_excel;
    no_excel.excel_installed = false;
    EXPECT_EQ(run_to_end(no_excel), 10u);
    EXPECT_EQ(no_excel.calls, (Calls{L"create Excel.Application", kNotInstalledBox}));

    FakePlatform empty_library;
    empty_library.library_path = L"";
    EXPECT_EQ(run_to_end(empty_library), 11u);
    EXPECT_EQ(empty_library.calls, concat(kExcelAsked, {kNoDestinationBox}));

    FakePlatform declined;
    declined.confirmation_answer = 7;
    EXPECT_EQ(run_to_end(declined), 1602u);
    EXPECT_EQ(declined.calls, concat(kExcelAsked, {kConfirmationBox}));
}

TEST(InstallSequence, OnlyNoDeclines)
{
    for (const int answer : {1, 2, 0, -1}) {
        FakePlatform machine;
        machine.confirmation_answer = answer;
        EXPECT_EQ(run_to_end(machine), 0u) << "answer " << answer;
        EXPECT_EQ(machine.calls.back(), kCompletionBox) << "answer " << answer;
    }
}

TEST(InstallSequence, FailureBeforeTheConfirmationIsToldInSystemTermsAfterExcelIsReleased)
{
    // The platform's own failure, and exceptions of any other kind, with the box each one gives.
    struct Case {
        std::exception_ptr thrown;
        std::wstring system_box;
    };
    const Case cases[] = {
        {std::make_exception_ptr(PlatformFailure{-2146827284, L"Excel refused"}),
         L"system box -2146827284 | Excel refused"},
        {std::make_exception_ptr(std::bad_alloc{}), L"system box -2147024882 | system text -2147024882"},
        {std::make_exception_ptr(std::runtime_error{"unexpected"}),
         L"system box -2147418113 | system text -2147418113"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(&each - cases);

        FakePlatform read_fails;
        read_fails.library_path_failure = each.thrown;
        EXPECT_EQ(run_to_end(read_fails), 12u);
        EXPECT_EQ(read_fails.calls,
                  (Calls{L"create Excel.Application", L"read LibraryPath", L"release", each.system_box}));

        FakePlatform quit_fails;
        quit_fails.quit_failure = each.thrown;
        EXPECT_EQ(run_to_end(quit_fails), 12u);
        EXPECT_EQ(quit_fails.calls, concat(kExcelAsked, {each.system_box}));

        FakePlatform confirmation_fails;
        confirmation_fails.failing_box_title = L"インストールの確認";
        confirmation_fails.box_failure = each.thrown;
        EXPECT_EQ(run_to_end(confirmation_fails), 12u);
        EXPECT_EQ(confirmation_fails.calls, concat(kExcelAsked, {kConfirmationBox, each.system_box}));

        FakePlatform not_installed_box_fails;
        not_installed_box_fails.excel_installed = false;
        not_installed_box_fails.failing_box_title = L"エラー";
        not_installed_box_fails.box_failure = each.thrown;
        EXPECT_EQ(run_to_end(not_installed_box_fails), 12u);
        EXPECT_EQ(not_installed_box_fails.calls,
                  (Calls{L"create Excel.Application", kNotInstalledBox, each.system_box}));

        // When even that box fails, or the system's text cannot be had, the run ends all the same.
        FakePlatform nothing_shows;
        nothing_shows.quit_failure = each.thrown;
        nothing_shows.system_box_failure = each.thrown;
        nothing_shows.describe_failure_failure = std::make_exception_ptr(std::bad_alloc{});
        EXPECT_EQ(run_to_end(nothing_shows), 12u);
        EXPECT_EQ(nothing_shows.calls.size(), kExcelAsked.size() + (&each == cases ? 1 : 0));
    }
}

TEST(InstallSequence, ExcelGoneInsideQuitHasClosedButNotAfterOtherCallsAndOneThatNeverAnswersEndsTheRun)
{
    for (const std::uint32_t gone : {0x800706BEU, 0x800706BAU, 0x80010108U, 0x80010007U, 0x80010012U}) {
        SCOPED_TRACE(gone);
        const auto failure = std::make_exception_ptr(PlatformFailure{static_cast<std::int32_t>(gone), L"gone"});
        FakePlatform quit_gone;
        quit_gone.quit_failure = failure;
        EXPECT_EQ(run_to_end(quit_gone), 0u);
        EXPECT_EQ(quit_gone.calls.back(), kCompletionBox);

        FakePlatform read_gone;
        read_gone.library_path_failure = failure;
        EXPECT_EQ(run_to_end(read_gone), 12u);
        EXPECT_EQ(read_gone.calls.back(),
                  L"system box " + std::to_wstring(static_cast<std::int32_t>(gone)) + L" | gone");
    }

    // A creation that never comes back has given no object; a later call has failed.
    FakePlatform machine;
    run_to_end(machine);
    EXPECT_EQ(L"box 16 " + machine.if_unanswered.creation_title + L" | " + machine.if_unanswered.creation_prompt,
              kNotInstalledBox);
    EXPECT_EQ(machine.if_unanswered.creation_exit_status, 10u);
    EXPECT_EQ(machine.if_unanswered.call_exit_status, 12u);
}

TEST(InstallSequence, FailureAfterTheConfirmationIsReported)
{
    const auto missing = std::make_exception_ptr(PlatformFailure{2, L"指定されたファイルが見つかりません。"});
    const std::wstring report =
        L"box 16 エラー | 何らかのエラーが発生しました\r\nErrCode:2  内容:指定されたファイルが見つかりません。";

    FakePlatform copy_fails;
    copy_fails.copy_failure = missing;
    EXPECT_EQ(run_to_end(copy_fails), 1603u);
    ASSERT_EQ(copy_fails.calls.size(), 8u);
    EXPECT_EQ(copy_fails.calls[6].substr(0, 5), L"copy ");
    EXPECT_EQ(copy_fails.calls[7], report);

    FakePlatform directory_fails;
    directory_fails.directory_failure = missing;
    EXPECT_EQ(run_to_end(directory_fails), 1603u);
    EXPECT_EQ(directory_fails.calls, concat(kExcelAsked, {kConfirmationBox, L"directory", report}));

    // The copy has been made and stays; only the news of it failed.
    FakePlatform completion_fails;
    completion_fails.failing_box_title = L"ケルミナアドイン(Excelアドイン)";
    completion_fails.box_failure = missing;
    EXPECT_EQ(run_to_end(completion_fails), 1603u);
    ASSERT_EQ(completion_fails.calls.size(), 9u);
    EXPECT_EQ(completion_fails.calls[7], kCompletionBox);
    EXPECT_EQ(completion_fails.calls[8], report);

    // A report that cannot be shown is not reported again.
    FakePlatform report_fails;
    report_fails.copy_failure = missing;
    report_fails.failing_box_title = L"エラー";
    report_fails.box_failure = missing;
    EXPECT_EQ(run_to_end(report_fails), 1603u);
    EXPECT_EQ(report_fails.calls.size(), 8u);
}

TEST(InstallSequence, ExceptionsOfOtherKindsAreReportedWithTheNumberOfTheirKind)
{
    struct Case {
        std::exception_ptr thrown;
        std::wstring report;
    };
    const Case cases[] = {
        {std::make_exception_ptr(std::bad_alloc{}),  // E_OUTOFMEMORY
         L"box 16 エラー | 何らかのエラーが発生しました\r\nErrCode:-2147024882  内容:system text -2147024882"},
        {std::make_exception_ptr(std::length_error{"path"}),  // E_UNEXPECTED
         L"box 16 エラー | 何らかのエラーが発生しました\r\nErrCode:-2147418113  内容:system text -2147418113"},
        {std::make_exception_ptr(42),
         L"box 16 エラー | 何らかのエラーが発生しました\r\nErrCode:-2147418113  内容:system text -2147418113"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(&each - cases);
        FakePlatform copy_fails;
        copy_fails.copy_failure = each.thrown;
        EXPECT_EQ(run_to_end(copy_fails), 1603u);
        ASSERT_EQ(copy_fails.calls.size(), 8u);
        EXPECT_EQ(copy_fails.calls[7], each.report);

        FakePlatform directory_fails;
        directory_fails.directory_failure = each.thrown;
        EXPECT_EQ(run_to_end(directory_fails), 1603u);
        EXPECT_EQ(directory_fails.calls, concat(kExcelAsked, {kConfirmationBox, L"directory", each.report}));

        // Nothing escapes the report, even when the system's text cannot be had either.
        FakePlatform description_fails;
        description_fails.copy_failure = each.thrown;
        description_fails.describe_failure_failure = std::make_exception_ptr(std::bad_alloc{});
        EXPECT_EQ(run_to_end(description_fails), 1603u);
        EXPECT_EQ(description_fails.calls.size(), 7u);
    }
}

TEST(InstallSequence, JoinsDirectoryAndFileNameWithExactlyOneBackslash)
{
    struct Case {
        std::wstring library;
        std::wstring program;
        std::wstring copy;
    };
    const Case cases[] = {
        {L"C:\\Lib\\", L"D:\\setup\\", L"copy D:\\setup\\ケルミナアドイン.xla -> C:\\Lib\\ケルミナアドイン.xla"},
        {L"C:\\Lib/", L"E:\\", L"copy E:\\ケルミナアドイン.xla -> C:\\Lib/\\ケルミナアドイン.xla"},
        {L"  ", L"\\\\server\\share", L"copy \\\\server\\share\\ケルミナアドイン.xla ->   \\ケルミナアドイン.xla"},
    };
    for (const Case& each : cases) {
        FakePlatform machine;
        machine.library_path = each.library;
        machine.executable_directory = each.program;
        EXPECT_EQ(run_to_end(machine), 0u);
        ASSERT_EQ(machine.calls.size(), 8u);
        EXPECT_EQ(machine.calls[6], each.copy);
    }
    EXPECT_EQ(with_trailing_separator(L""), L"\\");
}

}  // namespace
}  // namespace kelmina::testing
