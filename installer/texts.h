// Every fixed text, name and code of the installer. Nothing here is configurable.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelmina {

inline constexpr std::wstring_view kExcelClassId = L"Excel.Application";
inline constexpr std::wstring_view kLibraryPathMember = L"LibraryPath";
inline constexpr std::wstring_view kQuitMember = L"Quit";

// The same name at both ends of the copy.
inline constexpr std::wstring_view kAddinFileName = L"ケルミナアドイン.xla";

inline constexpr wchar_t kPathSeparator = L'\\';

inline constexpr std::wstring_view kErrorTitle = L"エラー";
inline constexpr std::wstring_view kNotInstalledPrompt = L"Excelがインストールされていません";
inline constexpr std::wstring_view kNoDestinationPrompt = L"アドインのインストール先が不明です";
inline constexpr std::wstring_view kConfirmationPrompt = L"ケルミナアドイン(Excelアドイン)をインストールしますか？";
inline constexpr std::wstring_view kConfirmationTitle = L"インストールの確認";
inline constexpr std::wstring_view kCompletionPrompt = L"アドインのインストールが完了しました";
inline constexpr std::wstring_view kCompletionTitle = L"ケルミナアドイン(Excelアドイン)";

inline constexpr std::wstring_view kFailureHeadline = L"何らかのエラーが発生しました";
inline constexpr std::wstring_view kLineBreak = L"\r\n";
inline constexpr std::wstring_view kFailureNumberLabel = L"ErrCode:";
inline constexpr std::wstring_view kFailureDescriptionLabel = L"  内容:";

// Message-box style flags and button codes, with their Windows names and values.
inline constexpr std::uint32_t MB_YESNO = 0x04;
inline constexpr std::uint32_t MB_ICONERROR = 0x10;
inline constexpr std::uint32_t MB_ICONQUESTION = 0x20;
inline constexpr std::uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The failure numbers of exceptions that are not the platform's own, with their Windows names
// and values (HRESULTs).
inline constexpr std::int32_t E_OUTOFMEMORY = static_cast<std::int32_t>(0x8007000EU);
inline constexpr std::int32_t E_UNEXPECTED = static_cast<std::int32_t>(0x8000FFFFU);

// The failure numbers of a call whose server's process is gone, with their Windows names and
// values: HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
// RPC_E_DISCONNECTED, RPC_E_SERVER_DIED, RPC_E_SERVER_DIED_DNE.
inline constexpr std::int32_t kServerGoneNumbers[] = {
    static_cast<std::int32_t>(0x800706BEU), static_cast<std::int32_t>(0x800706BAU),
    static_cast<std::int32_t>(0x80010108U), static_cast<std::int32_t>(0x80010007U),
    static_cast<std::int32_t>(0x80010012U)};

// Exit status of each way a run can end. Windows Installer's codes where one fits, so that a
// deployment tool reads them as it reads an MSI's.
namespace exit_status {
inline constexpr std::uint32_t kInstalled = 0;  // ERROR_SUCCESS
inline constexpr std::uint32_t kExcelNotInstalled = 10;
inline constexpr std::uint32_t kNoDestination = 11;
inline constexpr std::uint32_t kFailedBeforeInstall = 12;  // anything failed before the confirmation
inline constexpr std::uint32_t kDeclined = 1602;           // ERROR_INSTALL_USEREXIT
inline constexpr std::uint32_t kInstallFailed = 1603;      // ERROR_INSTALL_FAILURE
}  // namespace exit_status

}  // namespace kelmina
