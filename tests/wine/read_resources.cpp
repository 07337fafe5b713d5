// Reads an executable's version record, icon group and manifest through the Windows API, as
// Explorer and the loader read them, and writes what it found as one JSON object.
//
//   read_resources.exe EXECUTABLE OUTPUT
#include <windows.h>

#include <vector>

#include "tests/wine/event_log.h"

namespace {

using kelmina::wine_tests::Fields;

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colour_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

std::wstring hex(DWORD value)
{
    wchar_t text[16];
    wsprintfW(text, L"0x%08X", value);
    return text;
}

std::wstring version_text(DWORD high, DWORD low)
{
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." + std::to_wstring(HIWORD(low)) +
           L"." + std::to_wstring(LOWORD(low));
}

void read_version(const std::wstring& path, Fields& found)
{
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    if (block.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) {
        return;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size)) {
        found.emplace_back("FILEVERSION", version_text(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
        found.emplace_back("PRODUCTVERSION", version_text(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
        found.emplace_back("FILEOS", hex(fixed->dwFileOS));
        found.emplace_back("FILETYPE", hex(fixed->dwFileType));
    }
    DWORD* translations = nullptr;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &size)) {
        std::wstring list;
        for (UINT i = 0; i < size / sizeof(DWORD); ++i) {
            list += (list.empty() ? L"" : L",") + hex(translations[i]);
        }
        found.emplace_back("Translation", list);
    }
    for (const wchar_t* key : {L"CompanyName", L"ProductName", L"InternalName", L"OriginalFilename", L"FileVersion",
                               L"ProductVersion", L"FileDescription", L"LegalCopyright"}) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring{L"\\StringFileInfo\\041104B0\\"} + key;
        if (VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &size) && size > 0) {
            found.emplace_back(kelmina::wine_tests::to_utf8(key), std::wstring(value, size - 1));
        }
    }
}

BOOL CALLBACK collect_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR data)
{
    reinterpret_cast<std::vector<std::wstring>*>(data)->push_back(
        IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<UINT_PTR>(name)) : name);
    return TRUE;
}

void read_icons_and_manifest(const std::wstring& path, Fields& found)
{
    const HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return;
    }
    std::vector<std::wstring> groups;
    EnumResourceNamesW(module, RT_GROUP_ICON, collect_name, reinterpret_cast<LONG_PTR>(&groups));
    std::wstring group_names;
    for (const auto& name : groups) {
        group_names += (group_names.empty() ? L"" : L",") + name;
    }
    found.emplace_back("icon_groups", group_names);

    // The images of the first group, as WIDTHxHEIGHTxBITS, read from each image's own header.
    if (const HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON)) {
        const auto* header = static_cast<const GroupIconHeader*>(LockResource(LoadResource(module, group)));
        const auto* entries = reinterpret_cast<const GroupIconEntry*>(header + 1);
        std::wstring images;
        for (WORD i = 0; i < header->count; ++i) {
            const HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entries[i].id), RT_ICON);
            const auto* bitmap =
                image ? static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, image))) : nullptr;
            images += (images.empty() ? L"" : L",") + std::to_wstring(entries[i].width) + L"x" +
                      std::to_wstring(entries[i].height) + L"x" +
                      (bitmap ? std::to_wstring(bitmap->biBitCount) : std::wstring{L"missing"});
        }
        found.emplace_back("icon_images", images);
    }

    if (const HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
        found.emplace_back("manifest", kelmina::wine_tests::from_utf8({bytes, SizeofResource(module, manifest)}));
    }
    FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        return 2;
    }
    Fields found;
    read_version(argv[1], found);
    read_icons_and_manifest(argv[1], found);
    DeleteFileW(argv[2]);
    kelmina::wine_tests::append_event(argv[2], found);
    return 0;
}
