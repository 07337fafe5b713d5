#include "platform/win32_file_copy.h"

#include <vector>

#include "platform/long_path.h"
#include "platform/win32_errors.h"
#include "platform/win32_holders.h"

namespace kelmina::win32 {

namespace {

// The path in the \\?\ form, which has no MAX_PATH limit whatever the system's long-path policy.
// Relative parts, "/" and doubled separators are resolved first, as Windows resolves them for a
// plain path; a path already in the \\?\ form stays as it is.
std::wstring extended_length_path(const std::wstring& path)
{
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    if (full.empty()) {
        throw last_error_failure();
    }
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) {
        throw last_error_failure();
    }
    full.resize(length);
    return extended_length_form(full);
}

// The attributes a copy takes over from its source, as CopyFileW does.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A file this program created and that goes again unless it is renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::wstring path) : path_{std::move(path)}
    {
        handle_ = UniqueHandle{CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
        if (!handle_) {
            throw last_error_failure();
        }
    }
    ~TemporaryFile()
    {
        if (!renamed_) {
            handle_.reset();
            SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy refuses deletion
            DeleteFileW(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    HANDLE handle() const { return handle_.get(); }

    void close_with_attributes(DWORD attributes)
    {
        handle_.reset();
        if (!SetFileAttributesW(path_.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
            throw last_error_failure();
        }
    }

    void rename_over(const std::wstring& destination)
    {
        if (!MoveFileExW(path_.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            throw last_error_failure();
        }
        renamed_ = true;
    }

private:
    std::wstring path_;
    UniqueHandle handle_;
    bool renamed_ = false;
};

// A name beside the destination that no user file has and no other run can pick.
std::wstring temporary_name_for(const std::wstring& destination)
{
    GUID guid{};
    if (const HRESULT result = CoCreateGuid(&guid); FAILED(result)) {
        throw hresult_failure(result);
    }
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return destination + L"." + text + L".tmp";
}

// Windows refuses to replace a read-only file, or one that another program holds open without
// sharing (as Excel holds a loaded add-in). A rename on other file systems, Wine's among them,
// replaces it all the same; asking first keeps the old add-in on every one of them.
void ensure_replaceable(const std::wstring& destination)
{
    const UniqueHandle existing{CreateFileW(destination.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
    if (!existing) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            return;
        }
        throw last_error_failure();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(existing.get(), &information)) {
        throw last_error_failure();
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw error_failure(ERROR_ACCESS_DENIED);
    }
}

void copy_bytes(HANDLE from, HANDLE to)
{
    // Large blocks: the copy of a big workbook then costs little more than the disk's own time.
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            throw last_error_failure();
        }
        if (read == 0) {
            return;
        }
        DWORD written = 0;
        if (!WriteFile(to, buffer.data(), read, &written, nullptr)) {
            throw last_error_failure();
        }
        if (written != read) {
            throw error_failure(ERROR_WRITE_FAULT);
        }
    }
}

}  // namespace

void copy_file_atomically(const std::wstring& source, const std::wstring& destination)
{
    const std::wstring from = extended_length_path(source);
    const std::wstring to = extended_length_path(destination);

    const UniqueHandle input{CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (!input) {
        throw last_error_failure();
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(input.get(), &information)) {
        throw last_error_failure();
    }

    TemporaryFile copy{temporary_name_for(to)};
    copy_bytes(input.get(), copy.handle());
    // A plain copy keeps the source's last-write time and attributes; so does this one.
    if (!SetFileTime(copy.handle(), nullptr, nullptr, &information.ftLastWriteTime)) {
        throw last_error_failure();
    }
    if (!FlushFileBuffers(copy.handle())) {
        throw last_error_failure();
    }
    copy.close_with_attributes(information.dwFileAttributes & kCopiedAttributes);
    ensure_replaceable(to);
    copy.rename_over(to);
}

}  // namespace kelmina::win32
