#include <gtest/gtest.h>

#include "platform/temporary_name.h"

namespace kelmina {
namespace {

TEST(TemporaryName, OnlyTheCopysOwnNamesCount)
{
    const std::wstring addin = L"ケルミナアドイン.xla";
    const std::wstring guid = L"{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4B}";
    EXPECT_EQ(temporary_name(L"C:\\Lib\\" + addin, guid), L"C:\\Lib\\" + addin + L"." + guid + L".tmp");
    EXPECT_TRUE(is_temporary_name_of(addin + L"." + guid + L".tmp", addin));

    const std::wstring look_alikes[] = {
        L"notes.tmp",
        addin,
        addin + L".tmp",
        addin + L"." + guid,
        addin + L"." + guid + L".tmp.bak",
        addin + L"." + guid + L".TMP",
        addin + guid + L".tmp",
        L"x" + addin + L"." + guid + L".tmp",
        L"other.xla." + guid + L".tmp",
        addin + L".{0f3a9c2e-1b4d-4e6f-8a7b-9c0d1e2f3a4b}.tmp",  // StringFromGUID2 writes upper case
        addin + L".{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4G}.tmp",
        addin + L".{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4}.tmp",
        addin + L".{0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4BC}.tmp",
        addin + L".{0F3A9C2E_1B4D-4E6F-8A7B-9C0D1E2F3A4B}.tmp",
        addin + L".(0F3A9C2E-1B4D-4E6F-8A7B-9C0D1E2F3A4B).tmp",
        L"KE5B2~1.TMP",  // an 8.3 name, which a wildcard search also matches
    };
    for (const std::wstring& name : look_alikes) {
        EXPECT_FALSE(is_temporary_name_of(name, addin)) << name;
    }
}

}  // namespace
}  // namespace kelmina
